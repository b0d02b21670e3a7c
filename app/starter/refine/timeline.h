// Ticks of the engine's MIDI file and seconds of the recording: the grid the
// engine followed (a constant tempo from StartPoint, or its tempo file),
// step by step, and the whole bars the engine dropped before its first note.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/starter/audio/audio.h"
#include "input/input.h"  // Settings, TicksPerStep

// The engine's grid in one recording.
struct Timeline {
    std::vector<double> stepTimes;  // seconds of the file where grid step j begins, j from the start
    double stepsPerBeat = 4;
    int barSteps = 16;              // grid steps of a bar
    int stepsPerBar = 16;           // the unit of the leading time dropped (1 with CropSilence)
    int64_t droppedSteps = 0;       // grid steps before the file's tick 0
    bool followsMap = false;        // the frames followed a tempo file
};

// The written file's time: tick 0 at the start of the analysed region; from there to the first bar
// line of the engine's grid at or after it, a pick-up of whole grid steps; from the end of the
// written file's first step on, the engine's grid step by step. The first step takes up what is
// left of a grid step between the region's start and the pick-up's first whole step.
struct WrittenTime {
    double regionStart = 0;     // seconds of the file at tick 0
    double leadEndStep = 1;     // the engine's grid step where the written file's lead-in ends
    double leadTicks = TicksPerStep;  // its ticks: one step, taking up the fraction of a step
    int64_t pickupSteps = 0;    // grid steps before the first bar line (0: the file starts on one)
};

/** The grid the engine follows with these settings (as it read them) over a WAV file with this
 *  header (map: the tempo file's values, empty for none); false with a sentence when the header
 *  cannot be used. */
bool buildTimeline(const Settings &engine, const std::vector<uint16_t> &map, const WaveHeader &header,
                   double audioSeconds, Timeline &timeline, std::string &error);
/** The grid steps the engine dropped, from the scores of dropping 0, 1, 2, ... whole bars of
 *  stepsPerBar steps: the fewest bars of those scoring within a per cent of the best (the engine
 *  drops bars only before its first note; the same music played again later scores as well). */
int64_t fewestDroppedBars(const std::vector<double> &scores, int stepsPerBar);
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
/** The written file's time for a grid and the start of the analysed region, in seconds of the file. */
WrittenTime writtenTime(const Timeline &t, double regionStart);
/** The tick of the written file at seconds of the file (with its fraction; below 0 before tick 0). */
double writtenTick(const Timeline &t, const WrittenTime &w, double seconds);
