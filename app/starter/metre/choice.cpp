// Metrical readings scored by how well the accents fit a bar's pattern of
// strong and weak positions, where the chords change, and a tempo prior.
#include "app/starter/metre/choice.h"

#include <algorithm>
#include <cmath>

namespace {

// Beats of a reading in grid units: half, two thirds, one, three halves, two and three
// tracked beats.
constexpr int BeatUnitChoices[] = {6, 8, 12, 18, 24, 36};
// Beats per bar of simple and of compound time.
constexpr int SimpleBars[] = {2, 3, 4};
constexpr int CompoundBars[] = {2};
// Tempo prior: a log-Gaussian around the tempos most music is written in.
constexpr double PriorTempo = 100;
constexpr double PriorOctaves = 1.0;
// Weights of the evidence against the accents' fit (a correlation, at most 1).
constexpr double BassWeight = 0.5;
constexpr double HarmonyWeight = 1.5;
constexpr double PriorWeight = 0.5;
constexpr double OccupancyWeight = 1.0;
constexpr double SplitWeight = 0.5;
// A beat is heard when the accent there is this many standard deviations above the mean.
constexpr double HeardAccent = 0.5;
// The weight of a beat's parts in the bar's pattern, against 2 for a beat.
constexpr double PartWeight = 0.5;
// A beat of two thirds or three halves of the tracked one needs this much more evidence.
constexpr double TripleRelationCost = 0.15;
// A reading is judged over at least this many bars.
constexpr long LeastBars = 3;
constexpr double SlowestBeat = 30, FastestBeat = 300;

// Weights of the bar's positions: 3 on the downbeat, 2 on the beats, less on their parts.
std::vector<double> barTemplate(const MetreChoice &c) {
    int bar = c.beatUnits * c.barBeats, part = c.beatUnits / c.parts;
    std::vector<double> w(static_cast<size_t>(bar), 0.0);
    for (int j = 0; j < bar; ++j)
        w[static_cast<size_t>(j)] = j == 0 ? 3 : j % c.beatUnits == 0 ? 2 : j % part == 0 ? PartWeight : 0;
    return w;
}

// The mean of x over the units at each position of a bar of `bar` units.
std::vector<double> foldedProfile(const std::vector<double> &x, int bar) {
    std::vector<double> sum(static_cast<size_t>(bar), 0.0), count(static_cast<size_t>(bar), 0.0);
    for (size_t k = 0; k < x.size(); ++k) {
        sum[k % static_cast<size_t>(bar)] += x[k];
        count[k % static_cast<size_t>(bar)] += 1;
    }
    for (size_t j = 0; j < sum.size(); ++j)
        sum[j] = count[j] > 0 ? sum[j] / count[j] : 0;
    return sum;
}

// A folded profile seen from the phase on.
std::vector<double> fromPhase(const std::vector<double> &profile, int phase) {
    std::vector<double> r(profile.size());
    for (size_t j = 0; j < profile.size(); ++j)
        r[j] = profile[(j + static_cast<size_t>(phase)) % profile.size()];
    return r;
}

// Cosine distance between two chroma vectors: 0 alike, 1 with no pitch class in common.
double chromaChange(const std::array<double, 12> &a, const std::array<double, 12> &b) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t p = 0; p < 12; ++p)
        ab += a[p] * b[p], aa += a[p] * a[p], bb += b[p] * b[p];
    return aa > 0 && bb > 0 ? 1 - ab / std::sqrt(aa * bb) : 0;
}

// The chord change at every unit: the chroma of the `beat` units before it against that of the
// `beat` units from it; -1 where either reaches beyond the evidence.
std::vector<double> chordChanges(const MetreEvidence &e, int beat) {
    size_t units = chromaUnits(e), b = static_cast<size_t>(beat);
    const std::vector<std::array<double, 12>> &sum = e.chromaSums;
    std::vector<double> change(units, -1.0);
    for (size_t k = b; k + b <= units; ++k) {
        std::array<double, 12> before{}, after{};
        for (size_t p = 0; p < 12; ++p)
            before[p] = sum[k][p] - sum[k - b][p], after[p] = sum[k + b][p] - sum[k][p];
        change[k] = chromaChange(before, after);
    }
    return change;
}

// How much more the chords change on the downbeats than on the other beats (-1..1).
double harmonyContrast(const std::vector<double> &change, const MetreChoice &c) {
    long b = c.beatUnits, bar = b * c.barBeats;
    double onBar = 0, offBar = 0, nBar = 0, nOff = 0;
    for (long k = c.phase % b; k < static_cast<long>(change.size()); k += b) {
        double d = change[static_cast<size_t>(k)];
        if (d < 0)
            continue;
        bool down = ((k - c.phase) % bar + bar) % bar == 0;
        (down ? onBar : offBar) += d;
        (down ? nBar : nOff) += 1;
    }
    return nBar > 0 && nOff > 0 ? onBar / nBar - offBar / nOff : 0;
}

// What the phases of a reading share: the bar's pattern, the accents and the bass folded over
// the bar, the chord changes a beat either side of every unit.
struct Reading {
    std::vector<double> shape, accents, bass, change;
};

