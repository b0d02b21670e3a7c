// The evidence of the metre on a fine grid that follows the tracked beats:
// each tracked beat split into MetreUnitsPerBeat units, with the accent, the
// bass onsets and the chroma of every unit.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "app/starter/metre/notes.h"

struct BeatTrack;

// Grid units per tracked beat: halves, thirds, quarters and sixths of it lie on the grid.
constexpr int MetreUnitsPerBeat = 12;

// What the metre is judged by, one entry per grid unit.
struct MetreEvidence {
    std::vector<double> accents;                // onset strength at the unit, in standard deviations
    std::vector<double> bass;                   // bass onsets at the unit, in standard deviations
    std::vector<std::array<double, 12>> chromaSums;  // running sums of the pitch-class energy from a unit
                                                     // to the next: [k] sums the units before k
    double trackedTempo = 0;                    // beats per minute of the tracked beats
    NoteEvidence notes;                         // the engine's notes along the same units (empty: none)
};

/** Time in seconds of grid unit k along the beats (two or more); before and after them at the
 *  first and last beat period. */
double unitTime(const std::vector<double> &beats, long k);
/** The mean rate of beats in beats per minute, first to last; 0 for fewer than two. */
double meanTempo(const std::vector<double> &beats);
/** The median of values (the mean of the middle two for an even count); 0 for none. */
double medianOf(std::vector<double> v);
/** Median tempo of beat times in beats per minute; 0 with fewer than two beats. */
double medianTempo(const std::vector<double> &beats);
/** The evidence of the track along its beats (two or more). */
MetreEvidence gatherEvidence(const BeatTrack &track, const std::vector<double> &beats);
/** Appends the pitch-class energy of the next unit to the evidence's running sums. */
void addChroma(MetreEvidence &e, const std::array<double, 12> &chroma);
/** Units whose chroma the evidence holds. */
size_t chromaUnits(const MetreEvidence &e);
/** Correlation (Pearson) of two sequences of equal length; 0 when either is constant. */
double correlation(const std::vector<double> &a, const std::vector<double> &b);
