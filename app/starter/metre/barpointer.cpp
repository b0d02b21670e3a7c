// The bar pointer's Viterbi path over the positions of one reading's bar.
#include "app/starter/metre/barpointer.h"

#include <algorithm>
#include <cmath>

namespace {

// Measured on the development pieces along their written beats (accents in standard
// deviations over the units, an onset where the accent exceeds 0.5), indexed by BarPlace:
// how likely a unit holds an onset at each place (nearly every downbeat and beat, half the
// parts of a beat, fewer finer parts, few units between them: syncopation, swing, ornaments),
constexpr Chances OnsetChance = {0.90, 0.79, 0.51, 0.17, 0.04};
// or, with ReadingModel::accentsRemeasured, as measured again on the development pieces of the
// wide corpus, all six renderings (92,808 units: twelfths of each written beat, the largest
// accent within half a twelfth either side, in standard deviations over the units). The onset
// levels and spreads measured there with them (2.91, 2.16, 1.68, 1.51, 1.83; 1.52, 1.09, 0.89,
// 0.87, 1.05; quiet -0.39, spread 0.19) found fewer right readings than those below.
constexpr Chances RemeasuredOnsetChance = {0.64, 0.58, 0.35, 0.14, 0.09};
// the accent of an onset there (downbeats loudest),
constexpr double OnsetAccent[] = {3.3, 2.65, 2.0, 1.7, 1.5};
constexpr double OnsetSpread = 1.0;
// the accent where there is none,
constexpr double QuietAccent = -0.33, QuietSpread = 0.2;
// and the bass onsets (their mean and spread).
constexpr double BassMean[] = {2.68, 1.13, 0.25, -0.25, -0.14};
constexpr double BassSpread[] = {2.71, 1.45, 0.87, 0.44, 0.65};
// The bass as a mixture (ReadingModel::bassMixture), measured on the development pieces along
// their written beats, all six renderings (92,808 units; bass in standard deviations over the
// units, an onset where it exceeds OnsetLine): how likely a unit holds a bass onset at each
// place, the level of an onset there and the level where there is none.
constexpr Chances BassChance = {0.72, 0.52, 0.26, 0.09, 0.11};
constexpr double BassOnsetMean[] = {3.19, 2.06, 1.47, 1.38, 1.56};
constexpr double BassOnsetSpread[] = {2.47, 1.34, 0.91, 0.90, 1.05};
constexpr double QuietBass = -0.31, QuietBassSpread = 0.29;
// The place whose bass values a place reads: with ReadingModel::partsBassBelowBeat, finer parts
// and places between read the parts' (their own are narrow: a broken chord's low sixteenths
// then cost a reading at the written beat more than one at its eighths).
size_t bassPlace(BarPlace place, const ReadingModel &model) {
    bool below = place == BarPlace::Finer || place == BarPlace::Between;
    return static_cast<size_t>(model.partsBassBelowBeat && below ? BarPlace::Part : place);
}
// An accent above this is an onset.
constexpr double OnsetLine = 0.5;
// A piece's own share of onsets at a place counts as much as the shares above from this many
// units on (fewer units: the measured shares weigh more).
constexpr double ChanceUnits = 24;
// Only the shares of the parts, finer parts and places between follow the piece (how busy it
// is); those of downbeats and beats stay as measured, so that a longer bar does not explain
// a shorter one's accents merely by having more places.
constexpr size_t OwnChancesFrom = static_cast<size_t>(BarPlace::Part);
// Bass onsets are noisier than the onset strength: this share of its weight.
constexpr double BassWeight = 0.5;
// What a downbeat on a chord change (against the mean change) is worth: chosen on the
// development pieces (1.5, 3, 5 and 8 tried; 5 found the most numerators and downbeats).
constexpr double HarmonyWeight = 5;

// The log of a Gaussian density.
double logNormal(double x, double mean, double spread) {
    double z = (x - mean) / spread;
    return -0.5 * z * z - std::log(spread);
}

// The log-likelihood of an onset-or-quiet mixture: an onset with this chance, its level about
// onsetMean, otherwise the quiet level.
double logMixture(double x, double chance, double onsetMean, double onsetSpread, double quietMean,
                  double quietSpread) {
    double heard = chance * std::exp(logNormal(x, onsetMean, onsetSpread));
    double quiet = (1 - chance) * std::exp(logNormal(x, quietMean, quietSpread));
    return std::log(heard + quiet + 1e-300);
}

// What a unit's bass says of place b (after bassPlace), weighted against the accents.
double bassFit(size_t b, double bass, const Chances &bassChance, const ReadingModel &model) {
    double fit = model.bassMixture
                     ? logMixture(bass, bassChance[b], BassOnsetMean[b], BassOnsetSpread[b], QuietBass, QuietBassSpread)
                     : logNormal(bass, BassMean[b], BassSpread[b]);
    return BassWeight * fit;
}

}  // namespace

BarPlace placeInBar(const MetreChoice &reading, int j) {
    int part = reading.beatUnits / reading.parts;
    if (j == 0)
        return BarPlace::Downbeat;
    if (j % reading.beatUnits == 0)
        return BarPlace::Beat;
    if (j % part == 0)
        return BarPlace::Part;
    if (part % 2 == 0 && j % (part / 2) == 0)
        return BarPlace::Finer;
    return BarPlace::Between;
}

double unitFit(BarPlace place, const PlaceChances &chance, double accent, double bass, double change,
               double meanChange, const ReadingModel &model) {
    size_t p = static_cast<size_t>(place);
    double fit = logMixture(accent, chance.onset[p], OnsetAccent[p], OnsetSpread, QuietAccent, QuietSpread) +
                 bassFit(bassPlace(place, model), bass, chance.bass, model);
    if (place == BarPlace::Downbeat && change >= 0)
        fit += HarmonyWeight * (change - meanChange);
    return fit;
}

