// The band levels of the attack evidence: the fast decibels are always the float
// 10 log10 rounds to, and the bands summed side by side equal their plain sums.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "app/starter/refine/spectra.h"

namespace {

float plainDecibels(double x) { return static_cast<float>(10 * std::log10(x)); }

TEST(Decibels, EqualTheRoundedLogarithmEverywhere) {
    // Levels as the evidence meets them (1e-4 up to well above the reference), spread evenly in dB.
    uint64_t state = 3;
    for (int i = 0; i < 2000000; ++i) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        double x = std::pow(10.0, -4.5 + 7.0 * static_cast<double>(state >> 11) / 9007199254740992.0);
        ASSERT_EQ(decibels(x), plainDecibels(x)) << x;
    }
    // The hard cases: values whose level lies on or beside a float's rounding boundary.
    for (float y = -45.0f; y < 5.0f; y += 0.37f) {
        double boundary = (static_cast<double>(y) + static_cast<double>(std::nextafter(y, 100.0f))) / 2;
        double x = std::pow(10.0, boundary / 10);
        for (int step = -3; step <= 3; ++step, x = std::nextafter(x, 1e300))
            ASSERT_EQ(decibels(x), plainDecibels(x)) << x;
    }
    for (double x : {1.0, 1e-4, 2.0, 0.5, 1e300, 1e-300, std::numeric_limits<double>::denorm_min()})
        EXPECT_EQ(decibels(x), plainDecibels(x)) << x;
    EXPECT_EQ(decibels(0), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(decibels(std::numeric_limits<double>::infinity()), std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(decibels(-1)));
    EXPECT_TRUE(std::isnan(decibels(std::numeric_limits<double>::quiet_NaN())));
}

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
