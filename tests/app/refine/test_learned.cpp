// The learned acceptance of the proposal rule's candidates, and the list of candidates the
// developer's dump writes.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "app/starter/refine/learned.h"
#include "app/starter/refine/rules.h"
#include "tests/app/refine/tone_evidence.h"

namespace {

// The thresholds of the learned acceptance over the attacks at least 5.5 dB strong (1: the logistic
// model, 2: the trees).
RefineThresholds learned(double model = 1) {
    RefineThresholds th;
    th.addModel = model;
    th.addStrength = 5.5;
    return th;
}

// The chance the acceptance of th gives.
double addChanceOf(const RefineThresholds &th, const AddFeatures &f) {
    return th.addModel == 2 ? addTreesProbability(f) : addProbability(f);
}

// A partial profile from the trees' inputs from `first` on (the order of ProfileInputNames).
template <std::size_t N>
PartialProfile profileOf(const std::array<double, N> &x, std::size_t first) {
    PartialProfile p;
    for (std::size_t k = 0; k < ProfileKeys.size(); ++k)
        if (k != ProfileOwnKey)
            p.around[k] = x[first++];
    for (double &c : p.change)
        c = x[first++];
    return p;
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
    for (const RefineThresholds &th : {RefineThresholds{}, learned(), learned(2)}) {
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
            EXPECT_DOUBLE_EQ(c.probability, addChanceOf(th, c.features));
            taken += c.taken;
        }
        EXPECT_EQ(taken, plain.added);
        EXPECT_GT(list.found.size(), static_cast<size_t>(plain.added)) << "weaker attacks are listed too";
    }
}

TEST(LearnedAcceptance, TheProfilesInputsAreNamedAfterTheirKeys) {
    // The fit reads the listing's columns by these names, which it makes from the same keys
    // (tools/eval/learn_add.py): a key moved or added here must move its name too.
    std::vector<std::string> names;
    for (int d : ProfileKeys)
        if (d != 0)
            names.push_back("around" + std::string(d > 0 ? "+" : "") + std::to_string(d));
    for (int d : ProfileKeys)
        names.push_back("change" + std::string(d >= 0 ? "+" : "") + std::to_string(d));
    ASSERT_EQ(names.size(), ProfileInputNames.size());
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(names[i], ProfileInputNames[i]);
    EXPECT_EQ(std::string(AddTreeInputNames[AddFeatureCount]), ProfileInputNames[0]);
    EXPECT_EQ(std::string(DropTreeInputNames[DropFeatureCount]), ProfileInputNames[0]);
    EXPECT_EQ(std::string(RestrikeTreeInputNames[RestrikeFeatureCount]), ProfileInputNames[0]);
}

