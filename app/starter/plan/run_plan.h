// The run plan: everything a run of the starter is asked to do, as plain values.
// The command line builds it (cli/run_plan.h); the pipeline runs it, each stage
// taking from it what it needs. This folder sits below both.
#pragma once

#include <string>
#include <vector>

#include "app/starter/protocol/engine_settings.h"
#include "app/starter/protocol/settings_file.h"

// The input name that reads the recording from standard input.
inline const std::string StandardInput = "-";

// --sensitivity: how readily a note is taken, from 1 (fewest notes) to 10 (most). The default
// keeps the engine's and the refinement's own thresholds; each step away moves both.
constexpr int LeastSensitivity = 1;
constexpr int MostSensitivity = 10;
constexpr int DefaultSensitivity = 5;

// Where the tempo of the notes comes from.
enum class TempoChoice {
    Track,  // the beats found in each recording, or a constant tempo when none is steady
    Given,  // a constant tempo asked for (or the engine's default)
    Map,    // a tempo file given by the user
};

// The key asked for.
struct KeyChoice {
    int signature = 8;         // -7..7 sharps (negative: flats), 8 for none
    int mode = 0;              // 0 major, 1 minor
    bool detect = true;        // the engine looks for the key
    bool constrained = false;  // the notes are held to the key's scale
};

// One input and the files written for it.
struct FilePlan {
    std::string input;         // as given on the command line ("-": standard input)
    std::string output;        // the MIDI file to write (the score when keepMidi is false)
    std::string scoreOutput;   // the MusicXML file to write, "" when none
    bool keepMidi = true;      // the MIDI file goes to output
    bool midiInput = false;    // the input is a MIDI file: its score is written, nothing is transcribed
    std::string title{};       // the score's title, "" for the input's name (the web server's uploads)
    std::string notesOutput{}; // the note list to write (.csv or .json), "" when none
};

// What one run does to every input.
struct RunPlan {
    std::vector<FilePlan> files;
    std::string enginePath;
    std::string dataDir;             // the filter records, with a trailing '/'
    // The engine's settings asked for (defaults, the --settings file, the options), without the
    // paths of a run. `asked` keeps each value as it was given: protocol/ renders it into the
    // settings file, and nothing reads it. `engine` is the engine's own reading of it, made once
    // where the plan is made; the stages take it and the fields below, never the text.
    SettingsList asked;
    Settings engine{};
    bool metreGiven = false;         // a time signature is asked for: it stays as asked
    Region region;                   // the analysed region asked for (end 0: to the end)
    TempoChoice tempoChoice = TempoChoice::Track;
    double tempo = 120;              // beats per minute: the tempo given, or the fallback of tracking
    std::string tempoMap;            // the tempo file of TempoChoice::Map
    double grid = 4;                 // the grid's resolution (4: sixteenth notes)
    KeyChoice key;
    int instrument = -1;             // the instrument's filter record, -1 for none
    double shortestNoteMs = 0;       // the shortest note in ms, set per file as MinimumLength; 0: as asked
    int sensitivity = DefaultSensitivity;  // moves the refinement's thresholds (the engine's is in asked)
    // What to write.
    bool beatsOnly = false;          // print the beats found instead of transcribing
    bool raw = false;                // the engine's MIDI file as it is, not refined
    bool quantize = false;           // refined notes snapped to the grid
    std::string keepDir;             // where the engine's files are kept, "" for nowhere
    bool metreFromNotes = false;     // the metre judged also by a first engine run's notes
    bool pulsePeaks = false;         // the pulse followed along peaks of its correlation only
    bool pulseProminence = false;    // ... along its correlation's prominence
    bool partsBassBelowBeat = false;  // the metre reads bass inside a beat as at its parts (ReadingModel)
    bool bassMixture = false;         // the metre reads bass as onsets or quiet at each place (ReadingModel)
    bool accentsRemeasured = false;   // the metre reads the accents by their levels measured again (ReadingModel)
    bool metrePartsContrast = false;  // the metre weighs the beats' accents over their parts' (ReadingModel)
    bool metreFourThirds = false;     // the metre reads also along 3/4 and 4/3 of the tracked pulse (MetreInput)
    bool metreSplitSlowBeat = false;  // a slow beat whose halves look like beats read as two (MetreInput)
    bool metreSecondTracker = false;  // libaubio's own tracker's tempo picks the level where it can (MetreInput)
    std::string metreDumpPath;        // every reading and its features appended here (MetreInput)
    double tuningDeadZone = -1;       // cents within which a recording counts as at A = 440 Hz (-1: the
                                      // tuning's own, TuningDeadZoneCents)
    bool metreShortPickup = true;     // a bar of four beats keeps its pick-up under half a bar (MetreInput)
    int metreFramePulse = 0;          // a joint tempo-and-phase tracker's beats: 0 not used, 1 read instead of
                                      // the tracked beats, 2 read besides them, 3 read instead of them
                                      // at the level their tempo gives (MetreInput::framePulse)
    int onsetStrength = 0;            // the onset strength and what reads it (OnsetStrength, named by
                                      // onsetStrengthNamed): 0 the band flux on its own floors
    // How to write it.
    bool force = false;              // an output may replace a file of its name
    bool skipExisting = false;       // an input whose outputs are all in place and whole is not worked on
    std::string reportPath;          // one JSON line per input is appended here, "" for none
    bool quiet = false;              // no progress lines
    int jobs = 1;                    // files worked on at once
    std::vector<std::string> protectedPaths;  // files never to be overwritten
};
