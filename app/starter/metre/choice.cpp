// Metrical readings (beat level, split of the beat, beats to a bar) compared
// by how well a bar pointer's best path explains the evidence, plus priors
// that keep the plainest reading where the evidence is weak.
#include "app/starter/metre/choice.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "app/starter/metre/barpointer.h"
#include "app/starter/metre/split.h"

namespace {

// Beats of a reading in grid units: a third, half, two thirds, one, three halves, two and
// three tracked beats.
constexpr int BeatUnitChoices[] = {4, 6, 8, 12, 18, 24, 36};
// Beats per bar of simple time (2/4, 3/4, 4/4) and of compound time (6/8, 9/8, 12/8).
constexpr int SimpleBars[] = {2, 3, 4};
constexpr int CompoundBars[] = {2, 3, 4};
// Tempo prior: a log-Gaussian around the tempos most music is written in, in log-likelihood
// per tracked beat, like the bar pointer's fit.
constexpr double PriorTempo = 100;
constexpr double PriorOctaves = 1.0;
constexpr double PriorWeight = 0.3;
// What the bar costs against 4/4 (per tracked beat): 3/4 is nearly as common, 2/4 and the
// compound bars less so.
double barCost(int barBeats, int parts) {
    if (parts == 3)
        return barBeats == 2 ? 0.3 : barBeats == 4 ? 0.45 : 0.6;
    return barBeats == 4 ? 0 : barBeats == 3 ? 0.15 : 0.3;
}
// A beat faster than the tracked pulse needs evidence of that faster level: this much more.
constexpr double FasterLevelCost = 0.2;
// A beat (or a part of it) of two thirds or three halves of the tracked one needs this much
// more evidence: a hemiola of the tracked pulse (3/4 read as 6/8) or a swing read as triplets.
constexpr double TripleRelationCost = 0.15;
// A compound reading needs accents on both thirds of its beats above those on its halves by
// this much (standard deviations); a swing (the second third only) or a few triplets are not
// enough. Without it, a compound reading costs CompoundCost.
constexpr double CompoundClear = 0.3;
constexpr double CompoundCost = 0.3;
// What the accents at a reading's beats above those at their parts are worth (per tracked beat,
// for each standard deviation) with ReadingModel::partsContrast. Chosen on the development
// pieces over four starts: 0.4 to 1.0 gave 1551 to 1562 right judgements of 2304 (1504
// without), 1.5 gave 1516. Beats against their halves alone, for every reading, gave 1544 at
// 0.2: a slow compound beat's half falls between its eighths, where nothing sounds.
constexpr double PartsContrastWeight = 0.7;
// A reading is judged over at least this many bars.
constexpr long LeastBars = 3;
constexpr double SlowestBeat = 30, FastestBeat = 300;
// What the engine's notes add to a reading's fit (per tracked beat) for each standard deviation
// by which they mark its downbeats above the units at the same place in a tracked beat: bass
// notes, long notes, chord changes. Chosen on the development pieces: per-place likelihoods of
// the same evidence pulled levels faster (256 of 576 judgements right against 322 without notes);
// contrasts of 0.2 to 0.3 each gave 314 to 323.
constexpr double NoteBassWeight = 0.3;
constexpr double NoteLengthWeight = 0.3;
constexpr double NoteHarmonyWeight = 0.2;
// How much a bar over which the notes' pattern repeats is worth (per tracked beat, for a
// pattern that repeats exactly): nothing. At 0.5 it favoured bars of two bars (12/8 for 6/8),
// as every multiple of a pattern's period repeats as well as the period.
constexpr double RepeatWeight = 0;
// A reading keeps to another tracker's tempo when its beat is within this share of it: the
// tolerance within which a beat counts as the written one.
constexpr double SecondTempoAgreement = 0.04;
// Where the best reading leads the best one keeping to the other tracker's tempo by more than
// this (per tracked beat), the evidence is strong enough to overrule it. Chosen on the
// development pieces from 0.1 to 2 and none (0.5 in every leave-one-piece-out fold): +14 right
// judgements of 576 there; 0.4 and 0.6 gave +10 and +11, no limit -1.
constexpr double SecondTempoYields = 0.5;

// The features' names in the dump (ReadingFeature order).
constexpr const char *FeatureNames[FeatureCount] = {
    "fit",           "tempoPrior",    "logTempo",     "barCost",    "fasterLevel",
    "tripleRelation", "compoundUnclear", "compoundEvidence", "downbeatAccent", "downbeatBass",
    "downbeatChange", "halvesAccent",  "halvesBass",   "halvesChange", "agreesSecond",
    "partsContrast"};

// Cosine distance between two chroma vectors: 0 alike, 1 with no pitch class in common.
double chromaChange(const std::array<double, 12> &a, const std::array<double, 12> &b) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t p = 0; p < 12; ++p)
        ab += a[p] * b[p], aa += a[p] * a[p], bb += b[p] * b[p];
    return aa > 0 && bb > 0 ? 1 - ab / std::sqrt(aa * bb) : 0;
}

