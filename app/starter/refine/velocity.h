// The loudness each note was played with: its key's level just after its
// onset, measured in the attack evidence, freed of the recording's trend over
// the keyboard, mapped to a MIDI velocity by a line calibrated on rendered
// notes (tools/calibrate/velocity.py) and placed on the range a musician
// uses around the recording's typical level.
#pragma once

#include <vector>

#include "app/starter/refine/evidence.h"
#include "app/starter/refine/probes.h"
#include "app/starter/refine/rules.h"
#include "app/starter/refine/thresholds.h"

/** The probe of the attack level of a note of pitch starting at onset (seconds of the recording):
 *  its key's mean 1/h-weighted level over the hops just after the onset (the latency put back). */
Probe attackLevelProbe(const AttackEvidence &e, int pitch, double onset, const RefineThresholds &th);
/** Each note's attack level in dB re the loudest band from evidence whose probes include the
 *  notes' attackLevelProbe (any other is measured on its own); 0 for a key outside those measured. */
std::vector<double> attackLevels(const std::vector<TimedNote> &notes, const ProbedEvidence &v,
                                 const RefineThresholds &th);
/** The levels with the recording's straight-line trend over the keyboard (least squares) taken off,
 *  around their mean: how loud a register sounds is the instrument's and the mix's, not the
 *  playing's. Unchanged for fewer than three notes or a single key. */
std::vector<double> withoutRegister(std::vector<double> levels, const std::vector<int> &pitches);
/** The recording's typical calibrated level: the median of its notes'. */
double typicalLevel(std::vector<double> levels);
/** The velocity of a calibrated level in a recording whose typical level is typical, in 1..127. */
int velocityOf(double level, double typical);
/** The notes with velocities from their attack levels (read as attackLevels does), normalised over
 *  the recording; the same notes otherwise. */
std::vector<TimedNote> withVelocities(std::vector<TimedNote> notes, const ProbedEvidence &v,
                                      const RefineThresholds &th);
/** The same, the notes' probes measured here. */
std::vector<TimedNote> withVelocities(const std::vector<TimedNote> &notes, const AttackEvidence &e,
                                      const RefineThresholds &th);