Reading readingOf(const MetreEvidence &e, const MetreChoice &c) {
    int bar = c.beatUnits * c.barBeats;
    return {barTemplate(c), foldedProfile(e.accents, bar), foldedProfile(e.bass, bar), chordChanges(e, c.beatUnits)};
}

// The mean accent at the units that split the reading's beats in `parts` (beats left out).
double splitAccent(const MetreEvidence &e, const MetreChoice &c, int parts) {
    double sum = 0, n = 0;
    size_t b = static_cast<size_t>(c.beatUnits);
    for (size_t k = static_cast<size_t>(c.phase) % b; k < e.accents.size(); k += b)
        for (int p = 1; p < parts; ++p)
            if (k + static_cast<size_t>(p * c.beatUnits / parts) < e.accents.size())
                sum += e.accents[k + static_cast<size_t>(p * c.beatUnits / parts)], n += 1;
    return n > 0 ? sum / n : 0;
}

// How much stronger the accents are where the reading splits its beats than where the other
// split (in two or in three) would; a reading is penalised when the other split is stronger.
double splitContrast(const MetreEvidence &e, const MetreChoice &c) {
    int other = c.parts == 3 ? 2 : 3;
    if (c.beatUnits % other != 0)
        return 0;
    return splitAccent(e, c, c.parts) - splitAccent(e, c, other);
}

// The share of the reading's beats with a clear accent: too fine a beat leaves many without.
double occupancy(const MetreEvidence &e, const MetreChoice &c) {
    double heard = 0, beats = 0;
    size_t b = static_cast<size_t>(c.beatUnits);
    for (size_t k = static_cast<size_t>(c.phase) % b; k < e.accents.size(); k += b)
        heard += e.accents[k] > HeardAccent, beats += 1;
    return beats > 0 ? heard / beats : 0;
}

double tempoPrior(double bpm) {
    double octaves = std::log2(bpm / PriorTempo) / PriorOctaves;
    return -0.5 * octaves * octaves;
}

// The score of a reading at its phase, from what its phases share.
double scoreAt(const MetreEvidence &e, const Reading &r, const MetreChoice &c) {
    bool tripleRelation = c.beatUnits % MetreUnitsPerBeat != 0 && MetreUnitsPerBeat % c.beatUnits != 0;
    return correlation(fromPhase(r.accents, c.phase), r.shape) +
           BassWeight * correlation(fromPhase(r.bass, c.phase), r.shape) +
           HarmonyWeight * harmonyContrast(r.change, c) + PriorWeight * tempoPrior(choiceTempo(c, e.trackedTempo)) +
           OccupancyWeight * occupancy(e, c) - SplitWeight * std::max(0.0, -splitContrast(e, c)) -
           (tripleRelation ? TripleRelationCost : 0);
}

// The best phase of one reading; its score stays -infinity when it does not fit the evidence.
MetreChoice bestPhase(const MetreEvidence &e, MetreChoice c) {
    int bar = c.beatUnits * c.barBeats;
    double bpm = choiceTempo(c, e.trackedTempo);
    MetreChoice best = c;
    best.score = -INFINITY;
    if (static_cast<long>(e.accents.size()) < LeastBars * bar || bpm < SlowestBeat || bpm > FastestBeat)
        return best;
    Reading r = readingOf(e, c);
    for (c.phase = 0; c.phase < bar; ++c.phase) {
        double s = scoreAt(e, r, c);
        if (s > best.score)
            best = c, best.score = s;
    }
    return best;
}

}  // namespace

double choiceTempo(const MetreChoice &c, double trackedTempo) {
    return trackedTempo * MetreUnitsPerBeat / c.beatUnits;
}

double scoreChoice(const MetreEvidence &e, const MetreChoice &c) {
    return scoreAt(e, readingOf(e, c), c);
}

MetreChoice chooseMetre(const MetreEvidence &e, const MetreBounds &bounds) {
    std::vector<MetreChoice> bests;
    for (int parts : {2, 3})
        for (int b : BeatUnitChoices) {
            if (b % parts != 0 || (bounds.parts && bounds.parts != parts))
                continue;
            std::vector<int> bars(parts == 2 ? std::begin(SimpleBars) : std::begin(CompoundBars),
                                  parts == 2 ? std::end(SimpleBars) : std::end(CompoundBars));
            if (bounds.barBeats)
                bars = {bounds.barBeats};
            for (int n : bars)
                bests.push_back(bestPhase(e, MetreChoice{b, parts, n, 0, 0, 0}));
        }
    MetreChoice best;
    best.score = -INFINITY;
    for (const MetreChoice &c : bests)
        if (c.score > best.score)
            best = c;
    if (!std::isfinite(best.score))
        return MetreChoice{MetreUnitsPerBeat, 2, bounds.barBeats ? bounds.barBeats : 4, 0, 0, 0};
    double second = -INFINITY;
    for (const MetreChoice &c : bests)
        if ((c.beatUnits != best.beatUnits || c.barBeats != best.barBeats || c.parts != best.parts) &&
            c.score > second)
            second = c.score;
    best.margin = std::isfinite(second) ? best.score - second : 0;
    return best;
}
