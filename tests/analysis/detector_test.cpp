// Key detector: comb filter, least-squares fit of the reference wave, phase walk.
#include <algorithm>
#include <vector>

#include "tests/analysis/analysis_rig.h"

using namespace analysis_rig;

namespace {

class DetectorTest : public AnalysisTest {
protected:
    void filterPath(int keyMin = 24, int keyMax = 96) {
        configureFilterPath(keyMin, keyMax);
        allocateBuffers();
        buildTables();
    }
    void resonatorPath(int keyMin = 24, int keyMax = 96, int virtualSR = 11025, int bufferIncrement = 1,
                       int phaseMult = 3) {
        configureResonatorPath(keyMin, keyMax, virtualSR, bufferIncrement, phaseMult);
        allocateBuffers();
        buildTables();
    }
    // Filter path: the frame is exactly `multiple` x key k's reference at phase p.
    void setCore(int k, int p, int multiple) {
        for (int n = 1; n <= settings.BufferSize; ++n) analysis.FrameSamples[n] = multiple * reference(k, n, p);
    }
};

TEST_F(DetectorTest, ZeroFrameGivesLevelAndPhaseZero) {
    filterPath();
    for (int k : {24, 69, 96}) {
        const DetectorResult r = detect(k);
        EXPECT_EQ(r.level, 0) << "key " << k;
        EXPECT_EQ(r.phase, 0) << "key " << k;
        EXPECT_EQ(r.key, k);
    }
    resonatorPath();
    for (int k : {24, 60, 96}) {
        const DetectorResult r = detect(k);
        EXPECT_EQ(r.level, 0) << "key " << k;
        EXPECT_EQ(r.phase, 0) << "key " << k;
    }
}

// The walk goes up from 0, turns down when +1 does not help, and wraps by
// half a period at the ends of the range.
TEST_F(DetectorTest, ExactMultipleOfReferenceAtReachablePhase) {
    filterPath();
    struct Case {
        int key, phase, smallestMultiple;
    };
    // Near a quarter period away from phase 0 a small multiple fits as 0 at
    // phases 0, 1 and -1 alike, so the walk does not get there.
    const Case cases[] = {{69, 0, 1},   {69, 2, 1},  {69, -2, 1},  {69, 5, 1}, {69, 18, 7},
                          {69, -18, 7}, {24, 40, 1}, {24, -25, 1}, {96, -3, 1}, {96, 3, 1}};
    for (const Case &c : cases) {
        for (int multiple : {1, 2, 3, 7, 50, 127}) {
            if (multiple < c.smallestMultiple) continue;
            for (int sign : {1, -1}) {
                SCOPED_TRACE(testing::Message() << "key " << c.key << " phase " << c.phase << " multiple "
                                                << sign * multiple);
                setCore(c.key, c.phase, sign * multiple);
                const DetectorResult r = detect(c.key);
                EXPECT_EQ(r.level, multiple);
                EXPECT_EQ(r.phase, c.phase);
                EXPECT_EQ(r.sign, sign);
                // Without the comb filter the frame is measured as it is.
                for (int n = 0; n <= settings.BufferSize + 1; ++n)
                    ASSERT_EQ(analysis.FilteredFrame[n], analysis.FrameSamples[n]) << "entry " << n;
            }
        }
    }
}

// A wave more than a quarter period away is fitted half a period off with
// the other sign: 20 steps up at key 69 (q 18, half a period 37.6 steps) is
// best fitted at -18 (-17.6), where the walk stops because -19 wraps to 17.
TEST_F(DetectorTest, WaveBeyondAQuarterPeriodFitsWithTheOtherSign) {
    filterPath();
    for (int n = 1; n <= 1350; ++n)
        analysis.FrameSamples[n] = static_cast<int32_t>(std::lround(continuedWave(69, n, 20, 20)));
    const DetectorResult r = detect(69);
    EXPECT_EQ(r.phase, -18);
    EXPECT_EQ(r.level, 20);
    EXPECT_EQ(r.sign, -1);
}

// The walk stops at the first step that does not lower the residual.
TEST_F(DetectorTest, WalkStopsWhereTheResidualDoesNotFall) {
    filterPath();
    setCore(69, 18, 1);
    const DetectorResult r = detect(69);
    EXPECT_EQ(r.level, 0);
    EXPECT_EQ(r.phase, 0);
}

// Energies, the ratio and Q are wide enough for any frame; the ratio search
// ends at the last entry of RatioTable.
TEST_F(DetectorTest, LargeLevelsDoNotOverflow) {
    filterPath();
    setCore(69, 0, 127);  // a full-scale wave: 127 x 258 = 32766
    EXPECT_EQ(detect(69).level, 127);
    setCore(69, 0, 400);
    EXPECT_EQ(detect(69).level, 400);
    setCore(69, 0, 507);
    EXPECT_EQ(detect(69).level, 507);
    setCore(69, 0, 600);
    const DetectorResult r = detect(69);
    EXPECT_EQ(r.level, 507);
    EXPECT_EQ(r.phase, 0);
}

// A fit halfway between two multiples takes the lower one. A constant
// reference of 64 and a constant frame of 96 (and 160) make the sums exact:
// r equals RatioTable[1] (and [2]) and both multiples leave the same energy.
TEST_F(DetectorTest, TieGoesToTheLowerMultiple) {
    filterPath(60, 60);
    const KeyRecord &key = tables.KeyTable[60];
    for (int j = 0; j <= 3 * 1350 + 2 * key.quarterSteps; ++j)
        tables.ReferenceTable[key.slotStart - key.quarterSteps + j] = 64;
    buildPairTables();
    for (int n = 1; n <= 1350; ++n) analysis.FrameSamples[n] = 96;
    DetectorResult r = detect(60);
    EXPECT_EQ(r.level, 1);
    EXPECT_EQ(r.phase, 0);
    for (int n = 1; n <= 1350; ++n) analysis.FrameSamples[n] = 160;
    r = detect(60);
    EXPECT_EQ(r.level, 2);
    EXPECT_EQ(r.phase, 0);
    for (int n = 1; n <= 1350; ++n) analysis.FrameSamples[n] = 161;
    EXPECT_EQ(detect(60).level, 3);
}

// The comb filter's taps -1, 2, -3, 4, -3, 2, -1 at lags of halfPeriod, and
// the shift by four bits rounds toward minus infinity.
TEST_F(DetectorTest, CombFilterImpulseResponse) {
    resonatorPath();
    const int k = 60;
    const int c = tables.KeyTable[k].halfPeriod;
    const int pad = derived.framePad;
    const int centre = pad + 600;
    const int taps[] = {-1, 2, -3, 4, -3, 2, -1};
    for (int impulse : {16, 1, -16}) {
        SCOPED_TRACE(impulse);
        std::fill(analysis.FrameSamples, analysis.FrameSamples + derived.frameLength + 2, 0);
        analysis.FrameSamples[centre] = impulse;
        detect(k);
        for (int n = 1; n <= settings.BufferSize; ++n) {
            int expected = 0;
            for (int t = -3; t <= 3; ++t)
                if (pad + n + t * c == centre) {
                    const int v = taps[t + 3] * impulse;
                    expected = v >= 0 ? v / 16 : -((-v + 15) / 16);
                }
            ASSERT_EQ(analysis.FilteredFrame[n], expected) << "sample " << n;
        }
    }
}

// The lowest key's comb reaches from entry 0 to entry frameLength + 1.
TEST_F(DetectorTest, CombFilterOfLowestKeyReachesTheWholeFrame) {
    resonatorPath();
    const int c = tables.KeyTable[24].halfPeriod;
    ASSERT_EQ(derived.framePad, 506);
    ASSERT_EQ(c, 169);
    analysis.FrameSamples[derived.frameLength + 1] = 16 * 5;
    detect(24);
    EXPECT_EQ(analysis.FilteredFrame[settings.BufferSize], -5);
    for (int n = 1; n < settings.BufferSize; ++n) ASSERT_EQ(analysis.FilteredFrame[n], 0) << "sample " << n;
}

TEST_F(DetectorTest, CombFilterIgnoresConstantOffset) {
    resonatorPath();
    addSine(keyFrequency(57), 8 * derived.levelScale, 0.3);
    addSine(keyFrequency(64), 5 * derived.levelScale, 1.1);
    const int length = derived.frameLength + 2;
    const std::vector<int32_t> plain(analysis.FrameSamples, analysis.FrameSamples + length);
    for (int k : {36, 57, 64, 81}) {
        SCOPED_TRACE(k);
        std::copy(plain.begin(), plain.end(), analysis.FrameSamples);
        const DetectorResult before = detect(k);
        const std::vector<int32_t> filtered(analysis.FilteredFrame, analysis.FilteredFrame + settings.BufferSize + 2);
        for (int i = 1; i < length; ++i) analysis.FrameSamples[i] += 3000;
        const DetectorResult after = detect(k);
        EXPECT_EQ(after.level, before.level);
        EXPECT_EQ(after.phase, before.phase);
        for (int n = 1; n <= settings.BufferSize; ++n) ASSERT_EQ(analysis.FilteredFrame[n], filtered[n]) << n;
    }
    std::copy(plain.begin(), plain.end(), analysis.FrameSamples);
    EXPECT_EQ(detect(57).level, 8);
    EXPECT_EQ(detect(64).level, 5);
}

// quarterSteps 0: the walk evaluates p = 0 only, even when +1 would fit
// better (the last key's slot ends at the end of the table).
TEST_F(DetectorTest, KeyWithoutPhaseRangeDoesNotWalk) {
    resonatorPath(100, 112, 11025, 1, 1);
    for (int k : {101, 112}) {
        SCOPED_TRACE(k);
        ASSERT_EQ(tables.KeyTable[k].quarterSteps, 0);
        std::fill(analysis.FrameSamples, analysis.FrameSamples + derived.frameLength + 2, 0);
        const double period = 11025 / keyFrequency(k);
        for (int i = 1; i <= derived.frameLength + 1; ++i)
            analysis.FrameSamples[i] = static_cast<int32_t>(
                std::lround(20 * derived.levelScale * std::cos(2 * M_PI * (i - derived.framePad + 1.2) / period)));
        const DetectorResult r = detect(k);
        EXPECT_EQ(r.phase, 0);
        EXPECT_GT(r.level, 0);
    }
}

// With BufferIncrement 5 and BufferSize 1348 (44100 Hz defaults) the fit
// uses 269 pairs; every read stays inside FilteredFrame and the tables.
TEST_F(DetectorTest, DecimatedFitAt44100) {
    resonatorPath(24, 96, 44100, 5);
    ASSERT_EQ(settings.BufferSize, 1348);
    ASSERT_EQ(derived.framePad, 2023);
    addSine(keyFrequency(69), 12 * derived.levelScale, 0.7);
    int bestKey = 0, bestLevel = -1;
    for (int k = 24; k <= 96; ++k) {
        const DetectorResult r = detect(k);
        EXPECT_GE(r.phase, -tables.KeyTable[k].quarterSteps);
        EXPECT_LE(r.phase, tables.KeyTable[k].quarterSteps);
        if (r.level > bestLevel) {
            bestLevel = r.level;
            bestKey = k;
        }
    }
    EXPECT_EQ(bestKey, 69);
    EXPECT_NEAR(bestLevel, 12, 1);
    // Samples past the last pair (1346..1348) are not measured on the filter path.
    filterPath();
    settings.BufferSize = 1348;
    settings.BufferIncrement = 5;
    derived.phaseSpan = 15;
    buildPairTables();
    for (int n = 1346; n <= 1350; ++n) analysis.FrameSamples[n] = 30000;
    EXPECT_EQ(detect(69).level, 0);
}

}  // namespace
