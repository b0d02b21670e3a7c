// The choice of the written beat and the bar on synthetic evidence: accents
// and chords on a grid of tracked-beat units, as a rendered piece would give.
#include <gtest/gtest.h>

#include <cmath>

#include "app/starter/metre/choice.h"

namespace {

constexpr int U = MetreUnitsPerBeat;

// A piece on the grid: bar and beat in units, the first downbeat at unit `first`;
// accents 3 on downbeats, 2 on beats, partAccent on the beat's parts (partUnits apart), 0 elsewhere;
// a chord a bar (or a chord every chordBars bars), alternating C major and G major.
MetreEvidence piece(int trackedBeats, int beatUnits, int barBeats, int partUnits, int first, double trackedTempo,
                    int chordBeats = 0, double partAccent = 1) {
    MetreEvidence e;
    int bar = beatUnits * barBeats, chord = chordBeats ? chordBeats * beatUnits : bar;
    std::array<double, 12> c{}, g{};
    c[0] = c[4] = c[7] = 1;
    g[7] = g[11] = g[2] = 1;
    for (int k = 0; k < trackedBeats * U; ++k) {
        int j = ((k - first) % bar + bar) % bar;
        e.accents.push_back(j == 0 ? 3 : j % beatUnits == 0 ? 2 : j % partUnits == 0 ? partAccent : 0);
        e.bass.push_back(j == 0 ? 1 : 0);
        addChroma(e, ((k - first + 10 * chord) / chord) % 2 ? g : c);
    }
    e.trackedTempo = trackedTempo;
    return e;
}

TEST(MetreChoice, ThreeFourAtTheTrackedLevel) {
    MetreChoice c = chooseMetre(piece(48, U, 3, U / 2, 0, 100), {});
    EXPECT_EQ(c.beatUnits, U);
    EXPECT_EQ(c.barBeats, 3);
    EXPECT_EQ(c.parts, 2);
    EXPECT_EQ(c.phase, 0);
    EXPECT_GT(c.margin, 0);
    EXPECT_DOUBLE_EQ(choiceTempo(c, 100), 100);
}

TEST(MetreChoice, TheBeatIsTwiceTheTrackedOneWhenEighthsWereTracked) {
    // Quarter notes at 80 tracked as eighths at 160; four beats a bar, the bar starting on
    // the third eighth.
    MetreChoice c = chooseMetre(piece(64, 2 * U, 4, U, 2 * U, 160), {});
    EXPECT_EQ(c.beatUnits, 2 * U);
    EXPECT_EQ(c.barBeats, 4);
    EXPECT_EQ(c.phase, 2 * U);
    EXPECT_NEAR(choiceTempo(c, 160), 80, 1e-9);
}

TEST(MetreChoice, HalfTheTrackedBeatWhenHalvesWereTracked) {
    // A 2/4 piece at quarter note 120 tracked at 60: beats fall between the tracked ones.
    MetreChoice c = chooseMetre(piece(32, U / 2, 2, U / 4, U / 2, 60), {});
    EXPECT_EQ(c.beatUnits, U / 2);
    EXPECT_EQ(c.barBeats, 2);
    EXPECT_EQ(c.phase, U / 2);
}

TEST(MetreChoice, SixEightIsTwoDottedBeatsSplitInThree) {
    // Eighths at 180 tracked; the dotted-quarter beat is three of them, two to a bar.
    MetreChoice c = chooseMetre(piece(96, 3 * U, 2, U, U, 180), {});
    EXPECT_EQ(c.parts, 3);
    EXPECT_EQ(c.beatUnits, 3 * U);
    EXPECT_EQ(c.barBeats, 2);
    EXPECT_EQ(c.phase, U);
}

TEST(MetreChoice, ChordChangesTellFourFromTwo) {
    // Alike accents on beats 1 and 3; the chord changes only on beat 1: four beats a bar.
    MetreEvidence e = piece(64, U, 2, U / 2, 0, 100, 4);
    EXPECT_EQ(chooseMetre(e, {}).barBeats, 4);
    // The chord changes every two beats: two beats a bar.
    e = piece(64, U, 2, U / 2, 0, 100, 2);
    EXPECT_EQ(chooseMetre(e, {}).barBeats, 2);
}

TEST(MetreChoice, TheSettingsFixTheBar) {
    MetreChoice c = chooseMetre(piece(48, U, 3, U / 2, 0, 100), {4, 2});
    EXPECT_EQ(c.barBeats, 4);
    c = chooseMetre(piece(96, 3 * U, 2, U, 0, 180), {2, 3});
    EXPECT_EQ(c.parts, 3);
}

TEST(MetreChoice, AFixedBeatAllowsTheDottedBeatOfThreeHalvesOfItWhereAsked) {
    // 6/8 at a dotted quarter of 65, the pulse taken at the quarter (97.5): the dotted beat is
    // three halves of the pulse, split in three eighths.
    MetreEvidence sixEight = piece(64, 3 * U / 2, 2, U / 2, 0, 97.5);
    MetreChoice c = chooseMetre(sixEight, {0, 0, U, true});
    EXPECT_EQ(c.parts, 3);
    EXPECT_EQ(c.beatUnits, 3 * U / 2);
    EXPECT_EQ(chooseMetre(sixEight, {0, 0, U}).beatUnits, U);
    // Simple time at the fixed beat stays there, and no other level is taken.
    c = chooseMetre(piece(48, U, 3, U / 2, 0, 100), {0, 0, U, true});
    EXPECT_EQ(c.parts, 2);
    EXPECT_EQ(c.beatUnits, U);
    EXPECT_EQ(chooseMetre(piece(64, 2 * U, 4, U, 0, 160), {0, 0, U, true}).beatUnits, U);
}

TEST(MetreChoice, TooLittleEvidenceGivesTheDefault) {
    MetreChoice c = chooseMetre(MetreEvidence{}, {});
    EXPECT_EQ(c.beatUnits, U);
    EXPECT_EQ(c.barBeats, 4);
    EXPECT_EQ(c.score, 0);
    // Beats outside 30..300 a minute are never chosen.
    c = chooseMetre(piece(48, U, 3, U / 2, 0, 8), {});
    EXPECT_EQ(c.score, 0);
}

TEST(MetreEvidence, UnitTimesFollowTheBeatsAndGoOnBeyondThem) {
    std::vector<double> beats{1.0, 1.5, 2.5};
    EXPECT_DOUBLE_EQ(unitTime(beats, 0), 1.0);
    EXPECT_DOUBLE_EQ(unitTime(beats, U / 2), 1.25);
    EXPECT_DOUBLE_EQ(unitTime(beats, U + U / 4), 1.75);
    EXPECT_DOUBLE_EQ(unitTime(beats, 3 * U), 3.5);
    EXPECT_DOUBLE_EQ(unitTime(beats, -U), 0.5);
    EXPECT_DOUBLE_EQ(correlation({1, 2, 3}, {2, 4, 6}), 1);
    EXPECT_DOUBLE_EQ(correlation({1, 1, 1}, {2, 4, 6}), 0);
    EXPECT_DOUBLE_EQ(correlation({}, {}), 0);
}

}  // namespace

