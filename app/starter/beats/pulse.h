// The pulse of a recording from its onset strength: a beat period that may
// drift (ritardando, accelerando) and the beats placed along it.
#pragma once

#include <cstdint>
#include <vector>

// The local beat period of a recording, one value per onset-strength hop.
struct PulseCurve {
    std::vector<double> periods;  // in hops; empty when there is no pulse to follow
    double clarity = 0;           // mean normalised autocorrelation at the periods (0: noise)
};

// What the tempo curve's path scores at each period of a window.
enum class PulseScore {
    Plain,       // the correlation itself
    Peaks,       // the correlation, less where a period nearby correlates more (a developer setting)
    Prominence,  // the correlation above that at the periods a fifth shorter and a quarter longer
                 // (a developer setting)
};

/** Follows the beat period near priorHops through the recording, changing it only gradually,
 *  along the periods the score favours. */
PulseCurve followPulse(const std::vector<float> &strength, double priorHops,
                       PulseScore score = PulseScore::Plain);
/** The pulse near priorHops; where it is less clear than `clear`, the clearest at 2, 3 and 1/2
 *  times the prior, with otherLevel set. */
PulseCurve followClearestPulse(const std::vector<float> &strength, double priorHops, double clear, bool &otherLevel,
                               PulseScore score = PulseScore::Plain);
/** Hop indices of beats on strong onsets about one local period apart (dynamic programming);
 *  none when a period is below 2 hops or longer than the strength. */
std::vector<int64_t> placeBeats(const std::vector<float> &strength, const std::vector<double> &periods);
