// The engine's notes as evidence of the metre: a first engine run along the
// tracked beats gives notes whose bass, lengths, chords and repeated patterns
// tell where bars begin. Sampled here on the grid of beat units.
#pragma once

#include <array>
#include <vector>

// One note the engine heard, in seconds of the file.
struct HeardNote {
    double on = 0;
    double off = 0;
    int pitch = 60;
};

// The notes' evidence, one entry per grid unit of the tracked beats (empty: no notes).
struct NoteEvidence {
    std::vector<double> bass;     // notes starting at or below every note sounding then, standardised
    std::vector<double> lengths;  // how long the notes starting there last (log beats), standardised
    std::vector<std::array<double, 12>> chromaSums;   // running sums of the notes' pitch classes, as MetreEvidence's
    std::vector<std::array<double, 12>> onsetChroma;  // pitch classes of the notes starting at each unit
};

/** The grid unit (with its fraction) at seconds along the beats (two or more): the inverse of
 *  unitTime; before and after them at the first and last beat period. */
double unitAt(const std::vector<double> &beats, double seconds);
/** The values in units of their standard deviation around their mean (all 0 when constant). */
std::vector<double> standardised(std::vector<double> v);
/** The evidence of the notes along the beats (two or more); empty without notes. */
NoteEvidence noteEvidence(const std::vector<HeardNote> &notes, const std::vector<double> &beats);
/** How alike the pattern of note onsets is to itself lag units later (cosine of the pitch
 *  classes starting, over the whole piece): 0 unlike or unknown, 1 the same. */
double patternRepeat(const NoteEvidence &e, int lag);