// Running sixteenths over a tracked eighth at 132: a 4/4 bar of quarters at 66 (96 units), one
// chord a bar, accents and bass onsets as a broken-chord prelude gives them (its low notes
// sound on sixteenths inside the beat, so the bass is busy between the eighths).
MetreEvidence brokenChords(int bars) {
    MetreEvidence e;
    std::array<double, 12> c{}, g{};
    c[0] = c[4] = c[7] = 1;
    g[7] = g[11] = g[2] = 1;
    for (int k = 0; k < bars * 8 * U; ++k) {
        int j = k % (8 * U);
        bool quarter = j % (2 * U) == 0, eighth = j % U == 0, sixteenth = j % (U / 2) == 0;
        e.accents.push_back(j == 0 ? 4.8 : quarter ? 2.8 : eighth ? 1.6 : sixteenth ? 1.2 : -0.4);
        bool low = (j / (U / 2)) % 4 == 1;  // a low note on every other sixteenth between the eighths
        e.bass.push_back(j == 0 ? 3.5 : quarter ? 0.5 : eighth ? 1.0 : sixteenth ? (low ? 2.2 : -0.3) : -0.2);
        addChroma(e, (k / (8 * U)) % 2 ? g : c);
    }
    e.trackedTempo = 132;
    return e;
}

