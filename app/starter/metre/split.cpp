// The beats of a reading against their halves and against each other.
#include "app/starter/metre/split.h"

#include <cstddef>
#include <cstdlib>

namespace {

// An accent above this is an onset (as the bar pointer counts them).
constexpr double OnsetAccent = 0.5;

// Running means of one value at two kinds of unit.
struct TwoMeans {
    double a = 0, na = 0, b = 0, nb = 0;
    void add(bool first, double v) { first ? (a += v, na += 1) : (b += v, nb += 1); }
    double meanA() const { return na > 0 ? a / na : 0; }
    double meanB() const { return nb > 0 ? b / nb : 0; }
};

}  // namespace

BeatHalves beatHalves(const MetreEvidence &e, const MetreChoice &c) {
    BeatHalves h;
    size_t b = static_cast<size_t>(c.beatUnits), half = b / 2;
    if (b < 2 || b % 2 != 0 || e.accents.size() < 2 * b)
        return h;
    std::vector<double> accents = standardised(e.accents), bass = standardised(e.bass);
    std::vector<double> halfChange = chordChanges(e.chromaSums, static_cast<int>(half));
    std::vector<double> beatChange = chordChanges(e.chromaSums, static_cast<int>(b));
    TwoMeans onsets, accent, low, change, evenAccent, evenBass, evenChange;
    size_t first = static_cast<size_t>(c.phase) % b;
    bool even = ((static_cast<size_t>(c.phase) - first) / b) % 2 == 0;
    for (size_t k = first; k + half < accents.size(); k += b, even = !even) {
        for (size_t at : {k, k + half}) {
            bool onBeat = at == k;
            onsets.add(onBeat, accents[at] > OnsetAccent ? 1 : 0);
            accent.add(onBeat, accents[at]);
            low.add(onBeat, at < bass.size() ? bass[at] : 0);
            if (at < halfChange.size() && halfChange[at] >= 0)
                change.add(onBeat, halfChange[at]);
        }
        evenAccent.add(even, accents[k]);
        evenBass.add(even, k < bass.size() ? bass[k] : 0);
        if (k < beatChange.size() && beatChange[k] >= 0)
            evenChange.add(even, beatChange[k]);
    }
    h.beatOnsets = onsets.meanA(), h.halfOnsets = onsets.meanB();
    h.beatAccent = accent.meanA(), h.halfAccent = accent.meanB();
    h.beatBass = low.meanA(), h.halfBass = low.meanB();
    h.beatChange = change.meanA(), h.halfChange = change.meanB();
    h.evenAccent = evenAccent.meanA(), h.oddAccent = evenAccent.meanB();
    h.evenBass = evenBass.meanA(), h.oddBass = evenBass.meanB();
    h.evenChange = evenChange.meanA(), h.oddChange = evenChange.meanB();
    return h;
}

double partsContrast(const std::vector<double> &accents, const MetreChoice &c) {
    if (c.beatUnits < 1 || c.parts < 1 || c.beatUnits % c.parts != 0)
        return 0;
    size_t b = static_cast<size_t>(c.beatUnits), part = b / static_cast<size_t>(c.parts);
    TwoMeans accent;
    for (size_t k = static_cast<size_t>(c.phase) % b; k + b <= accents.size(); k += b)
        for (size_t at = k; at < k + b; at += part)
            accent.add(at == k, accents[at]);
    return accent.na > 0 && accent.nb > 0 ? accent.meanA() - accent.meanB() : 0;
}

bool halvesAreBeats(const BeatHalves &h, double tempo) {
    return tempo > 0 && tempo < SplitBelowTempo && h.beatChange > 0 &&
           h.halfAccent > h.beatAccent - SplitAccentShortfall && h.halfChange > h.beatChange - SplitChangeShortfall;
}
