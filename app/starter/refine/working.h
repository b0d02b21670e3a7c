// The notes on their way through the rules, and the questions every rule
// asks the evidence about them: whether another note of a key starts near a
// time, a key's mean level over a span, its fundamental's own rise.
#pragma once

#include <vector>

#include "app/starter/refine/probes.h"
#include "app/starter/refine/rules.h"

// The shortest note kept, in seconds; two onsets of one key closer than this are one note.
constexpr double ShortestNote = 0.02;

// A note on its way through the rules.
struct Working {
    TimedNote note;
    bool confirmed = false;  // an attack of its key lies at its onset
    bool dropped = false;
};

/** True when pitch is one of the keys measured. */
bool measurable(int pitch);
/** True when another note of pitch than self starts within window of time. */
bool claimed(const std::vector<Working> &w, size_t self, int pitch, double time, double window);
/** The hops of a mean level (kind) of pitch over [from, to]. */
Probe levelProbe(const AttackEvidence &e, ProbeKind kind, int pitch, double from, double to,
                 const RefineThresholds &th);
/** The hops of pitch's own rise near time, or (interval not 0) its rise beyond a lower key's partials. */
Probe riseProbe(const AttackEvidence &e, int pitch, int interval, double time, const RefineThresholds &th);
/** Mean of a level (kind) of pitch over [from, to], in dB re the loudest band. */
double meanLevel(const ProbedEvidence &v, ProbeKind kind, int pitch, double from, double to,
                 const RefineThresholds &th);
/** Whether a note other than `self`, not dropped, starts within partnerWindow of `time` 12, 19, 24, 28 or
 *  31 semitones below `pitch`: one whose partial lies on that key's fundamental. */
bool startsBelow(const std::vector<Working> &w, size_t self, int pitch, double time, const RefineThresholds &th);
/** The rise of pitch's fundamental near time: 0 when a note other than self starting then 12, 19, 24,
 *  28 or 31 semitones below has a partial on that fundamental. */
float fundamentalRise(const std::vector<Working> &w, size_t self, const ProbedEvidence &v, int pitch, double time,
                      const RefineThresholds &th);
// Where a note's peak across the keys is measured: the long window centred 30 to 150 ms after its
// attack holds the note's first partials and little of what sounded before it.
constexpr double PeakFrom = 0.03, PeakTo = 0.15;
// The keys a note's peak is measured against: a semitone and a tone either side.
constexpr int PeakNeighbours[] = {-2, -1, 1, 2};
/** How far the partials of pitch stand above those of the keys beside it just after `at`, in dB. */
double peakAcrossKeys(const ProbedEvidence &v, int pitch, double at, const RefineThresholds &th);
// Where a partial profile measures each key before `at`: a span ending before the attack's rise.
constexpr double ProfileBeforeFrom = 0.12, ProfileBeforeTo = 0.02;
/** The probes partialProfile asks of pitch at `at`. */
std::vector<Probe> profileProbes(const AttackEvidence &e, int pitch, double at, const RefineThresholds &th);
/** The partials around pitch at `at` (see PartialProfile); a key beyond those measured counts as silent. */
PartialProfile partialProfile(const ProbedEvidence &v, int pitch, double at, const RefineThresholds &th);
/** Ends note `current` at `at` and appends its rest from there as a note of its own; returns its index. */
size_t splitAt(std::vector<Working> &w, size_t current, double at);