TEST(MetreChoice, BassInsideTheBeatReadAsAtItsPartsFindsTheQuarterUnderRunningSixteenths) {
    MetreEvidence e = brokenChords(12);
    MetreChoice measured = chooseMetre(e, {});
    EXPECT_EQ(measured.beatUnits, U);  // as measured, the finer places' narrow bass wants the eighth
    MetreChoice parts = chooseMetre(e, {}, ReadingModel{true});
    EXPECT_EQ(parts.beatUnits, 2 * U);
    EXPECT_EQ(parts.barBeats, 4);
    EXPECT_EQ(parts.phase, 0);
}

TEST(MetreChoice, BassAsOnsetOrQuietFindsTheQuarterUnderRunningSixteenths) {
    MetreEvidence e = brokenChords(12);
    EXPECT_EQ(chooseMetre(e, {}).beatUnits, U);  // one Gaussian a place: the low sixteenths want the eighth
    MetreChoice mixture = chooseMetre(e, {}, ReadingModel{false, true});
    EXPECT_EQ(mixture.beatUnits, 2 * U);
    EXPECT_EQ(mixture.barBeats, 4);
    EXPECT_EQ(mixture.parts, 2);
    EXPECT_EQ(mixture.phase, 0);
}

TEST(MetreChoice, AnotherTrackersTempoPicksTheLevelWhereTheEvidenceIsNotStrong) {
    // Quarter notes at 80 tracked as eighths at 160, the bar clearly of quarters.
    MetreEvidence e = piece(64, 2 * U, 4, U, 2 * U, 160);
    MetreChoice own = chooseMetre(e, {});
    ASSERT_EQ(own.beatUnits, 2 * U);
    // A tempo the chosen beat keeps to, or one no level keeps to within 4 %, changes nothing.
    for (double second : {80.0 * 1.03, 97.0, 0.0}) {
        MetreChoice c = chooseMetre(e, {}, {}, second);
        EXPECT_EQ(c.beatUnits, own.beatUnits) << second;
        EXPECT_EQ(c.barBeats, own.barBeats) << second;
        EXPECT_EQ(c.phase, own.phase) << second;
    }
    // The tracked eighths' best reading trails by more than half a unit of score: the quarter stays.
    EXPECT_GT(own.score - chooseMetre(e, {0, 0, U}).score, 0.5);
    EXPECT_EQ(chooseMetre(e, {}, {}, 160 * 0.97).beatUnits, 2 * U);
    // 4/4 at the tracked level, its half level close behind: a tempo at the half level takes it.
    MetreEvidence weak = piece(64, U, 4, U / 2, 0, 100);
    MetreChoice weakOwn = chooseMetre(weak, {});
    ASSERT_EQ(weakOwn.beatUnits, U);
    EXPECT_LE(weakOwn.score - chooseMetre(weak, {0, 0, 2 * U}).score, 0.5);
    MetreChoice swapped = chooseMetre(weak, {}, {}, 50);
    EXPECT_EQ(swapped.beatUnits, 2 * U);
    EXPECT_DOUBLE_EQ(choiceTempo(swapped, 100), 50);
}

TEST(MetreChoice, ReadingsAnotherPulseHasAtALevelAreLeftOut) {
    // The levels a reading may take, from a third to three tracked beats, each within 4 %.
    for (double level : {3.0, 2.0, 1.5, 1.0, 2.0 / 3, 0.5, 1.0 / 3})
        for (double off : {0.965, 1.035})
            EXPECT_TRUE(amongLevels(120 * level * off, 120)) << level << " " << off;
    for (double ratio : {0.75, 4.0 / 3, 1.25, 0.8, 1.0 * 1.05, 4.0})
        EXPECT_FALSE(amongLevels(120 * ratio, 120)) << ratio;
    // Another pulse the same as the tracked one leaves no reading; one at 5/4 of it, none of
    // whose levels a reading has, leaves them all.
    MetreEvidence e = piece(64, 2 * U, 4, U, 2 * U, 160);
    EXPECT_EQ(chooseMetre(e, {}, {}, 0, 160).score, 0);
    MetreChoice own = chooseMetre(e, {});
    MetreChoice apart = chooseMetre(e, {}, {}, 0, 160 * 1.25);
    EXPECT_EQ(apart.beatUnits, own.beatUnits);
    EXPECT_DOUBLE_EQ(apart.score, own.score);
}

