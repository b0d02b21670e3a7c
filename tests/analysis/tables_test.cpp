// Analysis tables: harmonic offsets, the fit's lookup tables, key records and
// reference waves, checked against values worked out by hand.
#include <algorithm>

#include "tests/analysis/analysis_rig.h"

using namespace analysis_rig;

namespace {

class TablesTest : public AnalysisTest {};

// Filter-path forced values, ReferencePitch 440, keys 24..96.
void buildFilterPathTables(int keyMin = 24, int keyMax = 96) {
    configureFilterPath(keyMin, keyMax);
    buildSearchTables();
    buildKeyTables(1);
}

TEST_F(TablesTest, KeyRecordsMatchWorkedExample) {
    buildFilterPathTables();
    const KeyRecord *key = tables.KeyTable;
    EXPECT_EQ(key[24].halfPeriod, 169);
    EXPECT_EQ(key[24].quarterSteps, 252);
    EXPECT_NEAR(key[24].keyWeight, 0.31956, 5e-6);
    EXPECT_EQ(key[69].halfPeriod, 13);
    EXPECT_EQ(key[69].quarterSteps, 18);
    EXPECT_NEAR(key[69].keyWeight, 1.17216, 5e-6);
    EXPECT_EQ(key[96].halfPeriod, 3);
    EXPECT_EQ(key[96].quarterSteps, 3);
    EXPECT_NEAR(key[96].keyWeight, 2.56, 0.01);
    // keyWeight is 1 midway between keys 63 and 64 and doubles every 24 keys.
    EXPECT_FLOAT_EQ(key[63].keyWeight * key[64].keyWeight, 1.0f);
    EXPECT_FLOAT_EQ(key[84].keyWeight, 2 * key[60].keyWeight);
    EXPECT_EQ(tables.SlotLength, 4554);
    // Slots follow one another; slotStart sits quarterSteps into the slot.
    for (int k = 24; k <= 96; ++k) {
        EXPECT_EQ(key[k].slotStart, (k - 24) * 4554 + key[k].quarterSteps) << "key " << k;
        if (k > 24) {
            EXPECT_LE(key[k].quarterSteps, key[k - 1].quarterSteps) << "key " << k;
        }
    }
    // Records below KeyMin stay zero.
    EXPECT_EQ(key[23].halfPeriod, 0);
    EXPECT_EQ(key[23].slotStart, 0);
    EXPECT_EQ(key[0].keyWeight, 0.0f);
}

TEST_F(TablesTest, ReferenceWavesAreRoundedCosines) {
    for (int ceiling : {127, 508}) {
        SCOPED_TRACE(ceiling);
        if (ceiling == 127) {
            buildFilterPathTables();
        } else {
            configureResonatorPath(24, 96);
            buildTables();
        }
        const int first = ceiling == 127 ? 258 : 65;
        const int PM = settings.PhaseMult;
        for (int k = settings.KeyMin; k <= settings.KeyMax; ++k) {
            const KeyRecord &key = tables.KeyTable[k];
            const int32_t *slot = tables.ReferenceTable + key.slotStart - key.quarterSteps;
            // The first entry of every slot is trunc(levelScale x sin(1.5707964) + 0.5).
            ASSERT_EQ(slot[0], first) << "key " << k;
            const int filled = PM * settings.BufferSize + 2 * key.quarterSteps + 1;
            const double period = settings.VirtualSR / keyFrequency(k);
            int32_t low = slot[0], high = slot[0];
            // A run that reaches the next slot's first entry is overwritten there by the next key.
            const int own = k < settings.KeyMax ? std::min(filled, static_cast<int>(tables.SlotLength)) : filled;
            for (int j = 0; j < own; ++j) {
                const double ideal = derived.levelScale * std::cos(2 * M_PI * j / (period * PM));
                ASSERT_NEAR(slot[j], std::trunc(ideal + 0.5), 1.0) << "key " << k << " entry " << j;
                low = std::min(low, slot[j]);
                high = std::max(high, slot[j]);
            }
            // Rounding half up cuts toward zero: the trough is one unit short of the crest.
            if (k == 24) {
                EXPECT_EQ(high, first);
                EXPECT_EQ(low, -(first - 1));
            }
            // The rest of the slot is still zero (a key whose quarterSteps is the
            // lowest key's fills the whole slot and the next slot's first entry).
            for (int j = filled; j < tables.SlotLength; ++j) ASSERT_EQ(slot[j], 0) << "key " << k << " entry " << j;
        }
    }
}

// A slot filled to its last entry plus one: the table has room for it.
TEST_F(TablesTest, SingleKeyTableHoldsTheEntryPastTheSlot) {
    buildFilterPathTables(24, 24);
    EXPECT_EQ(tables.SlotLength, 4554);
    ASSERT_GE(tables.referenceSize, 4555);
    const double period = 11025 / keyFrequency(24);
    const double ideal = derived.levelScale * std::cos(2 * M_PI * 4554 / (period * 3));
    EXPECT_NEAR(tables.ReferenceTable[4554], std::trunc(ideal + 0.5), 1.0);
}

// The key slots are shared among threads: any thread count gives the same tables.
TEST_F(TablesTest, ThreadCountDoesNotChangeTheReferenceWaves) {
    buildFilterPathTables();
    const std::vector<int32_t> single(tables.ReferenceTable, tables.ReferenceTable + tables.referenceSize);
    for (int threads : {2, 3, 64}) {
        releaseKeyTables();
        buildKeyTables(threads);
        ASSERT_EQ(tables.referenceSize, static_cast<int64_t>(single.size()));
        EXPECT_TRUE(std::equal(single.begin(), single.end(), tables.ReferenceTable)) << threads << " threads";
    }
}

// A key whose period is shorter than four reference steps has no phase range.
TEST_F(TablesTest, ShortPeriodKeyGetsZeroQuarterSteps) {
    configureResonatorPath(100, 112, 11025, 1, 1);
    buildTables();
    EXPECT_EQ(tables.KeyTable[100].quarterSteps, 1);  // P = 4.18
    for (int k = 101; k <= 112; ++k) {
        EXPECT_EQ(tables.KeyTable[k].quarterSteps, 0) << "key " << k;
        EXPECT_EQ(tables.KeyTable[k].slotStart, (k - 100) * tables.SlotLength) << "key " << k;
    }
}

TEST_F(TablesTest, HarmonicOffsets) {
    configureResonatorPath(24, 96);
    buildHarmonicOffsets();
    const int32_t *h = tables.HarmonicOffsets;
    const int expected[] = {12, 19, 24, 28, 31, 34, 36, 38, 40, 42, 43, 44, 46, 47, 48};
    for (int i = 2; i <= 16; ++i) EXPECT_EQ(h[i], expected[i - 2]) << "harmonic " << i;
    EXPECT_EQ(h[22], 54);
    EXPECT_EQ(h[23], 54);
    EXPECT_EQ(h[0], 0);
    EXPECT_EQ(h[1], 0);
    EXPECT_EQ(tables.HarmonicCount, 68);
    EXPECT_GE(h[68], 73);  // a walk over harmonics leaves the 73 keys before the unfilled entries
    EXPECT_EQ(h[69], 0);

    // The widest range fills harmonics 2..1535.
    settings.KeyMin = 1;
    settings.KeyMax = 127;
    buildHarmonicOffsets();
    EXPECT_EQ(tables.HarmonicCount, 1535);
    EXPECT_EQ(h[1535], 127);  // at least the 127 keys

    // One key: harmonic 2 only; entries left from the wider build are cleared.
    settings.KeyMin = settings.KeyMax = 60;
    buildHarmonicOffsets();
    EXPECT_EQ(tables.HarmonicCount, 2);
    EXPECT_EQ(h[2], 12);
    EXPECT_EQ(h[3], 0);
    EXPECT_EQ(h[1535], 0);
}

TEST_F(TablesTest, RatioAndTriangularTables) {
    buildSearchTables();
    const float *ratio = tables.RatioTable;
    const int32_t *tri = tables.TriangularTable;
    EXPECT_EQ(ratio[0], 0.0f);
    EXPECT_EQ(ratio[1], 0.5f);
    EXPECT_EQ(ratio[2], 0.6666667f);
    EXPECT_EQ(ratio[3], 0.75f);
    EXPECT_EQ(ratio[507], static_cast<float>(507.0 / 508.0));
    const int32_t starts[] = {0, 0, 1, 3, 6, 10, 15};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(tri[i], starts[i]) << "entry " << i;
    EXPECT_EQ(tri[507], 507 * 506 / 2);
    for (int i = 1; i < RatioTableSize; ++i) ASSERT_LT(ratio[i - 1], ratio[i]) << "entry " << i;
}

}  // namespace
