// A second source of the pulse: a joint tempo-and-phase beat tracker over the
// onset strength. Its hidden state is a beat period and a place inside the
// beat; the period changes only at a beat, mostly to a near one, and the
// most likely path through the whole recording (Viterbi) gives the beats.
#pragma once

#include <cstdint>
#include <vector>

/** The beat periods the tracker may take, in hops, rising: shortest to longest in steps of
 *  a constant ratio, rounded to whole hops, each once; empty when shortest < 1 or
 *  longest < shortest. */
std::vector<int> framePeriods(double shortest, double longest);
/** The onset strength as a probability-like value per hop: its excess over the piece's median,
 *  in shares of the piece's high level above the median, kept within (0, 1). */
std::vector<double> beatObservation(const std::vector<float> &strength);
/** Hop indices of the beats on the most likely path through (period, place in the beat) given
 *  the observation, the period one of `periods` (rising, each >= 1), changing only at a beat;
 *  none when the observation or the periods are empty. */
std::vector<int64_t> decodeFramePulse(const std::vector<double> &observation, const std::vector<int> &periods);
/** Hop indices of the beats of the onset strength (hops of hopSeconds) between slowest and
 *  fastest beats a minute; none when the hop is not positive. */
std::vector<int64_t> framePulseBeats(const std::vector<float> &strength, double hopSeconds, double slowest,
                                     double fastest);