TEST(MetreChoice, EveryReadingsFeaturesRecomposeItsScoreAndItsOtherPhasesFallOnItsBeats) {
    // 3/4 at the tracked level, a chord a bar; the second tracker at 102 a minute.
    MetreEvidence e = piece(48, U, 3, U / 2, 0, 100);
    std::vector<ScoredReading> all = scoreReadings(e, {}, {}, 0, 102, true);
    MetreChoice chosen = chooseMetre(e, {});
    const ScoredReading *best = nullptr, *threeFour = nullptr;
    for (const ScoredReading &s : all) {
        const ReadingFeatures &f = s.features;
        if (!std::isfinite(s.choice.score))
            continue;
        // The fit and the prior's terms as the hand-set chooser weighs them.
        double hand = f[FeatureFit] + 0.3 * f[FeatureTempoPrior] - f[FeatureBarCost] - 0.2 * f[FeatureFasterLevel] -
                      0.15 * f[FeatureTripleRelation] - 0.3 * f[FeatureCompoundUnclear];
        EXPECT_NEAR(hand, s.choice.score, 1e-9) << s.choice.beatUnits << " " << s.choice.barBeats;
        EXPECT_EQ(f[FeatureAgreesSecond], s.choice.beatUnits == U ? 1 : 0) << s.choice.beatUnits;
        EXPECT_DOUBLE_EQ(f[FeatureLogTempo], std::log2(choiceTempo(s.choice, 100) / 100));
        if (s.bestPhase && (!best || s.choice.score > best->choice.score))
            best = &s;
        if (s.bestPhase && s.choice.beatUnits == U && s.choice.barBeats == 3 && s.choice.parts == 2)
            threeFour = &s;
    }
    ASSERT_TRUE(best && threeFour);
    EXPECT_EQ(best->choice.beatUnits, chosen.beatUnits);
    EXPECT_EQ(best->choice.barBeats, chosen.barBeats);
    EXPECT_EQ(best->choice.phase, chosen.phase);
    // The other phases of 3/4: on its other beats, fitting no better, their chords changing less.
    int others = 0;
    for (const ScoredReading &s : all)
        if (!s.bestPhase && s.choice.beatUnits == U && s.choice.barBeats == 3 && s.choice.parts == 2) {
            ++others;
            EXPECT_EQ(s.choice.phase % U, threeFour->choice.phase % U);
            EXPECT_NE(s.choice.phase, threeFour->choice.phase);
            EXPECT_LT(s.features[FeatureFit], threeFour->features[FeatureFit]);
            EXPECT_LT(s.features[FeatureDownbeatChange], threeFour->features[FeatureDownbeatChange]);
            EXPECT_LT(s.features[FeatureDownbeatAccent], threeFour->features[FeatureDownbeatAccent]);
        }
    EXPECT_EQ(others, 2);
    // Without the other phases, only the best phase of each reading.
    for (const ScoredReading &s : scoreReadings(e, {}))
        EXPECT_TRUE(s.bestPhase);
}

TEST(MetreChoice, TheBeatsStandingAboveTheirPartsFindAFastWaltzsBeatUnderAPulseOfHalfIt) {
    // A waltz at 176 tracked at 88, its eighths faint: read at a dotted beat of a bar as it
    // stands, at its written beat with the beats weighed against their parts.
    MetreEvidence e = piece(48, U / 2, 3, U / 4, 0, 88, 0, 0.5);
    MetreChoice plain = chooseMetre(e, {});
    EXPECT_EQ(plain.beatUnits, 3 * U / 2);
    ReadingModel model;
    model.partsContrast = true;
    MetreChoice weighed = chooseMetre(e, {}, model);
    EXPECT_EQ(weighed.beatUnits, U / 2);
    EXPECT_EQ(weighed.phase, 0);
    EXPECT_NEAR(choiceTempo(weighed, 88), 176, 1e-9);
}
