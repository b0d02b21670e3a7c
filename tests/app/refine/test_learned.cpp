// The learned acceptance of the proposal rule's candidates, and the list of candidates the
// developer's dump writes.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "app/starter/refine/learned.h"
#include "app/starter/refine/rules.h"
#include "tests/app/refine/tone_evidence.h"

namespace {

// The thresholds of the learned acceptance over the attacks at least 5.5 dB strong.
RefineThresholds learned() {
    RefineThresholds th;
    th.addModel = 1;
    th.addStrength = 5.5;
    return th;
}

}  // namespace

TEST(LearnedAcceptance, AClearNoteIsTakenAndAFlatNoiseIsNot) {
    // A key struck on its own: its fundamental rises and stays, it stands above its neighbours.
    AddFeatures note;
    note.strength = 12, note.shortRise = 8, note.rise = 8, note.level = -14, note.below = 8, note.peak = 6;
    note.attackLevel = -16, note.pitch = 64, note.sounding = 3;
    EXPECT_GE(addProbability(note), RefineThresholds{}.addCut);
    // A drum or a strum under the same notes: as strong, but every key rises with it and its
    // fundamental barely, and little of it stays.
    AddFeatures drum = note;
    drum.rise = 0.5, drum.level = -32, drum.below = 0.5, drum.peak = -0.5, drum.attackLevel = -28;
    EXPECT_LT(addProbability(drum), RefineThresholds{}.addCut);
    // Any input, however far out, gives a chance.
    AddFeatures wild = note;
    wild.strength = 1e300, wild.level = -1e300, wild.pitch = std::numeric_limits<double>::infinity();
    double p = addProbability(wild);
    EXPECT_TRUE(p >= 0 && p <= 1) << p;
}