namespace {

// The mean of the known chord changes (0: none).
double usualChange(const std::vector<double> &change) {
    double sum = 0, n = 0;
    for (double c : change)
        if (c >= 0)
            sum += c, n += 1;
    return n > 0 ? sum / n : 0;
}

}  // namespace

namespace {

// Each unit's fit at each place.
std::vector<std::array<double, 5>> unitFits(const std::vector<double> &accents, const std::vector<double> &bass,
                                            const std::vector<double> &change, const PlaceChances &chance,
                                            const ReadingModel &model) {
    double usual = usualChange(change);
    std::vector<std::array<double, 5>> fits(accents.size());
    for (size_t k = 0; k < accents.size(); ++k)
        for (size_t p = 0; p < 5; ++p)
            fits[k][p] = unitFit(static_cast<BarPlace>(p), chance, accents[k], k < bass.size() ? bass[k] : 0,
                                 k < change.size() ? change[k] : -1, usual, model);
    return fits;
}

// The best path of the pointer through the units' fits at the places of a bar; fit is the
// path's total per tracked beat plus the bonus of its phase.
BarPath bestPath(const std::vector<std::array<double, 5>> &fits, const std::vector<BarPlace> &places,
                 const std::vector<double> &phaseBonus) {
    size_t states = places.size();
    std::vector<double> score(states), next(states);
    std::vector<int> start(states), nextStart(states);  // the position each path had at the first unit
    auto fitAt = [&](size_t k, size_t j) { return fits[k][static_cast<size_t>(places[j])]; };
    for (size_t j = 0; j < states; ++j)
        score[j] = fitAt(0, j), start[j] = static_cast<int>(j);
    for (size_t k = 1; k < fits.size(); ++k) {
        // The pointer moves on one unit. (Letting a bar end a beat early, at a cost of 4 or 10
        // in log-likelihood, found fewer first downbeats on the development pieces.)
        for (size_t j = 0; j < states; ++j) {
            size_t from = (j + states - 1) % states;
            next[j] = score[from], nextStart[j] = start[from];
        }
        for (size_t j = 0; j < states; ++j)
            score[j] = next[j] + fitAt(k, j);
        std::swap(start, nextStart);
    }
    // Each path's total per tracked beat, with what other evidence says of its phase.
    int bar = static_cast<int>(states);
    std::vector<double> phaseFits(states);
    for (size_t j = 0; j < states; ++j) {
        size_t phase = static_cast<size_t>((bar - start[j]) % bar);
        double bonus = phase < phaseBonus.size() ? phaseBonus[phase] : 0;
        score[j] = score[j] * MetreUnitsPerBeat / static_cast<double>(fits.size()) + bonus;
        phaseFits[phase] = score[j];
    }
    size_t best = static_cast<size_t>(std::max_element(score.begin(), score.end()) - score.begin());
    return {score[best], (bar - start[best]) % bar, std::move(phaseFits)};
}

// The shares of onsets (values above OnsetLine) at each place along a path of the first
// downbeat at `phase`, drawn towards the measured shares where the piece has few units of a place.
Chances piecesChances(const std::vector<double> &values, const Chances &measured, const std::vector<BarPlace> &places,
                      int phase) {
    std::array<double, 5> on{}, all{};
    size_t bar = places.size();
    for (size_t k = 0; k < values.size(); ++k) {
        size_t p = static_cast<size_t>(places[(k + bar - static_cast<size_t>(phase) % bar) % bar]);
        on[p] += values[k] > OnsetLine, all[p] += 1;
    }
    Chances c;
    for (size_t p = 0; p < 5; ++p)
        c[p] = p < OwnChancesFrom ? measured[p] : std::clamp((on[p] + ChanceUnits * measured[p]) / (all[p] + ChanceUnits), 0.01, 0.99);
    return c;
}

}  // namespace

BarPath followBarPointer(const std::vector<double> &accents, const std::vector<double> &bass,
                         const std::vector<double> &change, const MetreChoice &reading,
                         const std::vector<double> &phaseBonus, const ReadingModel &model) {
    int bar = reading.beatUnits * reading.barBeats;
    if (accents.empty() || bar < 1 || reading.parts < 1 || reading.beatUnits % reading.parts != 0)
        return {};
    std::vector<BarPlace> places(static_cast<size_t>(bar));
    for (int j = 0; j < bar; ++j)
        places[static_cast<size_t>(j)] = placeInBar(reading, j);
    // A first path with the measured shares of onsets finds the bar; a second one with the
    // piece's own shares along it judges how well the reading explains the piece. The bar's
    // phase rests on the Gaussian bass: it tells a downbeat's loud bass from a beat's more
    // firmly than the mixture, which found fewer first downbeats on the development pieces.
    ReadingModel phaseModel = model;
    phaseModel.bassMixture = false;
    const Chances &onsetChance = model.accentsRemeasured ? RemeasuredOnsetChance : OnsetChance;
    BarPath first = bestPath(unitFits(accents, bass, change, {onsetChance, BassChance}, phaseModel), places, phaseBonus);
    PlaceChances own{piecesChances(accents, onsetChance, places, first.phase),
                     model.bassMixture ? piecesChances(bass, BassChance, places, first.phase) : BassChance};
    BarPath judged = bestPath(unitFits(accents, bass, change, own, model), places, phaseBonus);
    if (model.bassMixture)
        judged.phase = first.phase;
    return judged;
}
