// Template pursuit: a row explained greedily by integer multiples of note templates.
#include <initializer_list>
#include <utility>

#include "tests/analysis/analysis_rig.h"

using namespace analysis_rig;

namespace {


class PursuitTest : public AnalysisTest {
protected:
    // Keys 24..96, every chord weight 1, OutputThreshold 1, PitchMode 16.
    void SetUp() override {
        configureFilterPath(24, 96);
        allocateBuffers();
        for (int32_t &w : analysis.ChordWeights) w = 1;
        settings.OutputThreshold = 1;
        settings.PitchMode = 16;
    }
    static void setTemplate(int note, std::initializer_list<int> keys, int value = 127) {
        for (int k : keys) FilterTable[note * FilterSize + k] = value;
    }
    static void setRow(std::initializer_list<int> keys, int level) {
        for (int k : keys) row()[k] = level;
    }
};

TEST_F(PursuitTest, ZeroRowExtractsNothing) {
    for (int t = 24; t <= 96; ++t) setTemplate(t, {t, t + 12 <= 96 ? t + 12 : t}, 127);
    for (int k = 24; k <= 96; ++k) analysis.KeyStrengths[k] = 99;
    pursueTemplates(row(), analysis.KeyStrengths);
    expectOnly({});
}

// A template of 127s against a row of 3s on the same keys: multiple 3, residual 0.
TEST_F(PursuitTest, MultipleOfATemplate) {
    setTemplate(50, {50, 62, 69});
    setTemplate(40, {40, 52, 59});
    setTemplate(38, {50}, 60);  // overlaps one key, not proportional
    setRow({50, 62, 69}, 3);
    pursueTemplates(row(), analysis.KeyStrengths);
    expectOnly({{50, 3}});
    for (int k : {50, 62, 69}) EXPECT_NEAR(analysis.WorkingLevels[k], 0.0, 1e-9) << "key " << k;
    // The row itself is not changed.
    EXPECT_EQ(row()[62], 3);
    // The strength must reach OutputThreshold after division by the chord weight.
    settings.OutputThreshold = 2;
    analysis.ChordWeights[50 % 12] = 2;
    pursueTemplates(row(), analysis.KeyStrengths);
    expectOnly({});
}

// Note 30 covers keys 40, 41, 42 and overshoots key 42 (row 4, 4, 0); note 31
// covers key 42 alone. The extractions run: 30 x 3, 31 x -3, 30 x 1, 31 x -1.
TEST_F(PursuitTest, PitchModeCountsPositiveExtractionsOnly) {
    setTemplate(30, {40, 41, 42});
    setTemplate(31, {42});
    setRow({40, 41}, 4);
    settings.PitchMode = 1;
    pursueTemplates(row(), analysis.KeyStrengths);
    expectOnly({{30, 3}});
    settings.PitchMode = 2;  // the negative extraction does not count
    pursueTemplates(row(), analysis.KeyStrengths);
    expectOnly({{30, 4}});  // 31 holds -3, below the threshold
    settings.PitchMode = 16;
    pursueTemplates(row(), analysis.KeyStrengths);
    expectOnly({{30, 4}});  // 31 holds -4
    for (int k : {40, 41, 42}) EXPECT_NEAR(analysis.WorkingLevels[k], 0.0, 1e-9) << "key " << k;
    // PitchMode 0: the first iteration runs all the same.
    settings.PitchMode = 0;
    pursueTemplates(row(), analysis.KeyStrengths);
    expectOnly({{30, 3}});
}

TEST_F(PursuitTest, EqualFitGoesToTheLowerNote) {
    setTemplate(45, {60, 64, 67});
    setTemplate(47, {60, 64, 67});
    setRow({60, 64, 67}, 5);
    pursueTemplates(row(), analysis.KeyStrengths);
    expectOnly({{45, 5}});
}

TEST_F(PursuitTest, NotesOutsideAllowedKeysAreNeverExtracted) {
    setTemplate(45, {60, 64, 67});
    setTemplate(47, {60, 64, 67});
    setRow({60, 64, 67}, 5);
    derived.allowedKeys[45] = 0;
    pursueTemplates(row(), analysis.KeyStrengths);
    expectOnly({{47, 5}});
    derived.allowedKeys[47] = 0;
    pursueTemplates(row(), analysis.KeyStrengths);
    expectOnly({});
}

// Two notes on separate keys; each iteration takes the larger reduction first.
TEST_F(PursuitTest, SeveralNotes) {
    setTemplate(36, {36, 48, 55});
    setTemplate(64, {64, 76}, 100);
    setTemplate(64, {83}, 50);
    setRow({36, 48, 55}, 2);
    row()[64] = row()[76] = 7;
    row()[83] = 4;
    settings.PitchMode = 1;
    pursueTemplates(row(), analysis.KeyStrengths);
    expectOnly({{64, 9}});
    settings.PitchMode = 2;
    pursueTemplates(row(), analysis.KeyStrengths);
    expectOnly({{36, 2}, {64, 9}});
}

}  // namespace