TEST(LearnedAcceptance, MissedNotesAreAddedAndALowNotesPartialsAreNot) {
    // E5 and G5 of a second voice over C3 and the C4 an octave above it; the engine wrote C3 alone
    // (as the conjunction's test): the model adds the three struck notes and none of C3's partials.
    AttackEvidence e = evidenceOf({{48, 1.0, 4.0}, {76, 1.5, 1.0}, {79, 2.5, 1.0}, {60, 3.5, 1.0}}, 5);
    RefineCounts counts;
    std::vector<TimedNote> out = applyRules({note(48, 1.0, 5.0)}, e, grid(), learned(), counts);
    ASSERT_EQ(out.size(), 4u);
    int keys[] = {48, 76, 79, 60};
    for (size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(out[i].key, keys[i]);
}

TEST(LearnedAcceptance, TheListedCandidatesAreThoseTheRuleJudged) {
    AttackEvidence e = evidenceOf({{48, 1.0, 4.0}, {76, 1.5, 1.0}, {79, 2.5, 1.0}, {60, 3.5, 1.0}}, 5);
    for (const RefineThresholds &th : {RefineThresholds{}, learned()}) {
        RefineCounts plain, listing;
        CandidateList list;
        list.gate = 3;
        std::vector<TimedNote> without = applyRules({note(48, 1.0, 5.0)}, e, grid(), th, plain);
        std::vector<TimedNote> with = applyRules({note(48, 1.0, 5.0)}, e, grid(), th, listing, list);
        ASSERT_EQ(with.size(), without.size()) << "listing changes no note";
        for (size_t i = 0; i < with.size(); ++i)
            EXPECT_TRUE(with[i].key == without[i].key && with[i].on == without[i].on && with[i].off == without[i].off);
        int taken = 0;
        for (const AddCandidate &c : list.found) {
            EXPECT_GE(c.features.strength, list.gate);
            EXPECT_DOUBLE_EQ(c.probability, addProbability(c.features));
            taken += c.taken;
        }
        EXPECT_EQ(taken, plain.added);
        EXPECT_GT(list.found.size(), static_cast<size_t>(plain.added)) << "weaker attacks are listed too";
    }
}

namespace {

// The thresholds of the learned judgement of the engine's notes (2: after the hand-set drops), with the
// boosted trees or the logistic model, at the cut given (or the default's).
RefineThresholds judging(double model, double trees = 1, double cut = RefineThresholds{}.dropCut) {
    RefineThresholds th;
    th.dropModel = model;
    th.dropTrees = trees;
    th.dropCut = cut;
    return th;
}

// The chance the drop model of th gives.
double dropChanceOf(const RefineThresholds &th, const DropFeatures &f) {
    return th.dropTrees != 0 ? dropTreesProbability(f) : dropProbability(f);
}

// Drop features in the order of DropFeatureNames.
DropFeatures dropFeaturesOf(const std::array<double, DropFeatureCount> &x) {
    DropFeatures f;
    f.strength = x[0], f.shortRise = x[1], f.nearStrength = x[2], f.level = x[3], f.rise = x[4], f.below = x[5];
    f.over = x[6], f.lowerSounds = x[7], f.struck = x[8], f.peak = x[9], f.attackLevel = x[10], f.pitch = x[11];
    f.sounding = x[12], f.confirmed = x[13], f.moved = x[14];
    return f;
}

}  // namespace

TEST(LearnedDrop, AStruckNoteIsKeptAndAnUnheardOneIsNot) {
    // A note the engine wrote on its key's attack: it rises, stands above its neighbours, holds.
    DropFeatures struck;
    struck.strength = 14, struck.shortRise = 9, struck.nearStrength = 14, struck.level = -14, struck.rise = 10;
    struck.below = 9, struck.peak = 8, struck.attackLevel = -14, struck.pitch = 64, struck.sounding = 3;
    struck.confirmed = 1;
    // One written with a lower octave struck with it, where nothing of its own rose.
    DropFeatures partial = struck;
    partial.strength = 2, partial.shortRise = 1, partial.nearStrength = 0, partial.level = -30, partial.rise = 0;
    partial.below = 0, partial.peak = -2, partial.attackLevel = -32, partial.lowerSounds = 1, partial.struck = 1;
    partial.over = -12, partial.confirmed = 0;
    DropFeatures wild = struck;
    wild.level = -1e300, wild.pitch = std::numeric_limits<double>::infinity();
    for (const RefineThresholds &th : {RefineThresholds{}, judging(2, 0, 0.2)}) {
        EXPECT_GE(dropChanceOf(th, struck), th.dropCut) << th.dropTrees;
        EXPECT_LT(dropChanceOf(th, partial), th.dropCut) << th.dropTrees;
        double p = dropChanceOf(th, wild);
        EXPECT_TRUE(p >= 0 && p <= 1) << p;
    }
}

TEST(LearnedDrop, TheTreesGiveTheChancesTheirFitGave) {
    // Notes of the development renderings as the drop rules measured them, and the chance
    // scikit-learn's trees gave each when they were fitted (tools/eval/learn_trees.py).
    const struct {
        std::array<double, DropFeatureCount> x;
        double chance;
    } notes[] = {
        {{15.1738, 10.6732, 15.1738, -19.4227, 30.0686, 19.3562, 0.0, 0.0, 0.0, 12.2941, -18.6563, 57.0, 2.0, 1.0, 0.0},
         0.9971527124020525},
        {{4.42363, 6.11411, 4.42363, -20.2615, 4.52982, -1.38949, -1.27301, 1.0, 0.0, 9.11864, -19.3396, 52.0, 5.0, 0.0, 1.0},
         0.47426927528940854},
        {{4.72101, 5.39949, 4.72101, -22.6895, 4.11879, 4.12779, 3.42471, 1.0, 0.0, 11.408, -22.0485, 71.0, 4.0, 0.0, 1.0},
         0.8866970860397823},
        {{10.4973, 8.54455, 10.4973, -23.1424, 23.5834, 3.58545, 0.0, 0.0, 0.0, 11.675, -22.0845, 62.0, 2.0, 1.0, 0.0},
         0.8540616093512277},
    };
    for (const auto &n : notes)
        EXPECT_NEAR(dropTreesProbability(dropFeaturesOf(n.x)), n.chance, 1e-12) << n.x[0];
}

TEST(LearnedDrop, TheListedNotesAreThoseTheRulesJudgedAndTheModelDropsTheUnheard) {
    // G4 sounds from 1 s; the engine also wrote B4 where nothing sounds and C3 below the measured keys.
    AttackEvidence e = evidenceOf({{67, 1.0, 1.0}}, 3);
    std::vector<TimedNote> written = {note(67, 1.0, 2.0), note(71, 2.5, 2.75)};
    for (const RefineThresholds &th : {RefineThresholds{}, judging(2), judging(1, 0, 0.2), judging(2, 0, 0.2)}) {
        RefineCounts plain, listing;
        CandidateList list;
        std::vector<TimedNote> without = applyRules(written, e, grid(), th, plain);
        std::vector<TimedNote> with = applyRules(written, e, grid(), th, listing, list);
        ASSERT_EQ(with.size(), without.size()) << "listing changes no note";
        ASSERT_EQ(list.judged.size(), written.size());
        int dropped = 0;
        for (const DropCandidate &c : list.judged)
            dropped += !c.kept;
        EXPECT_EQ(dropped, plain.dropped);
        ASSERT_EQ(with.size(), 1u) << th.dropModel;
        EXPECT_EQ(with[0].key, 67);
        EXPECT_TRUE(list.judged[0].features.confirmed == 1 && list.judged[1].features.confirmed == 0);
        EXPECT_GE(dropChanceOf(th, list.judged[0].features), th.dropCut);
        EXPECT_LT(dropChanceOf(th, list.judged[1].features), th.dropCut);
    }
}

TEST(LearnedRestrike, TheTreesGiveTheChancesTheirFitGave) {
    // Attacks inside notes of the development renderings as the re-strike rule measured them, and the
    // chance scikit-learn's trees gave each when they were fitted (tools/eval/learn_trees.py).
    const struct {
        std::array<double, RestrikeFeatureCount> x;
        double chance;
    } attacks[] = {
        {{14.2937, 13.1588, 0.0, 23.0075, 1.0, -5.73277, 14.9468, 9.2714, -7.27104, 0.650174, 4.0001, -7.85369,
          16.1777, -19.5787, 71.0, 7.0},
         0.9903996124314469},
        {{1.54361, 0.252103, 13.5132, 13.5132, 0.0, -36.232, 1.3248, 14.3922, 1.52525, 0.830833, 5.30089, 5.45462,
          4.70994, -30.864, 59.0, 4.0},
         9.230652822451694e-05},
        {{3.70697, 4.20062, 0.0, 1.77048, 1.0, -13.3743, 0.412183, 0.869825, 1.60974, 0.210878, 1.65123, -11.503,
          2.97137, -18.8802, 50.0, 3.0},
         0.5378046472387338},
        {{2.36508, 2.76574, 0.0, 1.15382, 1.0, -25.4897, 0.702297, 8.19406, 1.25456, 0.621403, 4.04187, -7.3316,
          6.44027, -28.1584, 67.0, 5.0},
         0.43047799725676356},
    };
    for (const auto &a : attacks) {
        const std::array<double, RestrikeFeatureCount> &x = a.x;
        RestrikeFeatures f{x[0], x[1], x[2], x[3], x[4], x[5], x[6], x[7], x[8], x[9], x[10], x[11], x[12], x[13],
                           x[14], x[15]};
        ASSERT_EQ(restrikeFeatureValues(f), x);
        EXPECT_NEAR(restrikeTreesProbability(f), a.chance, 1e-12) << x[0];
    }
}

TEST(LearnedRestrike, TheListedAttacksLieInsideTheNoteAndTheBowChangedIsTaken) {
    // G4 bowed from 0.5 s, the bow changed softly at 1.6 s (too soft for a split); the engine wrote one note.
    AttackEvidence e;
    ASSERT_TRUE(measureSamples(bowedTone(67, 0.5, 1.6, 3.0, 3.5), geometryFor(44100, 440), e, nullptr));
    std::vector<TimedNote> written = {note(67, 0.5, 3.0)};
    RefineThresholds rule;
    rule.restrikeModel = 0;
    for (const RefineThresholds &th : {RefineThresholds{}, rule}) {
        RefineCounts plain, listing;
        CandidateList list;
        std::vector<TimedNote> without = applyRules(written, e, grid(), th, plain);
        std::vector<TimedNote> with = applyRules(written, e, grid(), th, listing, list);
        ASSERT_EQ(with.size(), without.size()) << "listing changes no note";
        ASSERT_EQ(with.size(), 2u) << th.restrikeModel;
        ASSERT_FALSE(list.restruck.empty());
        int taken = 0;
        for (const RestrikeCandidate &c : list.restruck) {
            EXPECT_TRUE(c.time > 0.5 && c.time < 3.0) << c.time;
            EXPECT_GE(c.features.strength, th.restrikeGate);
            taken += c.taken;
        }
        EXPECT_EQ(taken, 1);
        EXPECT_NEAR(with[1].on, 1.6, 0.05);
    }
}
