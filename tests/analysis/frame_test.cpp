// Frame analysis: peak picking across keys, threshold and weighting, cluster
// removal, harmonics measured under Constrain, and the filter-path row.
#include <algorithm>
#include <vector>

#include "tests/analysis/analysis_rig.h"

using namespace analysis_rig;

namespace {

constexpr int32_t Untouched = 7777;

class FrameTest : public AnalysisTest {
protected:
    void resonatorPath(int keyMin = 24, int keyMax = 96) {
        configureResonatorPath(keyMin, keyMax);
        allocateBuffers();
        buildTables();
    }
    // Only the given keys are measured.
    void measureOnly(std::initializer_list<int> keys) {
        for (int k = settings.KeyMin; k <= settings.KeyMax; ++k) derived.allowedKeys[k] = 0;
        for (int k : keys) derived.allowedKeys[k] = 1;
    }
    void fillRow(int32_t value) { std::fill(row(), row() + derived.keyColumns, value); }
    static int32_t weighted(int k, int level) {
        return static_cast<int32_t>(level * static_cast<double>(tables.KeyTable[k].keyWeight) + 0.5);
    }
    void clearFrame() { std::fill(analysis.FrameSamples, analysis.FrameSamples + derived.frameLength + 2, 0); }
    void expectLevels(std::initializer_list<std::pair<int, int>> expected) {
        for (auto [k, level] : expected) ASSERT_EQ(detect(k).level, level) << "key " << k;
    }
};

// Four measured neighbours at 3, 5, 5, 2: the last key of the plateau is the
// only peak. Keys that are not measured are not written, except KeyMin.
TEST_F(FrameTest, PlateauPeakIsItsLastKey) {
    resonatorPath();
    addSine(keyFrequency(45), 3 * derived.levelScale, 0.4);
    addSine(keyFrequency(52), 5 * derived.levelScale, 1.9);
    addSine(keyFrequency(59), 5 * derived.levelScale, 2.7);
    addSine(keyFrequency(66), 2 * derived.levelScale, 0.1);
    measureOnly({45, 52, 59, 66});
    expectLevels({{45, 3}, {52, 5}, {59, 5}, {66, 2}});
    settings.OutputThreshold = 5;
    fillRow(Untouched);
    analyseFrame(0);
    const int32_t *r = row();
    EXPECT_EQ(r[45], 0);
    EXPECT_EQ(r[52], 0);
    EXPECT_EQ(r[59], weighted(59, 5));
    EXPECT_EQ(r[59], 4);  // keyWeight(59) = 0.88
    EXPECT_EQ(r[66], 0);
    EXPECT_EQ(r[24], 0);  // KeyMin is written at the first measured key
    for (int k = 25; k <= 96; ++k) {
        if (k != 45 && k != 52 && k != 59 && k != 66) {
            ASSERT_EQ(r[k], Untouched) << "key " << k;
        }
    }

    // The last measured key is written by the final step: 0 on a falling slope.
    settings.OutputThreshold = 2;
    analyseFrame(0);
    EXPECT_EQ(r[59], 4);
    EXPECT_EQ(r[66], 0);

    // A peak below OutputThreshold is written as 0.
    settings.OutputThreshold = 6;
    fillRow(Untouched);
    analyseFrame(0);
    for (int k : {45, 52, 59, 66}) EXPECT_EQ(r[k], 0) << "key " << k;
}

// Levels rising up to KeyMax: only the last key is a peak, written by the final step.
TEST_F(FrameTest, RisingLevelsPeakAtTheLastKey) {
    resonatorPath(24, 66);
    addSine(keyFrequency(45), 2 * derived.levelScale, 0.4);
    addSine(keyFrequency(52), 3 * derived.levelScale, 1.0);
    addSine(keyFrequency(59), 4 * derived.levelScale, 2.0);
    addSine(keyFrequency(66), 9 * derived.levelScale, 3.0);
    measureOnly({45, 52, 59, 66});
    expectLevels({{45, 2}, {52, 3}, {59, 4}, {66, 9}});
    settings.OutputThreshold = 1;
    analyseFrame(0);
    const int32_t *r = row();
    EXPECT_EQ(r[45], 0);
    EXPECT_EQ(r[52], 0);
    EXPECT_EQ(r[59], 0);
    EXPECT_EQ(r[66], weighted(66, 9));
    EXPECT_EQ(r[66], 10);  // keyWeight(66) = 1.07
}

// The threshold applies to the unweighted level; the first measured key is
// compared with a level of 0 below it.
TEST_F(FrameTest, ThresholdTestsTheUnweightedLevel) {
    resonatorPath();
    addSine(keyFrequency(40), 6 * derived.levelScale, 0.4);
    addSine(keyFrequency(78), 5 * derived.levelScale, 1.3);
    measureOnly({40, 50, 78, 90});
    expectLevels({{40, 6}, {50, 0}, {78, 5}, {90, 0}});
    settings.OutputThreshold = 6;
    analyseFrame(0);
    const int32_t *r = row();
    EXPECT_EQ(r[40], 3);  // 6 x 0.507: below the threshold once weighted, still written
    EXPECT_EQ(r[78], 0);  // 5 x 1.52 would pass, 5 does not
    EXPECT_EQ(r[50], 0);
    EXPECT_EQ(r[90], 0);
}

// No key measured: only the entry of KeyMin is written.
TEST_F(FrameTest, NothingMeasuredWritesOnlyKeyMin) {
    resonatorPath();
    measureOnly({});
    fillRow(Untouched);
    analyseFrame(0);
    EXPECT_EQ(row()[24], 0);
    for (int k = 25; k <= 96; ++k) ASSERT_EQ(row()[k], Untouched) << "key " << k;
}

// A sine at a key's frequency peaks at that key.
TEST_F(FrameTest, SineAtKeyFrequencyPeaksAtThatKey) {
    resonatorPath();
    for (int k : {28, 40, 57, 60, 69, 76, 83, 91}) {
        SCOPED_TRACE(k);
        clearFrame();
        addSine(keyFrequency(k), 20 * derived.levelScale, 0.1 * k);
        fillRow(Untouched);
        analyseFrame(0);
        const int32_t *r = row();
        for (int j = 24; j <= 96; ++j) {
            ASSERT_NE(r[j], Untouched) << "key " << j;  // every key measured and written
            if (j != k) {
                ASSERT_EQ(r[j], 0) << "key " << j;
            }
        }
        // High keys lose some level in the comb filter (its lag is a whole number of samples).
        if (k <= 76) {
            EXPECT_NEAR(r[k], 20 * tables.KeyTable[k].keyWeight, 1.5 * tables.KeyTable[k].keyWeight);
        }
        EXPECT_GT(r[k], 0);
    }
}

// ClusterDetect takes the peak's fitted wave, with the sign of the fit, away
// from the frame core; the context samples stay.
TEST_F(FrameTest, ClusterRemovalTakesAwayThePeaksWave) {
    resonatorPath();
    settings.ClusterDetect = 1;
    settings.OutputThreshold = 1;
    measureOnly({57, 64});
    const int pad = derived.framePad;
    for (int sign : {1, -1}) {
        for (int phase : {0, 4, -3}) {
            SCOPED_TRACE(testing::Message() << "sign " << sign << " phase " << phase);
            clearFrame();
            addReferenceWave(57, phase, sign * 9);
            const std::vector<int32_t> before(analysis.FrameSamples, analysis.FrameSamples + derived.frameLength + 2);
            const DetectorResult fit = detect(57);
            ASSERT_EQ(fit.level, 9);
            ASSERT_EQ(fit.phase, phase);
            ASSERT_EQ(fit.sign, sign);
            analyseFrame(0);
            EXPECT_EQ(row()[57], weighted(57, 9));
            EXPECT_EQ(row()[64], 0);
            for (int n = 1; n <= settings.BufferSize; ++n) ASSERT_EQ(analysis.FrameSamples[pad + n], 0) << n;
            for (int i = 0; i <= pad; ++i) ASSERT_EQ(analysis.FrameSamples[i], before[i]) << i;
            for (int i = pad + settings.BufferSize + 1; i <= derived.frameLength + 1; ++i)
                ASSERT_EQ(analysis.FrameSamples[i], before[i]) << i;
        }
    }
}

// With ClusterDetect the key after a peak is measured again once the peak's
// wave is gone, and that second level is compared with the next key.
TEST_F(FrameTest, ClusterRemovalRemeasuresTheNextKey) {
    resonatorPath();
    settings.OutputThreshold = 1;
    measureOnly({57, 58, 76, 90});
    addReferenceWave(57, 0, 60);
    addSine(keyFrequency(76), 2 * derived.levelScale, 0.5);
    const int before58 = detect(58).level;
    ASSERT_GT(before58, 2);
    const std::vector<int32_t> frame(analysis.FrameSamples, analysis.FrameSamples + derived.frameLength + 2);

    settings.ClusterDetect = 0;
    analyseFrame(0);
    EXPECT_EQ(row()[57], weighted(57, 60));
    EXPECT_EQ(row()[76], 0);  // 2 is below the level measured at 58

    std::copy(frame.begin(), frame.end(), analysis.FrameSamples);
    settings.ClusterDetect = 1;
    analyseFrame(0);
    EXPECT_LT(detect(58).level, 2);
    EXPECT_EQ(row()[57], weighted(57, 60));
    EXPECT_EQ(row()[76], weighted(76, 2));
}

// Constrain in C major with KeyMax 127: the out-of-scale harmonics of a peak
// at key 60 (94, 102, 104, ...) are marked -1 and measured in the same pass.
TEST_F(FrameTest, ConstrainMeasuresOutOfScaleHarmonics) {
    configureResonatorPath(48, 127, 44100, 1, 3, 1344);
    allocateBuffers();
    buildTables();
    settings.Constrain = 1;
    derived.tonicPitchClass = 0;
    const int scale[12] = {1, 0, 1, 0, 1, 1, 0, 1, 0, 1, 0, 1};
    for (int k = 48; k <= 127; ++k) derived.allowedKeys[k] = scale[k % 12];
    addSine(keyFrequency(60), 20 * derived.levelScale, 0.8);
    fillRow(Untouched);
    analyseFrame(0);
    const int32_t *mask = analysis.WorkingMask;
    EXPECT_GT(row()[60], 0);
    for (int k : {94, 102, 104, 106, 109, 111}) {
        EXPECT_EQ(mask[k], -1) << "key " << k;
        EXPECT_EQ(row()[k], 0) << "key " << k;  // measured and written
    }
    for (int k : {72, 79, 84, 88, 91, 96, 98, 100, 103}) EXPECT_EQ(mask[k], 1) << "key " << k;
    for (int k : {61, 63, 66, 68, 70, 73, 75, 78, 80, 82, 85, 87, 90, 92, 97, 99}) {
        EXPECT_EQ(mask[k], 0) << "key " << k;
        EXPECT_EQ(row()[k], Untouched) << "key " << k;
    }
}

// Filter path: the row holds the raw level of every key, no threshold, no weighting.
TEST_F(FrameTest, FilterPathRowHoldsRawLevels) {
    configureFilterPath(24, 96);
    allocateBuffers();
    buildTables();
    for (int n = 1; n <= 1350; ++n) analysis.FrameSamples[n] = 2 * reference(69, n, 0) + 40 * reference(40, n, 5);
    fillRow(Untouched);
    row()[23] = Untouched;
    measureAllKeys(0);
    EXPECT_EQ(row()[69], 2);
    EXPECT_EQ(row()[40], 40);
    EXPECT_EQ(row()[23], Untouched);
    for (int k = 24; k <= 96; ++k) ASSERT_NE(row()[k], Untouched) << "key " << k;
}

}  // namespace
