// The rules that reconcile the engine's notes with the attacks heard:
// move an onset to its attack, split a note at a re-strike, drop a note
// that nothing in the recording supports or that a lower note's partials
// explain.
#pragma once

#include <vector>

#include "app/starter/refine/evidence.h"
#include "app/starter/refine/thresholds.h"
#include "app/starter/refine/timeline.h"

// One note in seconds of the recording; pitch is the key heard (the written key less Transpose).
struct TimedNote {
    int key = 60;          // the MIDI key written
    int pitch = 60;        // the key heard in the recording
    int velocity = 64;
    int channel = 0;
    double on = 0;
    double off = 0;
};

// How many notes each rule changed.
struct RefineCounts {
    int moved = 0;
    int split = 0;
    int dropped = 0;
    int added = 0;
};

/** Applies move, drop, split, the splits at soft re-strikes (restrike.h), the drop of partners of
 *  ringing notes (partners.h) and the proposal of notes the engine did not write, in that order, to
 *  notes sorted by onset; returns them sorted, with velocities from their attack levels (velocity.h). */
std::vector<TimedNote> applyRules(const std::vector<TimedNote> &notes, const AttackEvidence &e, const Timeline &t,
                                  const RefineThresholds &th, RefineCounts &counts);
/** The strongest attack of pitch within [from, to] (times less the latency) of at least minStrength;
 *  nullptr when none. */
const Attack *strongestAttack(const AttackEvidence &e, int pitch, double from, double to, double minStrength,
                              const RefineThresholds &th);
/** The largest rise of pitch near time beyond what the lower key's partials that pitch does not share
 *  explain (interval 12, 19 or 24 semitones below). */
float partnerRise(const AttackEvidence &e, int pitch, int interval, double time, const RefineThresholds &th);
