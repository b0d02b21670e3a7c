// The settings file of one engine run, rendered once from the settings asked
// for, the run's files and the beats it follows; with the values the engine
// reads in it, set as values, so that nothing reads the text back (but the
// check that the engine's line reader finds them in it: settings_check.h).
#pragma once

#include <string>

#include "app/starter/protocol/settings_file.h"
#include "input/input.h"

// A region of a recording in seconds; an end of 0, or not after the start, is the end of the file.
struct Region {
    double start = 0;
    double end = 0;
};

/** The region the engine analyses under these settings, in seconds (end 0: to the end). */
Region settingsRegion(const Settings &settings);

// The files of one engine run, as the settings file can carry them (see settingsSafePath).
struct EnginePaths {
    std::string wave;        // the WAV file the engine reads
    std::string midi;        // the MIDI file it writes
    std::string dataDir;     // the filter records, used unless ExePath is asked for
    std::string tempoFile;   // the tempo file it follows, "" for none
};

// A grid that follows the beats found in the recording, from a downbeat on.
struct FollowedBeats {
    double tempo = 120;         // beats per minute of the engine's beat
    int numerator = 4;          // the metre found
    int denominatorPower = 2;
    bool metreGiven = false;    // the metre was asked for: it stays as asked
    double start = 0;           // seconds: the first downbeat, as the engine places it (may lie before the audio)
    double end = 0;             // seconds: the end of the region tracked
};

// The settings of one engine run and what the engine reads in them.
struct RenderedSettings {
    SettingsList list;          // the entries, as set
    std::string text;           // the settings file's text
    Settings engine{};          // the values the engine reads in text
    Region region;              // the region it analyses (end 0: to the end)
};

/** The settings of one run: those asked for (as given, and as the engine reads them), the run's
 *  files, and when beats is given, the grid that follows them (tempo, metre unless asked for, and
 *  the region from the first downbeat). */
RenderedSettings renderSettings(const SettingsList &asked, const Settings &askedReading, const EnginePaths &paths,
                                const FollowedBeats *beats);

/** Sets MinimumLength to the frames of the engine's grid (at its tempo, sensitivity, resolution and
 *  note value) that last at least ms, at least 1: a note shorter than ms at that tempo is not
 *  written. The engine caps it at a whole note's worth of frames. */
void holdShortestNote(RenderedSettings &r, double ms);

/** Sets ReferencePitch, the frequency in Hz the engine and the attack evidence take for key 69. */
void referTo(RenderedSettings &r, int hz);
