// The command line and what the sonoscriptor command says. This folder owns
// the options and their mapping onto the engine's settings keys, the help
// text, the sentences for people and the exit codes. The words the options
// take are read in names.h, the instrument records checked in instruments.h.
#pragma once

#include <string>
#include <vector>

#include "app/starter/plan/run_plan.h"
#include "app/starter/protocol/settings_file.h"

// The tempos the starter passes on, in beats per minute: a MIDI file holds none slower,
// and a faster one only multiplies the frames the engine analyses.
constexpr double SlowestTempo = 3.6;
constexpr double FastestTempo = 1000;

/** The slowest tempo, in beats of the time signature's note value (its denominator's power), that
 *  the written MIDI file holds: it counts quarter notes, so SlowestTempo quarters a minute (7.2
 *  eighths in N/8, 14.4 sixteenths in N/16); SlowestTempo for halves and wholes. */
double slowestTempoIn(int denominatorPower);

// The lengths --shortest-note takes, in milliseconds: the engine holds a note at least one frame
// (a 64th note at 1000 beats per minute is 3.75 ms), and caps it at a whole note's worth of frames.
constexpr double ShortestNoteMs = 1;
constexpr double LongestShortestNoteMs = 10000;

// Everything the command line asks for.
struct StarterOptions {
    std::vector<std::string> inputs;
    std::string output;          // -o: a file (one input) or a folder
    bool force = false;          // replace an existing output
    bool skipExisting = false;   // --skip-existing: an input whose outputs are all complete is skipped
    std::string report;          // --report: the JSON lines file each input's result is appended to
    bool quiet = false;          // no progress bar
    bool help = false;
    bool version = false;
    bool beatsOnly = false;      // --beats: print the beats found, transcribe nothing
    int jobs = 0;                // files at once; 0: the number of cores
    std::string settingsFile;    // --settings: the settings to start from
    std::string enginePath;      // --engine: the engine to run
    std::string tempoMap;        // --tempo-map, as given
    std::string format;          // --format: "", midi, musicxml or both
    std::string musicxml;        // --musicxml: a score beside the MIDI file
    std::string notes;           // --notes: the note list (.csv or .json)
    SettingsList assignments;    // the options as settings, in command-line order
    bool raw = false;            // --raw: the engine's MIDI file as it wrote it
    bool quantize = false;       // --quantize: refined notes snapped to the grid
    std::string keepDir;         // --keep-engine-files: where the engine's files are kept
    double shortestNoteMs = 0;   // --shortest-note: milliseconds, 0 for the engine's MinimumLength as set
    int sensitivity = 0;         // --sensitivity 1..10, 0 when not given
    std::vector<std::string> given;  // the long name of every option given ("--tempo"), in order
};

/** Parses the arguments (without the program name); false with a sentence in error. */
bool parseCommandLine(const std::vector<std::string> &args, const std::string &dataDir,
                      StarterOptions &options, std::string &error);
/** The --help text: every option with its default. */
std::string helpText(const std::string &dataDir, int cores);
/** The manual page sonoscriptor(1) in roff, from the option definitions (dataDir: the installed
 *  data folder the page names). */
std::string manPageText(const std::string &dataDir, const std::string &version);
/** A bash completion script for sonoscriptor: its option names, and files after the options that
 *  take a value. */
std::string bashCompletionText();
/** The starter's own defaults, where they differ from the engine's. */
SettingsList starterDefaults();
/** True when the settings leave the tempo to be found in the audio (no Tempo, no TempoFile). */
bool tempoToBeTracked(const SettingsList &settings);
/** Defaults, then the --settings file, then the options; false with a sentence on conflict. */
bool composeSettings(const StarterOptions &options, SettingsList &settings, std::string &error);

/** The engine's level threshold (OutputThreshold) at a --sensitivity, on the general analysis or
 *  with an instrument's templates: the engine's own default at DefaultSensitivity. */
int levelThresholdAt(int sensitivity, bool templates);

/** Number of processor cores, at least 1. */
int coreCount();
