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
        {{23.0408, 22.7922, 32.6723, -5.18023, 20.5408, 19.0019, 7.95066, 1.0, -15.6959, 73.0, 2.0, -18.3355,
          -7.95066, -12.1918, -12.9236, -19.5431, -22.527, -18.6981, -12.178, -21.7573, -14.7846, -21.1189,
          4.60621, -0.56754, 9.49447, 0.104781, 3.80857, 19.5179, 1.2672, 4.52138, 10.2563, 2.02456, 7.90565,
          2.60446},
         0.9902625964814742},
        {{7.80835, 9.00619, 0.584297, -39.6715, 7.73162, 0.864007, 0.0, 0.0, -32.5734, 31.0, 4.0, -7.39815,
          -7.39815, -7.39815, -2.07054, -1.82204, 6.5059, 6.34073, 5.70756, 16.9252, 12.176, 1.58943, 0.0, 0.0,
          0.0, 4.13081, 2.79438, 5.51693, 7.88385, 8.08208, 9.407, 18.116, 12.6365, 4.12304},
         4.283349895382652e-06},
        {{10.9834, 8.75987, 23.5918, -18.5545, -1.75718, 10.1708, -5.80267, 1.0, -25.845, 71.0, 1.0, -9.33846,
          5.80267, -6.03535, -0.888846, -12.301, -12.5393, -11.2182, -6.88745, -12.448, -8.85048, -11.2753,
          1.54568, 14.8521, 3.5112, 9.92397, 0.662919, 11.9726, -1.84725, 1.1631, 5.56382, -4.80418, 4.11885,
          1.48628},
         0.548519585659291},
        {{7.19606, 6.86678, 6.17287, -35.9337, 8.20601, 3.69036, 0.0, 0.0, -30.741, 36.0, 6.0, -9.49001, -9.49001,
          -6.93941, -4.92156, -7.3433, -5.11156, -3.99223, 11.1275, -3.19323, 3.08936, 12.5338, 0.0, 0.0, 2.04994,
          1.65754, -0.873421, 6.84511, 1.80517, 0.306909, 14.1292, 1.30233, 6.36835, 9.96873},
         0.6701494920907879},
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
        {{23.3359, 20.4678, 23.3359, -15.0595, 34.8158, 21.1439, 0.0, 0.0, 0.0, 22.4759, -13.7464, 74.0, 1.0, 1.0,
          0.0, -17.1619, -15.988, -12.4259, -19.6243, -20.8248, -21.9, -19.4062, -11.6241, -19.8824, -13.4183,
          -19.2166, 6.72255, 7.00382, 10.5454, 5.08598, 3.65684, 22.1677, 1.06666, 5.02814, 12.6166, 0.770941,
          9.8459, 5.8456},
         0.9996477053060943},
        {{2.65805, 4.91992, 0.0, -35.0443, 1.55333, -6.1847, -6.93983, 1.0, 0.0, -3.7715, -35.5089, 88.0, 4.0,
          0.0, 0.0, 3.26922, 8.64578, 6.93983, 2.52, -1.19146, -3.08391, -2.15866, -3.13149, -4.16136, -4.33255,
          -4.5806, -2.18289, 4.27126, -2.07788, 1.45801, -0.62289, -1.86812, -1.89385, -0.946269, -0.875649,
          -0.336418, -0.397771, 0.0},
         0.0003853967207571809},
        {{14.2439, 13.6969, 14.2439, -25.9851, 30.9768, -0.646191, -2.63883, 1.0, 1.0, 3.83425, -25.0143, 59.0,
          2.0, 1.0, 0.0, -7.83623, 2.63883, -2.06607, 3.44836, -10.2841, -9.42303, -10.764, -11.5537, -12.8244,
          -11.6937, -12.1488, 4.14819, 16.0188, 9.70401, 16.6593, 1.48472, 12.259, -9.60614, 2.1634, 2.95012,
          -6.08791, 2.55547, 2.45102},
         0.5028881981354022},
        {{3.90421, 3.09855, 3.90421, -25.1448, 11.5774, 1.21622, 0.0, 0.0, 0.0, 1.60768, -24.2013, 66.0, 4.0, 0.0,
          0.0, -10.5738, -1.21952, -6.03817, 6.87997, -12.9227, -12.7178, -13.4856, -5.23241, -14.5555, -14.09,
          -12.364, -1.16374, 7.69075, -2.46079, 13.4083, -0.059977, 4.92441, 1.02259, -0.065595, 0.446941,
          0.625062, 0.709794, -3.22624},
         0.44419329563153936},
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
                           x[14], x[15], {}};
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
