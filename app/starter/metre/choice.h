// The choice of the written beat and the bar among metrical hypotheses,
// from the evidence on the grid of beat units.
#pragma once

#include "app/starter/metre/evidence.h"

// One reading of the grid: a beat of beatUnits units split into parts, barBeats beats to a
// bar, the first downbeat at unit phase.
struct MetreChoice {
    int beatUnits = MetreUnitsPerBeat;
    int parts = 2;        // 2: simple time; 3: compound (6/8), the beat a dotted note
    int barBeats = 4;
    int phase = 0;        // the unit of a downbeat, 0 .. beatUnits * barBeats - 1
    double score = 0;
    double margin = 0;    // over the best reading with another beat or bar (0: none)
};

// How the bar pointer reads the evidence (a developer setting; the default as measured).
struct ReadingModel {
    // Bass onsets at finer parts and between parts read as at the parts of a beat, not as
    // measured there: where a piece puts low notes inside a beat depends on its figuration,
    // not on the level. More written beats on the development pieces, fewer downbeats and as
    // many right judgements on the held-out ones, so it is off.
    bool partsBassBelowBeat = false;
    // The reading judged with the bass as onset or quiet at each place, like the accents (a
    // chance of a bass onset, an onset's level there and a quiet level), in place of one
    // Gaussian per place; the bar's phase still rests on the Gaussian. More written beats on
    // the development pieces but fewer first downbeats, 325 right judgements of 576 against
    // 321: not a clear gain, so it is off.
    bool bassMixture = false;
    // The accents' chances of an onset at each place as measured again on the development
    // pieces of the wide corpus (fewer onsets at downbeats, beats and parts, more between),
    // in place of the first ones. More right judgements on the development pieces (330 of
    // 576 against 321; 363 with the bass mixture and the pulse's prominence), none on the
    // held-out ones (342 and 339 of 594 against 344), so it is off.
    bool accentsRemeasured = false;
    // Each reading's score also weighs how far the accents at its beats stand above those at
    // its beats' parts (PartsContrastWeight): the written beat is the level whose beats stand
    // out from what divides them. More right judgements on the development pieces (1557 of
    // 2304 over four starts against 1504, mostly written beats) and on the held-out ones (756
    // of 1188 over two starts against 736: beats +32, numerators -9, first downbeats -3), but
    // the default run's onset F1 fell by 0.0028 on one rendering, more than allowed, so it is off.
    bool partsContrast = false;
};

// What may weigh a reading: the bar pointer's fit and each prior term apart, and the evidence
// at its downbeats and at its beats, for a reading at one phase.
enum ReadingFeature {
    FeatureFit,              // the bar pointer's best path, log-likelihood per tracked beat
    FeatureTempoPrior,       // the log-Gaussian tempo prior, unweighted
    FeatureLogTempo,         // log2 of the beat's tempo over 100 a minute
    FeatureBarCost,          // the bar's cost against 4/4
    FeatureFasterLevel,      // 1: a beat faster than the tracked pulse
    FeatureTripleRelation,   // 1: a beat or part two thirds or three halves of the tracked beat
    FeatureCompoundUnclear,  // 1: a compound reading without accents on both thirds
    FeatureCompoundEvidence, // the thirds' accents over the halves' (0 in simple time)
    FeatureDownbeatAccent,   // accents at the downbeats over those at the same place of a beat
    FeatureDownbeatBass,     // ... the bass onsets
    FeatureDownbeatChange,   // ... the chord changes, in standard deviations
    FeatureHalvesAccent,     // accents at the beats over those at their halves
    FeatureHalvesBass,       // ... the bass onsets
    FeatureHalvesChange,     // ... the chord changes (cosine distance)
    FeatureAgreesSecond,     // 1: the beat keeps to the second tracker's tempo within 4 %
    FeaturePartsContrast,    // accents at the beats over those at their parts (halves or thirds)
    FeatureCount
};
using ReadingFeatures = std::array<double, FeatureCount>;

// One reading at a phase, its hand-set score and its features.
struct ScoredReading {
    MetreChoice choice;
    ReadingFeatures features{};
    bool bestPhase = true;  // the phase the bar pointer's best path takes
};

// What the settings fix about the bar; 0: free.
struct MetreBounds {
    int barBeats = 0;
    int parts = 0;
    int beatUnits = 0;  // the beat in grid units; 0: any level of the tracked beat
    // With beatUnits: the compound reading whose dotted beat is three halves of it allowed too.
    bool dottedToo = false;
};

/** The chord change at every unit of running chroma sums (as MetreEvidence's): the cosine
 *  distance of the chroma of the `beat` units before it from that of the `beat` units from it;
 *  -1 where either reaches beyond the sums. */
std::vector<double> chordChanges(const std::vector<std::array<double, 12>> &sum, int beat);
/** The beat tempo of a reading in beats per minute. */
double choiceTempo(const MetreChoice &c, double trackedTempo);
/** The best reading of the evidence within the bounds, each judged by its bar pointer's best
 *  path and its prior; a default one (score 0) when none fits. With secondTempo (beats per
 *  minute, > 0) from another tracker, the best reading whose beat keeps to it within 4 % wins
 *  where one does and the evidence for the best one is not much stronger. With otherPulse
 *  (beats per minute, > 0), only the readings whose beat no level of that pulse has. */
MetreChoice chooseMetre(const MetreEvidence &e, const MetreBounds &bounds, const ReadingModel &model = {},
                        double secondTempo = 0, double otherPulse = 0);
/** Every reading chooseMetre weighs, at its best phase, with its hand-set score (-infinity where
 *  it does not fit the evidence). With otherPhases (a developer's dump), each fitting reading
 *  carries its features and is followed by the same reading with its downbeat on each of its
 *  other beats; agreeTempo is the second tracker's tempo the features compare the beat with (0:
 *  none). Without it the features stay 0. */
std::vector<ScoredReading> scoreReadings(const MetreEvidence &e, const MetreBounds &bounds,
                                         const ReadingModel &model = {}, double otherPulse = 0,
                                         double agreeTempo = 0, bool otherPhases = false);
/** The name of a feature as the dump writes it ("" for none). */
const char *featureName(int feature);
/** Whether a beat of bpm keeps within 4 % to the beat of a reading of a pulse of pulseTempo (beats
 *  per minute) at any of the levels a reading may take. */
bool amongLevels(double bpm, double pulseTempo);