// How far the values at the downbeats of a bar of `bar` units from `phase` stand above those
// at the same place within a tracked beat (so that a bar of one tracked beat, or of a part of
// one, gains nothing): the difference of their means; NaN values are unknown.
double downbeatContrast(const std::vector<double> &v, int bar, int phase) {
    size_t step = static_cast<size_t>(std::gcd(bar, MetreUnitsPerBeat)), b = static_cast<size_t>(bar);
    double down = 0, nDown = 0, all = 0, nAll = 0;
    for (size_t k = static_cast<size_t>(phase) % step; k < v.size(); k += step) {
        if (std::isnan(v[k]))
            continue;
        all += v[k], nAll += 1;
        if (k % b == static_cast<size_t>(phase) % b)
            down += v[k], nDown += 1;
    }
    return nDown > 0 && nAll > 0 ? down / nDown - all / nAll : 0;
}

// The chord changes with unknown ones as NaN, in standard deviations.
std::vector<double> knownChanges(std::vector<double> change) {
    double mean = 0, energy = 0, n = 0;
    for (double c : change)
        if (c >= 0)
            mean += c, n += 1;
    mean /= std::max(n, 1.0);
    for (double c : change)
        if (c >= 0)
            energy += (c - mean) * (c - mean);
    double sd = std::sqrt(energy / std::max(n, 1.0));
    for (double &c : change)
        c = c < 0 ? NAN : sd > 0 ? (c - mean) / sd : 0;
    return change;
}

// What the engine's notes say of each phase of a reading's bar (empty without notes): their
// bass, lengths and chord changes at its downbeats, and how alike the bars' note patterns are.
std::vector<double> notesByPhase(const NoteEvidence &n, const MetreChoice &c) {
    if (n.bass.empty())
        return {};
    int bar = c.beatUnits * c.barBeats;
    std::vector<double> change = knownChanges(chordChanges(n.chromaSums, c.beatUnits));
    double repeat = RepeatWeight * patternRepeat(n, bar);
    auto marked = [&](int b, int phase) {
        return NoteBassWeight * downbeatContrast(n.bass, b, phase) +
               NoteLengthWeight * downbeatContrast(n.lengths, b, phase) +
               NoteHarmonyWeight * downbeatContrast(change, b, phase);
    };
    // A bar of two shorter ones gains no more than the shorter bar at the same downbeat: with
    // half as many downbeats and twice the phases to choose from, it would otherwise gain by
    // chance alone (12/8 for 6/8).
    int half = bar % 2 == 0 && (bar / 2) % std::gcd(bar, MetreUnitsPerBeat) == 0 ? bar / 2 : 0;
    std::vector<double> bonus(static_cast<size_t>(bar));
    for (int phase = 0; phase < bar; ++phase)
        bonus[static_cast<size_t>(phase)] =
            repeat + (half ? std::min(marked(bar, phase), marked(half, phase % half)) : marked(bar, phase));
    return bonus;
}

// The mean accent at the units that split the reading's beats at share/parts of a beat.
double splitAccent(const std::vector<double> &accents, const MetreChoice &c, int share, int parts) {
    double sum = 0, n = 0;
    size_t b = static_cast<size_t>(c.beatUnits), at = static_cast<size_t>(share * c.beatUnits / parts);
    for (size_t k = static_cast<size_t>(c.phase) % b; k + at < accents.size(); k += b)
        sum += accents[k + at], n += 1;
    return n > 0 ? sum / n : 0;
}

// How much stronger both thirds of the reading's beats are than their halves.
double compoundEvidence(const std::vector<double> &accents, const MetreChoice &c) {
    if (c.beatUnits % 6 != 0)
        return 0;
    return std::min(splitAccent(accents, c, 1, 3), splitAccent(accents, c, 2, 3)) - splitAccent(accents, c, 1, 2);
}

double tempoPrior(double bpm) {
    double octaves = std::log2(bpm / PriorTempo) / PriorOctaves;
    return -0.5 * octaves * octaves;
}

