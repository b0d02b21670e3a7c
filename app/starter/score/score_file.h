// The MusicXML output of the sonoscriptor command: what a score's file name
// says, and writing a score file (.musicxml, .xml, or compressed .mxl) from the
// engine's MIDI file.
#pragma once

#include <string>
#include <vector>

#include "app/starter/midi/midi_reader.h"

// How a score file is written.
struct ScoreRequest {
    std::string title;           // the piece's title, e.g. the input's file name
    double resolution = 4;       // the Resolution setting of the run
    bool compressed = false;     // .mxl: a zip container
};

// What the command line asks for besides the MIDI file.
struct ScoreChoice {
    std::string format;          // --format: "", "midi", "musicxml" or "both"
    std::string musicxml;        // --musicxml FILE
};

/** True for names ending in .musicxml, .xml or .mxl (any case). */
bool isScoreFileName(const std::string &path);
/** True for names ending in .mid or .midi (any case). */
bool isMidiFileName(const std::string &path);
/** True for names an output may have: a MIDI name (.mid, .midi), a score name, or none
 *  (a device such as /dev/stdout); any other extension names a format never written. */
bool isKnownOutputName(const std::string &path);
/** The output extensions in words, for a sentence that refuses another. */
constexpr const char *KnownOutputExtensions = ".mid or .midi for a MIDI file, .musicxml, .xml or .mxl for a score";
/** True for names ending in .mxl (any case). */
bool isCompressedScoreName(const std::string &path);
/** The title for an input file: its name without folder and extension. */
std::string scoreTitle(const std::string &input);
/** True when the score file at path is whole: a .mxl archive that libzip opens with its consistency
 *  check, or a MusicXML document that libxml2 parses to its end. */
bool scoreFileWhole(const std::string &path);
/** The time signature events the score of a MIDI file does not follow: those naming another metre
 *  than the one it is written in (the file's last), apart from a pick-up's first one; none when the
 *  file has no musical time base. */
std::vector<MidiSignature> signaturesLeftOut(const MidiContent &midi, double resolution);
/** Writes the score of a MIDI file to path; false with a reason when it cannot. */
bool writeScoreFile(const MidiContent &midi, const ScoreRequest &request, const std::string &path,
                    std::string &error);
/** The same, with the number of measures written into measures. */
bool writeScoreFile(const MidiContent &midi, const ScoreRequest &request, const std::string &path,
                    std::string &error, int &measures);
