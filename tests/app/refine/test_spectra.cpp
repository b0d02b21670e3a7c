// The band levels of the attack evidence: the bands summed side by side (with
// and without AVX2), and the decibels taken from the natural logarithm, equal
// their plain forms, level for level; the levels and rises of the keys asked
// for alone equal those of every key; the sample window that moves along a
// recording holds the samples read afresh.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include "app/starter/refine/spectra.h"

namespace {

float plainDecibels(double x) { return static_cast<float>(10 * std::log10(x)); }

// A repeatable uniform value in [0, 1).
double uniform(uint64_t &state) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<double>(state >> 11) / 9007199254740992.0;
}

TEST(Decibels, EqualLibmsTenLog10BitForBitWithAndWithoutVectors) {
    uint64_t state = 5;
    // Powers over the whole range the levels meet and beyond, and values crowding about 1 (0 dB).
    double x[8];
    float scalar[8], vector[8];
    for (int i = 0; i < 250000; ++i) {
        for (int j = 0; j < 8; ++j)
            x[j] = j % 2 ? std::pow(10.0, -30 + 60 * uniform(state)) : 1 + (uniform(state) - 0.5) * 1e-3;
        decibels(x, scalar, false);
        decibels(x, vector, true);
        for (int j = 0; j < 8; ++j) {
            ASSERT_EQ(scalar[j], plainDecibels(x[j])) << x[j];
            ASSERT_EQ(vector[j], plainDecibels(x[j])) << x[j];
        }
    }
    // Edges: exactly 0 dB, the floor, the ends of the doubles, and what has no logarithm.
    double edges[] = {1.0, 1e-4, 1e300, DBL_MIN, 4.9e-324, HUGE_VAL, 0.0, -1.0};
    for (bool vectors : {false, true}) {
        float out[8];
        decibels(edges, out, vectors);
        for (int j = 0; j < 7; ++j)
            EXPECT_EQ(out[j], plainDecibels(edges[j])) << edges[j];
        EXPECT_TRUE(std::isnan(out[7]));
        EXPECT_EQ(decibels(0.5), plainDecibels(0.5));
    }
}

TEST(Spectrum, PowersAreThoseOfTheWindowedTransformBinForBin) {
    for (int size : {16, 2048, 8192}) {
        TransformPtr t = makeTransform(size);
        uint64_t state = 9;
        std::vector<float> x(size);
        for (float &v : x)
            v = static_cast<float>(uniform(state) - 0.5);
        spectrum(*t, x.data());
        for (int i = 0; i < size; ++i)
            ASSERT_EQ(t->input[i], x[i] * t->window[i]) << size << " sample " << i;
        for (int k = 0; k <= size / 2; ++k)
            ASSERT_EQ(t->power[k], t->output[k][0] * t->output[k][0] + t->output[k][1] * t->output[k][1])
                << size << " bin " << k;
    }
}

