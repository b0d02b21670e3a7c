// Octave and twelfth extras: a note whose partials a lower note, sounding
// before it started, explains, and that has no attack of its own.
#pragma once

#include <vector>

#include "app/starter/refine/working.h"

/** Drops each note (split pieces included) over which a note 12, 19 or 24 semitones below was already
 *  sounding and that neither has an attack of its key at its onset nor rises there beyond that lower
 *  note's partials; a played octave has both and is kept. */
void dropSoundingPartners(std::vector<Working> &w, const ProbedEvidence &v, const RefineThresholds &th,
                          RefineCounts &counts);
