// The rules that reconcile the engine's notes with the attacks heard:
// move an onset to its attack, split a note at a re-strike, drop a note
// that nothing in the recording supports or that a lower note's partials
// explain.
#pragma once

#include <vector>

#include "app/starter/refine/evidence.h"
#include "app/starter/refine/learned.h"
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

// One attack the proposal rule looked at: its time (seconds of the recording), its key as written,
// what the rule measured there, the learned model's chance and whether a note was added.
struct AddCandidate {
    double time = 0;
    int key = 60;
    AddFeatures features;
    double probability = 0;
    bool taken = false;
};

// One of the engine's notes the drop rules judge: its onset (seconds of the recording), its key as
// written, what they may measure there and whether they kept it.
struct DropCandidate {
    double time = 0;
    int key = 60;
    DropFeatures features;
    bool kept = true;
};

// One attack inside a note the soft re-strike rule looked at: its time (seconds of the recording), its
// key as written, what was measured there, the re-strike model's chance and whether the note was split.
struct RestrikeCandidate {
    double time = 0;
    int key = 60;
    RestrikeFeatures features;
    double left = 0;  // seconds from it to the end of the note it would split
    double probability = 0;
    bool taken = false;
};

// A developer's list of the attacks the proposal rule looks at: every one at least gate dB strong
// of a key with no note near it (whatever the rule's own strength threshold); and of every measured
// note of the engine the drop rules judge.
struct CandidateList {
    double gate = 3;
    std::vector<AddCandidate> found;
    std::vector<DropCandidate> judged;
    std::vector<RestrikeCandidate> restruck;  // every attack at least gate dB strong inside a note
};

/** Applies move, drop, split, the splits at soft re-strikes (restrike.h), the drop of partners of
 *  ringing notes (partners.h) and the proposal of notes the engine did not write, in that order, to
 *  notes sorted by onset; returns them sorted, with velocities from their attack levels (velocity.h). */
std::vector<TimedNote> applyRules(const std::vector<TimedNote> &notes, const AttackEvidence &e, const Timeline &t,
                                  const RefineThresholds &th, RefineCounts &counts);
/** The same, listing the attacks the proposal rule looks at in list (with addOn 0 it looks at none). */
std::vector<TimedNote> applyRules(const std::vector<TimedNote> &notes, const AttackEvidence &e, const Timeline &t,
                                  const RefineThresholds &th, RefineCounts &counts, CandidateList &list);
/** The strongest attack of pitch within [from, to] (times less the latency) of at least minStrength;
 *  nullptr when none. */
const Attack *strongestAttack(const AttackEvidence &e, int pitch, double from, double to, double minStrength,
                              const RefineThresholds &th);