TEST(BandLevels, SideBySideSumsAreThePlainSumsWithAndWithoutVectors) {
    uint64_t state = 3;
    std::vector<float> weights(8 * 64), power(8 * 64);
    for (size_t i = 0; i < weights.size(); ++i) {
        weights[i] = static_cast<float>(uniform(state));
        power[i] = static_cast<float>(std::pow(10.0, -12 + 14 * uniform(state)));
    }
    const float *w[8], *q[8];
    for (int j = 0; j < 8; ++j) {
        w[j] = weights.data() + 64 * j;
        q[j] = power.data() + 64 * j + j;  // bands that start at bins of their own
    }
    // Bands of one count, and of counts that differ (some past a multiple of 8, one empty).
    for (int most : {0, 1, 3, 7, 8, 9, 16, 23, 56}) {
        for (bool alike : {true, false}) {
            int counts[8];
            for (int j = 0; j < 8; ++j)
                counts[j] = alike ? most : std::max(0, most - 3 * j + (j == 5 ? -most : 0));
            double plain[8] = {1, 2, 3, 4, 5, 6, 7, 8}, scalar[8], vector[8];
            std::copy(plain, plain + 8, scalar);
            std::copy(plain, plain + 8, vector);
            for (int j = 0; j < 8; ++j)
                for (int k = 0; k < counts[j]; ++k)
                    plain[j] += w[j][k] * q[j][k];
            sumSideBySide(w, q, counts, scalar, false);
            sumSideBySide(w, q, counts, vector, true);
            for (int j = 0; j < 8; ++j) {
                EXPECT_EQ(scalar[j], plain[j]) << most << " band " << j;
                EXPECT_EQ(vector[j], plain[j]) << most << " band " << j;
            }
        }
    }
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
        // Keys asked for alone, in whole groups of eight and singly: their levels as above, no other written.
        bool wanted[PitchCount] = {};
        for (int p : {0, 1, 2, 3, 4, 5, 6, 7, 30, 61, 87})
            wanted[p] = true;
        std::vector<float> some(BandsPerHop, 1234.0f);
        bandLevels(*t, table, 3.5, some.data(), wanted);
        for (int i = 0; i < BandsPerHop; ++i)
            ASSERT_EQ(some[i], wanted[i / PartialCount] ? levels[i] : 1234.0f) << size << " band " << i;
    }
}

TEST(WeightedRise, OfTheKeysAskedForAloneEqualsThatOfEveryKey) {
    BandTable table = bandTable(8192, 44100, 440);
    uint64_t state = 5;
    std::vector<float> now(BandsPerHop), before(BandsPerHop);
    for (int i = 0; i < BandsPerHop; ++i) {
        now[i] = static_cast<float>(-40 + 40 * uniform(state));
        before[i] = static_cast<float>(-40 + 40 * uniform(state));
    }
    std::vector<float> rise(PitchCount), partials(KeptPartials * PitchCount);
    weightedRise(table, now.data(), before.data(), nullptr, rise.data(), partials.data(), PitchCount);
    bool keys[PitchCount] = {};
    for (int p : {0, 9, 10, 44, 87})
        keys[p] = true;
    std::vector<float> some(PitchCount, 99.0f), someParts(KeptPartials * PitchCount, 99.0f);
    weightedRise(table, now.data(), before.data(), nullptr, some.data(), someParts.data(), PitchCount, keys);
    for (int p = 0; p < PitchCount; ++p) {
        ASSERT_EQ(some[p], keys[p] ? rise[p] : 99.0f) << "key " << p;
        for (int h = 0; h < KeptPartials; ++h)
            ASSERT_EQ(someParts[h * PitchCount + p], keys[p] ? partials[h * PitchCount + p] : 99.0f) << "key " << p;
    }
}

TEST(SampleWindow, HoldsTheScaledSamplesReadAfreshWhereverItMoves) {
    uint64_t state = 7;
    std::vector<float> recording(300000);
    for (float &x : recording)
        x = static_cast<float>(uniform(state) * 2 - 1);
    MonoSource source;
    source.memory = &recording;
    source.total = static_cast<long>(recording.size());
    source.peak = 0.75f;
    SampleWindow window;
    // Steps within the window, just past it, far past it, back to its start with more samples, and
    // stretches over either end of the recording and longer than the window's least size.
    const long steps[][2] = {{-4096, 8192}, {441, 8192},     {60000, 8192},    {441, 8192},  {70000, 2048},
                             {0, 90000},    {100000, 8192},  {70000, 150000},  {1, 20},           {29000, 8192}};
    long from = 0;
    for (const auto &[step, count] : steps) {
        from += step;
        const float *got = samplesAt(source, window, from, count);
        ASSERT_NE(got, nullptr);
        std::vector<float> fresh(static_cast<size_t>(count));
        ASSERT_TRUE(readMono(source, from, count, fresh.data()));
        for (long i = 0; i < count; ++i)
            ASSERT_EQ(got[i], fresh[static_cast<size_t>(i)] / source.peak) << from << " sample " << i;
    }
}

}  // namespace