TEST(LearnedAcceptance, TheTreesGiveTheChancesTheirFitGave) {
    // Candidates of the development renderings as the proposal rule measured them (its inputs, then the
    // partial profile), and the chance scikit-learn's trees gave each when they were fitted
    // (tools/eval/learn_trees.py).
    const struct {
        std::array<double, AddTreeInputCount> x;
        double chance;
    } candidates[] = {
        {{7.19216, 7.63743, 5.63321, -7.18311, 6.40836, 6.15347, 1.68549, 1.0, -16.7917, 70.0, 5.0, -14.8529,
          -16.2908, -8.62893, -12.6085, -9.25844, -1.68549, -14.7017, -6.74353, -19.3454, -12.5241, -17.5617,
          -6.15347, -19.8497, -6.45467, -10.0039, -11.4055, -16.7358, -15.236, -13.7632, -18.3475, -18.4235,
          -21.9319, 1.76657, 2.91012, 0.3565, 4.30028, 0.737725, -1.6587, 5.13128, -2.57874, 1.92973, 7.3846,
          7.00652, 3.75407, 2.5007, 1.19038, 10.6051, 0.670409, 6.34901, -0.627571, 0.831306, 4.13468, 3.37926,
          3.38806, 0.760246},
         0.9855996223394836},
        {{6.15539, 6.3005, 0.933399, -39.2789, 6.63881, -2.06976, 0.0, 0.0, -33.9025, 27.0, 1.0, -5.97744, -5.97744,
          -5.97744, -5.97744, -5.97744, -5.97744, -5.97744, 3.41792, 0.601492, 0.64197, -0.418064, 2.06976, 4.37484,
          5.8202, 15.273, 1.99107, 7.26462, 1.3953, 16.0739, 4.50274, 0.93659, 19.1798, 0.0, 0.0, 0.0, 0.0, 0.0,
          0.0, 0.0, 9.12001, 6.34727, 6.37229, 5.7566, 5.35211, 7.78882, 10.0175, 9.80617, 18.7919, 7.75299,
          12.9809, 2.37489, 19.8744, 10.0937, 2.99165, 23.7569},
         9.744247946240215e-06},
        {{11.3236, 6.09981, 27.2299, -12.8588, 16.2117, 12.6292, -1.15448, 1.0, -15.7242, 65.0, 3.0, -16.5554,
          -17.8626, -9.68687, -14.0027, -9.52787, 1.15448, -12.2121, -5.77046, -22.6614, -12.6292, -16.8069,
          -14.215, -22.4206, -9.36409, -5.84634, -5.42184, -12.2615, -11.2382, -10.6421, -11.5733, -17.6178,
          -18.406, 3.84148, -0.66892, 5.82122, 5.76937, -8.44109, 13.2027, 8.52212, 0.210341, -0.488355, -7.44904,
          17.8706, 5.16954, -12.8542, -0.395518, 10.7379, 4.07902, 13.5275, -5.66203, 9.15215, 5.77651, 8.71672,
          4.03155, 1.73442},
         0.5518573660452977},
        {{13.5518, 10.7357, 29.5761, -12.118, -3.67008, 11.1284, -5.84509, 1.0, -23.1573, 70.0, 1.0, 0.311539,
          -4.99688, -2.89822, -6.099, -11.7696, 5.84509, -10.3645, -13.2061, -14.6388, -11.1284, -12.309, -12.0587,
          -14.4963, -0.032502, -11.2899, -10.8306, -15.1739, -9.30875, -14.0499, -14.7407, -11.0391, -15.9485,
          13.9956, 8.45423, 10.4696, 8.42683, 1.44328, 19.3858, 5.22209, 2.20339, 1.32577, -2.08403, 14.9202,
          3.23839, 3.16995, 1.74884, 7.48889, 4.45491, 5.32996, 1.1586, 5.81459, 2.16205, 1.58984, 5.28754,
          0.427708},
         0.7263952019825727},
    };
    for (const auto &c : candidates) {
        const std::array<double, AddTreeInputCount> &x = c.x;
        AddFeatures f{x[0], x[1], x[2], x[3], x[4], x[5], x[6], x[7], x[8], x[9], x[10], profileOf(x, AddFeatureCount)};
        ASSERT_EQ(addTreeInputs(f), x);
        EXPECT_NEAR(addTreesProbability(f), c.chance, 1e-12) << x[0];
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

// Drop features in the order of DropTreeInputNames.
DropFeatures dropFeaturesOf(const std::array<double, DropTreeInputCount> &x) {
    DropFeatures f;
    f.strength = x[0], f.shortRise = x[1], f.nearStrength = x[2], f.level = x[3], f.rise = x[4], f.below = x[5];
    f.over = x[6], f.lowerSounds = x[7], f.struck = x[8], f.peak = x[9], f.attackLevel = x[10], f.pitch = x[11];
    f.sounding = x[12], f.confirmed = x[13], f.moved = x[14];
    f.profile = profileOf(x, DropFeatureCount);
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
    // Their partial profiles, as measured of two such notes of the development renderings: the struck
    // key rose 22 dB and stands 12-22 dB above the keys around it; the partial's key barely changed
    // and the key 12 below it stands 7 dB above it.
    struck.profile = {{-17.16, -15.99, -12.43, -19.62, -20.82, 0, -21.9, -19.41, -11.62, -19.88, -13.42, -19.22},
                      {6.72, 7.0, 10.55, 5.09, 3.66, 22.17, 1.07, 5.03, 12.62, 0.77, 9.85, 5.85}};
    partial.profile = {{3.27, 8.65, 6.94, 2.52, -1.19, 0, -3.08, -2.16, -3.13, -4.16, -4.33, -4.58},
                       {-2.18, 4.27, -2.08, 1.46, -0.62, -1.87, -1.89, -0.95, -0.88, -0.34, -0.4, 0.0}};
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
        std::array<double, DropTreeInputCount> x;
        double chance;
    } notes[] = {
        {{18.3936, 13.1531, 18.3936, -15.5398, 36.4644, 24.385, 0.0, 0.0, 0.0, 13.5799, -14.4072, 71.0, 1.0, 1.0,
          0.0, -21.449, -20.4555, -20.7227, -17.5671, -23.5458, -13.3058, -20.4936, -21.64, -23.6668, -21.1536,
          -13.5799, -24.1643, -23.6089, -23.5698, -19.8355, -12.0751, -24.9959, -22.5316, -15.5425, -21.2767,
          -20.0549, -23.4365, 3.26995, 4.13233, 3.77582, 6.68239, 1.30654, 10.4469, 4.11684, 2.96134, -4.2133,
          2.94574, 22.3546, -7.39223, 0.710459, 1.34212, 1.39614, 4.70974, 12.0359, 0.105052, 2.40628, 8.57483,
          3.66254, 4.79788, 1.63588},
         0.9986813201948689},
        {{1.83123, 0.968493, 1.30289, -28.095, 11.4574, -6.49175, -7.65729, 1.0, 1.0, 1.55815, -27.6067, 86.0, 7.0,
          0.0, 0.0, 15.806, -5.85018, 8.30545, 9.64104, -6.15972, 7.65729, 0.380196, -6.77747, -10.5765, -1.55815,
          -8.97957, -12.0063, -7.37227, -2.32744, -6.25806, -10.0279, -12.0893, -7.85218, -11.3509, -12.1972,
          -12.1972, -12.1972, 9.53861, 1.6447, 4.6034, 8.63346, 2.67439, 4.96203, 4.16025, 0.870486, -0.785864,
          7.23712, 2.82601, -4.44054, 0.098173, 1.79167, 3.66205, 2.41202, -2.22401, 0.029668, 3.63877, 0.776949,
          0.0, 0.0, 0.0},
         0.0005886946170516131},
        {{4.69403, 2.98914, 4.69403, -23.0553, 9.10238, 5.68042, -3.25561, 1.0, 0.0, 12.0039, -24.0928, 71.0, 4.0,
          0.0, 1.0, -11.5625, -10.4327, 3.25561, -11.5923, -8.77419, 1.61791, -13.6747, 0.609387, -12.0039,
          -14.3587, -14.8718, -12.6157, -8.26004, -8.85838, -4.66805, -8.50369, -9.60459, -11.6786, -10.0998,
          -11.5222, -13.0043, -14.159, 0.535893, 0.479219, 0.042588, 1.11345, -2.66241, 0.182535, 0.917748,
          -6.39983, 0.035299, 0.354181, 2.8304, -0.066518, -3.20169, -2.58078, 2.2192, -6.37131, 3.21653, -6.63156,
          1.1234, -4.62629, 2.45598, 2.23796, -0.140629},
         0.6597577515698645},
        {{8.80916, 8.93257, 8.80916, -28.3964, 19.8818, -0.466708, -0.348851, 1.0, 1.0, -2.6856, -28.0194, 74.0,
          7.0, 1.0, 0.0, -5.16936, -7.18604, 4.5358, -6.58381, 0.664435, 0.348851, -10.0701, 1.05665, 2.6856,
          -5.33237, -11.1801, -10.0888, -11.4908, -2.30524, -7.25584, -11.001, -9.11063, -9.31268, -9.53416,
          -11.3303, -11.7765, -11.7192, 1.03008, 2.11067, 5.13691, 2.7861, 5.10558, -4.05503, 1.08022, 0.737786,
          7.45678, 4.99168, 7.43003, 0.335511, 1.43224, 0.188208, 7.84759, -4.41636, 0.457574, 2.38895, 2.2136,
          1.00526, 0.420526, 0.005563, 0.010668},
         0.5408758596778923},
    };
    for (const auto &n : notes) {
        ASSERT_EQ(dropTreeInputs(dropFeaturesOf(n.x)), n.x);
        EXPECT_NEAR(dropTreesProbability(dropFeaturesOf(n.x)), n.chance, 1e-12) << n.x[0];
    }
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
    // Attacks inside notes of the development renderings as the re-strike rule measured them (its measures,
    // then the partial profile), and the chance scikit-learn's trees gave each when they were fitted
    // (tools/eval/learn_trees.py).
    const struct {
        std::array<double, RestrikeTreeInputCount> x;
        double chance;
    } attacks[] = {
        {{4.13413, 5.73668, 5.51078, 5.51078, 0.0, -9.00122, 2.31071, 1.59811, 0.363008, 0.341403, 1.86797, 2.69263,
          8.4634, -23.2647, 55.0, 3.0, -13.5402, -12.4735, -7.35305, -9.8042, -9.83598, -4.11772, -11.6073,
          -5.04181, -12.2125, -8.61802, -8.4634, -10.655, -11.684, -0.889059, -0.351136, -9.92122, -14.3616,
          -12.961, -11.1357, -5.72172, -14.7716, -13.5803, 0.196822, 1.08839, 1.04728, 1.65136, 1.56215, 0.413108,
          1.27385, 2.7593, 2.45096, 2.08529, 2.27423, 3.49572, 1.80828, 2.37567, 3.88056, 2.52, -0.527168, 0.507112,
          0.718316, 2.28375, -1.66563, 0.785967, 0.079227},
         0.9745334681889806},
        {{1.40523, 0.329561, 12.4966, 12.4966, 0.0, -29.0852, -0.402643, 13.3608, 2.42846, 0.564347, 2.15964,
          3.73934, -6.69707, -30.1481, 57.0, 2.0, -7.29703, -4.06527, -1.27167, -6.52299, 4.63966, -1.43438,
          -7.28232, 16.6086, -0.300649, -6.16827, -2.64979, 6.69707, 9.11321, -6.48095, 7.68516, -4.58048, 4.56964,
          -8.26307, 0.043103, -5.81073, -8.24664, -6.62195, -1.14377, 0.007067, 1.43057, -0.33703, 2.55516, 0.73703,
          -1.92241, 6.72936, -3.87942, -1.31645, 0.795668, 0.048021, -0.726413, -3.14129, -0.080785, 4.55551,
          -4.97783, 1.53138, -0.855778, 2.54188, -3.7906, -1.54897, -0.636098},
         6.995404675551823e-05},
        {{1.38058, 3.03431, 0.0, 0.0, 0.0, -16.1108, -3.93156, 3.08577, 6.74668, 0.556738, 5.32354, 0.725493,
          5.58341, -22.6153, 48.0, 2.0, -16.601, -16.601, -7.27999, -4.99758, -9.77756, -7.23337, -6.71705,
          -11.6128, -8.46582, -5.58341, -6.78841, -12.9225, -11.8186, -8.85447, -9.8599, -6.95131, -14.1227,
          -14.0129, -7.92191, -8.83039, -13.276, -12.5204, 0.0, 0.0, -2.52073, -4.08271, -3.64947, -1.54983,
          -2.89453, -0.6165, -2.28677, -0.88645, -2.58996, -1.83996, -4.45648, -4.12376, -3.89025, -0.368384,
          -1.91285, -1.57169, -1.52491, -0.043102, -3.45174, -3.69267, -0.34107},
         0.3502623989567176},
        {{2.69047, 5.88093, 0.0, 0.0, 0.0, -27.5438, -1.91332, 5.89349, 0.061694, 0.716043, 3.97701, -0.319815,
          3.99408, -31.4917, 57.0, 2.0, -5.99151, -1.72608, -5.00536, -4.48535, -0.503464, -3.37241, -5.31884,
          -4.29538, -6.57254, -5.37641, -4.70084, -3.99408, 4.1307, -5.39019, -5.31043, -1.8135, -6.7418, -7.05575,
          -6.95439, -4.34366, -6.40449, -6.72028, 0.861778, 1.59709, 1.0815, 0.076677, 2.14114, -0.096608, 0.073671,
          2.15071, 1.35084, 1.08684, -1.8966, 1.37237, 2.8923, 8.65668, 2.25266, 2.03799, -1.67351, 1.17278,
          1.02898, 0.946291, 1.96158, 1.50665, 0.887807},
         0.2709408045495169},
    };
    for (const auto &a : attacks) {
        const std::array<double, RestrikeTreeInputCount> &x = a.x;
        RestrikeFeatures f{x[0],  x[1],  x[2],  x[3],  x[4],  x[5],  x[6],  x[7], x[8], x[9], x[10], x[11], x[12],
                           x[13], x[14], x[15], profileOf(x, RestrikeFeatureCount)};
        ASSERT_EQ(restrikeTreeInputs(f), x);
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
