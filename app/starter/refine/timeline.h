// Ticks of the engine's MIDI file and seconds of the recording: the grid the
// engine followed (a constant tempo from StartPoint, or its tempo file),
// step by step, and the whole bars the engine dropped before its first note.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/starter/audio/audio.h"
#include "app/starter/protocol/settings_file.h"
#include "input/input.h"  // TicksPerStep

// The engine's grid in one recording.
struct Timeline {
    std::vector<double> stepTimes;  // seconds of the file where grid step j begins, j from the start
    double stepsPerBeat = 4;
    int stepsPerBar = 16;           // the unit of the leading time dropped (1 with CropSilence)
    int64_t droppedSteps = 0;       // grid steps before the file's tick 0
    bool followsMap = false;        // the frames followed a tempo file
};

/** The grid the engine follows with these settings over a WAV file with this header (map: the
 *  tempo file's values, empty for none); false with a sentence when the header cannot be used. */
bool buildTimeline(const SettingsList &settings, const std::vector<uint16_t> &map, const WaveHeader &header,
                   double audioSeconds, Timeline &timeline, std::string &error);
/** Seconds of the file at grid step j (fractions between steps; extended at the ends). */
double secondsAtStep(const Timeline &t, double step);
/** The grid step (with its fraction) at seconds of the file. */
double stepAtSeconds(const Timeline &t, double seconds);
/** Seconds of the file at a tick of the engine's MIDI file. */
double secondsAtTick(const Timeline &t, double tick);
/** The tick of the engine's MIDI file at seconds of the file (with its fraction). */
double tickAtSeconds(const Timeline &t, double seconds);
/** Length of the grid step that holds seconds. */
double stepLengthAt(const Timeline &t, double seconds);
