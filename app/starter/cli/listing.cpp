// The beat listing of --beats.
#include "app/starter/cli/listing.h"

#include <cstdio>

#include "app/starter/cli/messages.h"

namespace {

// A beat this little before the region's start (seconds, a sample's rounding) is listed as within it.
constexpr double BeatBeforeRegion = 1e-4;

}  // namespace

std::string planMetreWords(const TempoPlan &t) {
    return metreWords(t.numerator, t.denominatorPower, t.metreGiven, t.metreJudged, t.metreWeak || t.pulseWeak);
}

std::string beatListing(const std::string &input, const TempoPlan &t, double regionStart) {
    char line[200];
    if (!t.tracked)
        return "# " + input + ": " + fallbackSentence(t.fallback, t.tempo) + "\n";
    // The grid may reach back before the region to a downbeat of a pick-up: only the beats within it are listed.
    size_t first = 0;
    while (first < t.beats.size() && t.beats[first] < regionStart - BeatBeforeRegion)
        ++first;
    std::snprintf(line, sizeof line, ": %zu beats, median tempo %.2f beats per minute; %s\n", t.beats.size() - first,
                  t.beatTempo, planMetreWords(t).c_str());
    std::string text = "# " + input + line;
    for (size_t i = first; i < t.beats.size(); ++i) {
        std::snprintf(line, sizeof line, i < t.downbeats.size() && t.downbeats[i] ? "%.3f downbeat\n" : "%.3f\n",
                      t.beats[i]);
        text += line;
    }
    return text;
}