// Whether a reading's beat or its part stands in a triple relation (two thirds, three halves) to the tracked beat.
bool inTripleRelation(const MetreChoice &c) {
    int part = c.beatUnits / c.parts;
    return (c.beatUnits % MetreUnitsPerBeat != 0 && MetreUnitsPerBeat % c.beatUnits != 0) ||
           (part % MetreUnitsPerBeat != 0 && MetreUnitsPerBeat % part != 0);
}

// The prior of a reading at its phase (log, per tracked beat).
double readingPrior(const std::vector<double> &accents, const MetreChoice &c, double trackedTempo,
                    const ReadingModel &model) {
    bool tripleRelation = inTripleRelation(c);
    bool compoundUnclear = c.parts == 3 && compoundEvidence(accents, c) < CompoundClear;
    double contrast = model.partsContrast ? PartsContrastWeight * partsContrast(accents, c) : 0;
    return contrast + PriorWeight * tempoPrior(choiceTempo(c, trackedTempo)) - barCost(c.barBeats, c.parts) -
           (c.beatUnits < MetreUnitsPerBeat ? FasterLevelCost : 0) - (tripleRelation ? TripleRelationCost : 0) -
           (compoundUnclear ? CompoundCost : 0);
}

// The features of a reading at its phase with the bar pointer's fit; agreeTempo as in scoreReadings.
ReadingFeatures featuresOf(const MetreEvidence &e, const std::vector<double> &accents, const std::vector<double> &bass,
                           const MetreChoice &c, double fit, double agreeTempo) {
    double bpm = choiceTempo(c, e.trackedTempo);
    int bar = c.beatUnits * c.barBeats;
    double compound = c.parts == 3 ? compoundEvidence(accents, c) : 0;
    BeatHalves h = beatHalves(e, c);
    ReadingFeatures f{};
    f[FeatureFit] = fit;
    f[FeatureTempoPrior] = tempoPrior(bpm);
    f[FeatureLogTempo] = std::log2(bpm / PriorTempo);
    f[FeatureBarCost] = barCost(c.barBeats, c.parts);
    f[FeatureFasterLevel] = c.beatUnits < MetreUnitsPerBeat ? 1 : 0;
    f[FeatureTripleRelation] = inTripleRelation(c) ? 1 : 0;
    f[FeatureCompoundUnclear] = c.parts == 3 && compound < CompoundClear ? 1 : 0;
    f[FeatureCompoundEvidence] = compound;
    f[FeatureDownbeatAccent] = downbeatContrast(accents, bar, c.phase);
    f[FeatureDownbeatBass] = downbeatContrast(bass, bar, c.phase);
    f[FeatureDownbeatChange] = downbeatContrast(knownChanges(chordChanges(e.chromaSums, c.beatUnits)), bar, c.phase);
    f[FeatureHalvesAccent] = h.beatAccent - h.halfAccent;
    f[FeatureHalvesBass] = h.beatBass - h.halfBass;
    f[FeatureHalvesChange] = h.beatChange - h.halfChange;
    f[FeatureAgreesSecond] =
        agreeTempo > 0 && std::fabs(bpm / agreeTempo - 1) <= SecondTempoAgreement ? 1 : 0;
    f[FeaturePartsContrast] = partsContrast(accents, c);
    return f;
}

// The evidence as the bar pointer reads it: accents and bass in standard deviations over the units.
struct Reading {
    std::vector<double> accents, bass;
};

// The best phase of one reading, its score and its features; the score stays -infinity (and the
// features 0) when it does not fit the evidence. With otherPhases, the reading at each of its
// other phases with the downbeat on a beat follows it.
void bestPhase(const MetreEvidence &e, const Reading &r, MetreChoice c, const ReadingModel &model, double agreeTempo,
               bool otherPhases, std::vector<ScoredReading> &out) {
    int bar = c.beatUnits * c.barBeats;
    double bpm = choiceTempo(c, e.trackedTempo);
    c.score = -INFINITY;
    if (static_cast<long>(r.accents.size()) < LeastBars * bar || bpm < SlowestBeat || bpm > FastestBeat) {
        out.push_back({c, {}, true});
        return;
    }
    BarPath path = followBarPointer(r.accents, r.bass, chordChanges(e.chromaSums, c.beatUnits), c,
                                    notesByPhase(e.notes, c), model);
    c.phase = path.phase;
    c.score = path.fit + readingPrior(r.accents, c, e.trackedTempo, model);
    // The features cost a pass over the grid per reading: only a dump (with the other phases) reads them.
    out.push_back({c, otherPhases ? featuresOf(e, r.accents, r.bass, c, path.fit, agreeTempo) : ReadingFeatures{},
                   true});
    for (int beat = 1; otherPhases && path.phaseFits.size() == static_cast<size_t>(bar) && beat < c.barBeats; ++beat) {
        MetreChoice other = c;
        other.phase = (c.phase + beat * c.beatUnits) % bar;
        double fit = path.phaseFits[static_cast<size_t>(other.phase)];
        other.score = fit + readingPrior(r.accents, other, e.trackedTempo, model);
        out.push_back({other, featuresOf(e, r.accents, r.bass, other, fit, agreeTempo), false});
    }
}

