// Re-strikes of soft attacks: a key struck, bowed or plucked again while
// its note still rings, told by the dip and sudden rise of its own partials
// where the broadband attack is too weak for a split.
#pragma once

#include <array>
#include <vector>

#include "app/starter/refine/working.h"

/** Splits each note at the sudden attacks of its key inside it (restrikeCandidate) that are weaker
 *  than a split asks but where its own fundamental rises clearly and its partials come back louder
 *  than they were just before; a note that has not faded since it began is split only where its
 *  partials also dip there. With restrikeModel, also at the attacks at least restrikeGate strong
 *  that the re-strike model's trees take (restrikeCut), where the key's fundamental rises and the
 *  note goes on for splitGap after them. With a list, every attack at least restrikeGate strong
 *  that it looks at is listed in list->restruck. */
void splitRestrikes(std::vector<Working> &w, const ProbedEvidence &v, const Timeline &t, const RefineThresholds &th,
                    RefineCounts &counts, CandidateList *list);
/** Whether an attack is strong enough and its key's partials rose suddenly enough for a soft re-strike
 *  (restrikeStrength, restrikeSudden): a swell inside a held note rises too slowly. */
bool restrikeCandidate(const Attack &a, const RefineThresholds &th);
/** The probe of pitch's level 60-120 ms after a note's onset (or a re-strike) at `on`: what
 *  splitRestrikes measures a later attack's fading against. */
Probe settledLevelProbe(const AttackEvidence &e, int pitch, double on, const RefineThresholds &th);
/** The probes splitRestrikes may ask about an attack of pitch at `at` (seconds, latency taken off). */
std::array<Probe, 6> restrikeProbes(const AttackEvidence &e, int pitch, double at, const RefineThresholds &th);
