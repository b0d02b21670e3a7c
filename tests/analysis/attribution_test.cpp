// Harmonic attribution: fundamentals claim their harmonics, continuing notes
// first, and a chord-weighted threshold decides the strengths.
#include <initializer_list>
#include <utility>

#include "tests/analysis/analysis_rig.h"

using namespace analysis_rig;

namespace {


class AttributionTest : public AnalysisTest {
protected:
    // Keys 24..96, every chord weight 1, OutputThreshold 6, carry reset.
    void SetUp() override {
        configureResonatorPath(24, 96);
        allocateBuffers();
        buildHarmonicOffsets();
        for (int32_t &w : analysis.ChordWeights) w = 1;
        resetAttribution();
    }
    // Decides one row holding the given levels.
    void decide(std::initializer_list<std::pair<int, int>> levels) {
        for (auto [k, level] : levels) row()[k] = level;
        attributeHarmonics(row(), analysis.KeyStrengths);
        for (int k = 24; k <= 96; ++k) ASSERT_EQ(row()[k], 0) << "row entry of key " << k << " left over";
    }
};

TEST_F(AttributionTest, SingleKeyCarriesToTheNextRow) {
    decide({{50, 12}});
    expectOnly({{50, 12}});
    EXPECT_EQ(analysis.CarryLevels[50], 12);
    // Next row: pass 0 takes the continuing 12.
    decide({{50, 12}});
    expectOnly({{50, 12}});
    EXPECT_EQ(analysis.CarryLevels[50], 12);
    // Gone: strength and carry drop to 0.
    decide({});
    expectOnly({});
    EXPECT_EQ(analysis.CarryLevels[50], 0);
}

// First row after start, keys 48 and 60 only.
TEST_F(AttributionTest, OctaveAboveIsClaimedByTheLowerKey) {
    decide({{48, 20}, {60, 8}});
    expectOnly({{48, 28}});
    EXPECT_EQ(analysis.CarryLevels[48], 20);
    EXPECT_EQ(analysis.CarryLevels[60], 0);
}

TEST_F(AttributionTest, RemainderExplainedByTheLowerKeyIsDropped) {
    decide({{48, 20}, {60, 30}});
    expectOnly({{48, 40}});
    EXPECT_EQ(analysis.AttributionMatrix[48 * KeyLimit + 60], 20);
    EXPECT_EQ(analysis.CarryLevels[60], 0);
}

// Explained already when the lower key's strength equals its claim plus the remainder.
TEST_F(AttributionTest, RemainderEqualToTheLowerKeysSurplusIsExplained) {
    decide({{48, 20}, {60, 40}});
    expectOnly({{48, 40}});
}

TEST_F(AttributionTest, UnexplainedRemainderIsAFundamental) {
    decide({{48, 20}, {60, 50}});
    expectOnly({{48, 40}, {60, 30}});
    EXPECT_EQ(analysis.CarryLevels[48], 20);
    EXPECT_EQ(analysis.CarryLevels[60], 30);
}

// The amount claimed from the next harmonic is the larger of the last claim
// and the fitted line's prediction: after 10, 10, 10, 10, 10, 0 the line
// predicts 3 for harmonic 7 (key 58), and 3 again for harmonic 8 (key 60).
TEST_F(AttributionTest, LineFitPredictsTheNextHarmonic) {
    decide({{24, 10}, {36, 10}, {43, 10}, {48, 10}, {52, 10}, {58, 5}, {60, 5}});
    expectOnly({{24, 56}});
    EXPECT_EQ(analysis.AttributionMatrix[24 * KeyLimit + 58], 3);
    EXPECT_EQ(analysis.AttributionMatrix[24 * KeyLimit + 60], 3);
    EXPECT_EQ(analysis.AttributionMatrix[24 * KeyLimit + 62], 0);
    EXPECT_EQ(analysis.CarryLevels[24], 10);
}

// The prediction is rounded half up: after 9, 9, 9, 9, 0 the line predicts
// 1.8 for harmonic 6 (key 55), so 2 is claimed there.
TEST_F(AttributionTest, PredictionIsRounded) {
    decide({{24, 9}, {36, 9}, {43, 9}, {48, 9}, {55, 4}});
    expectOnly({{24, 38}});
    EXPECT_EQ(analysis.AttributionMatrix[24 * KeyLimit + 55], 2);
}

// A continuing note keeps its part in pass 0; its increase must pass the
// threshold on its own in pass 1.
TEST_F(AttributionTest, IncreaseOfAContinuingNote) {
    decide({{60, 10}});
    decide({{60, 15}});
    expectOnly({{60, 10}});  // the increase of 5 is below OutputThreshold 6
    EXPECT_EQ(analysis.CarryLevels[60], 15);
    decide({{60, 22}});
    expectOnly({{60, 22}});  // 15 continuing, then 7
    EXPECT_EQ(analysis.CarryLevels[60], 22);
    // Falling: pass 0 takes only what is there.
    decide({{60, 8}});
    expectOnly({{60, 8}});
    EXPECT_EQ(analysis.CarryLevels[60], 8);
}

// A tritone from the chord root has weight 32: it needs 32 x OutputThreshold.
TEST_F(AttributionTest, ChordWeightRaisesTheThreshold) {
    analysis.ChordWeights[6] = 32;
    decide({{66, 191}});
    expectOnly({});
    EXPECT_EQ(analysis.CarryLevels[66], 191);
    resetAttribution();
    decide({{66, 192}});
    expectOnly({{66, 192}});
}

// A key outside allowedKeys gets no strength but still claims its harmonics
// and carries its level.
TEST_F(AttributionTest, DisallowedKeyStillClaimsHarmonics) {
    derived.allowedKeys[48] = 0;
    decide({{48, 20}, {60, 8}});
    expectOnly({});
    EXPECT_EQ(analysis.CarryLevels[48], 20);
    EXPECT_EQ(analysis.AttributionMatrix[48 * KeyLimit + 60], 8);
}

}  // namespace
