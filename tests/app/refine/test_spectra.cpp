// The band levels of the attack evidence: the bands summed side by side equal
// their plain sums, level for level.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "app/starter/refine/spectra.h"

namespace {

float plainDecibels(double x) { return static_cast<float>(10 * std::log10(x)); }

TEST(BandLevels, EqualThePlainSumOfEachBand) {
    for (int size : {2048, 8192}) {
        TransformPtr t = makeTransform(size);
        BandTable table = bandTable(size, 44100, 440);
        uint64_t state = 11;
        for (float &p : t->power) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            p = static_cast<float>(std::pow(10.0, -8 + 8.0 * static_cast<double>(state >> 11) / 9007199254740992.0));
        }
        std::vector<float> levels(BandsPerHop);
        bandLevels(*t, table, 3.5, levels.data());
        for (int i = 0; i < BandsPerHop; ++i) {
            const Band &b = table.bands[i];
            double e = 0;
            for (int k = 0; k < b.count; ++k)
                e += table.weights[b.weightStart + k] * t->power[b.first + k];
            ASSERT_EQ(levels[i], plainDecibels(e / 3.5 + std::pow(10.0, -LevelFloorDb / 10))) << size << " band " << i;
        }
    }
}

}  // namespace