Reading readingOf(const MetreEvidence &e) { return {standardised(e.accents), standardised(e.bass)}; }

// Whether a reading's beat keeps to another tracker's tempo (> 0).
bool keepsTo(const MetreChoice &c, double trackedTempo, double secondTempo) {
    return secondTempo > 0 && std::fabs(choiceTempo(c, trackedTempo) / secondTempo - 1) <= SecondTempoAgreement;
}

// The best-scored reading; with another tracker's tempo (secondTempo > 0), the best of those whose
// beat keeps to it, where one does and trails the best by no more than SecondTempoYields.
MetreChoice bestAgreeing(const std::vector<MetreChoice> &bests, double trackedTempo, double secondTempo) {
    MetreChoice best, agreeing;
    best.score = agreeing.score = -INFINITY;
    for (const MetreChoice &c : bests) {
        if (c.score > best.score)
            best = c;
        if (keepsTo(c, trackedTempo, secondTempo) && c.score > agreeing.score)
            agreeing = c;
    }
    return std::isfinite(agreeing.score) && best.score - agreeing.score <= SecondTempoYields ? agreeing : best;
}

}  // namespace

std::vector<double> chordChanges(const std::vector<std::array<double, 12>> &sum, int beat) {
    size_t units = sum.empty() ? 0 : sum.size() - 1, b = static_cast<size_t>(beat);
    std::vector<double> change(units, -1.0);
    for (size_t k = b; k + b <= units; ++k) {
        std::array<double, 12> before{}, after{};
        for (size_t p = 0; p < 12; ++p)
            before[p] = sum[k][p] - sum[k - b][p], after[p] = sum[k + b][p] - sum[k][p];
        change[k] = chromaChange(before, after);
    }
    return change;
}

double choiceTempo(const MetreChoice &c, double trackedTempo) {
    return trackedTempo * MetreUnitsPerBeat / c.beatUnits;
}

bool amongLevels(double bpm, double pulseTempo) {
    for (int b : BeatUnitChoices)
        if (std::fabs(bpm / choiceTempo(MetreChoice{b, 2, 4, 0, 0, 0}, pulseTempo) - 1) <= SecondTempoAgreement)
            return true;
    return false;
}

std::vector<ScoredReading> scoreReadings(const MetreEvidence &e, const MetreBounds &bounds, const ReadingModel &model,
                                         double otherPulse, double agreeTempo, bool otherPhases) {
    std::vector<ScoredReading> scored;
    Reading r = readingOf(e);
    for (int parts : {2, 3})
        for (int b : BeatUnitChoices) {
            if (b % parts != 0 || (bounds.parts && bounds.parts != parts) ||
                (bounds.beatUnits && bounds.beatUnits != b &&
                 !(bounds.dottedToo && parts == 3 && 2 * b == 3 * bounds.beatUnits)) ||
                (otherPulse > 0 && amongLevels(choiceTempo(MetreChoice{b, parts, 4, 0, 0, 0}, e.trackedTempo),
                                               otherPulse)))
                continue;
            std::vector<int> bars(parts == 2 ? std::begin(SimpleBars) : std::begin(CompoundBars),
                                  parts == 2 ? std::end(SimpleBars) : std::end(CompoundBars));
            if (bounds.barBeats)
                bars = {bounds.barBeats};
            for (int n : bars)
                bestPhase(e, r, MetreChoice{b, parts, n, 0, 0, 0}, model, agreeTempo, otherPhases, scored);
        }
    return scored;
}

const char *featureName(int feature) {
    return feature >= 0 && feature < FeatureCount ? FeatureNames[feature] : "";
}

MetreChoice chooseMetre(const MetreEvidence &e, const MetreBounds &bounds, const ReadingModel &model,
                        double secondTempo, double otherPulse) {
    std::vector<MetreChoice> bests;
    for (const ScoredReading &s : scoreReadings(e, bounds, model, otherPulse))
        bests.push_back(s.choice);
    MetreChoice best = bestAgreeing(bests, e.trackedTempo, secondTempo);
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
