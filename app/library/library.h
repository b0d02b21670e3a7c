// The library's inside: how its options become the command's, where it finds the
// engine, and how a run's MIDI file and findings become a Transcription. The public
// header (include/sonoscriptor/sonoscriptor.h) names none of this.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/starter/midi/midi_reader.h"
#include "app/starter/pipeline/batch.h"
#include <sonoscriptor/sonoscriptor.h>

/** The command-line arguments (without the program's name) that ask the command for what options
 *  ask, for one input written to output: the library's run is the command's run of them. */
std::vector<std::string> commandArguments(const sonoscriptor::Options &options, const std::string &input,
                                          const std::string &output);

/** The sentence refusing command options (Options::command_options) that ask for what a call does
 *  itself: an output or another file written (the library writes only with write_midi and
 *  write_musicxml), another input, or a run that transcribes nothing (--beats, --help, --version);
 *  "" when they ask for none of these, or when the command refuses them with a sentence of its own. */
std::string refusedCommandOptions(const std::vector<std::string> &commandOptions, const std::string &dataDir);

/** The engine the library runs: the one named, else the installed one beside the library's
 *  programs (bin beside lib), else the command's own choice. */
std::string libraryEnginePath(const std::string &named);
/** The folder of the filter records, with a trailing '/': beside the library's installation, else
 *  the command's own choice. */
std::string libraryDataDir();

/** What a run's MIDI file (bytes, parsed as midi) and its findings say, in seconds of the recording
 *  (regionStart: seconds of the recording at the file's tick 0). */
sonoscriptor::Transcription transcriptionOf(const std::vector<uint8_t> &bytes, const MidiContent &midi,
                                            const FileFindings &findings, double regionStart);

/** The sentence refusing samples at a rate no recording has, or in more channels than a WAV file
 *  holds; "" when the file of writeSamplesFile can hold them. */
std::string refusedSamples(int sampleRate, int channels);
/** Writes interleaved samples as a WAV file: 16-bit when every sample is one (a multiple of 1/32768),
 *  so that samples read from a 16-bit file reach the engine exactly as the file would; else 32-bit
 *  float. False with a reason when it cannot. */
bool writeSamplesFile(const float *samples, size_t frames, int sampleRate, int channels, const std::string &path,
                      std::string &error);
