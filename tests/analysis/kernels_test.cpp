// The vectorised key detector against a plain scalar transcription of the
// fit (comb filter, 64-bit sums over the reference table, linear ratio
// search, phase walk) on random frames, for every compiled variant of the
// integer loops that this processor runs.
#include <climits>
#include <random>

#include "analysis/kernels.h"
#include "tests/analysis/analysis_rig.h"

using namespace analysis_rig;

namespace {

// The measured signal at pair j (1-based), straight from the frame.
int64_t scalarSignal(int k, int j) {
    const int32_t *x = analysis.FrameSamples;
    const int b = settings.BufferIncrement, c = tables.KeyTable[k].halfPeriod, i = derived.framePad + b * j;
    if (settings.Filter != -1) return x[b * j];
    const int64_t sum = 4 * static_cast<int64_t>(x[i]) + 2 * (static_cast<int64_t>(x[i - 2 * c]) + x[i + 2 * c]) -
                        3 * (static_cast<int64_t>(x[i - c]) + x[i + c]) - (static_cast<int64_t>(x[i - 3 * c]) + x[i + 3 * c]);
    return static_cast<int32_t>(sum >> 4);
}

DetectorResult scalarDetect(int k) {
    const KeyRecord &key = tables.KeyTable[k];
    const int m = settings.BufferSize / settings.BufferIncrement, q = key.quarterSteps;
    std::vector<int64_t> y(m + 1);
    int64_t yy = 0;
    for (int j = 1; j <= m; ++j) yy += (y[j] = scalarSignal(k, j)) * y[j];
    const int64_t E0 = yy >> 10;
    auto fit = [&](int p, DetectorResult &r) {
        int64_t ys = 0, ss = 0;
        for (int j = 1; j <= m; ++j) {
            const int64_t s = tables.ReferenceTable[key.slotStart + p + derived.phaseSpan * j];
            ys += y[j] * s;
            ss += s * s;
        }
        const int64_t plus = (yy + ss + 2 * ys) >> 10, minus = (yy + ss - 2 * ys) >> 10;
        const int64_t lo = std::min(plus, minus), hi = std::max(plus, minus);
        const float ratio = static_cast<float>(static_cast<double>(E0 - lo) / static_cast<double>(hi - E0));
        int i = 0;
        while (i < RatioTableSize - 1 && ratio > tables.RatioTable[i]) ++i;
        r = {i, p, k, minus < plus ? 1 : -1};
        return tables.TriangularTable[i] * (lo + hi - 2 * E0) + i * lo - (i - 1) * E0;
    };
    DetectorResult best = {0, 0, k, 1}, at{};
    int64_t bestResidual = INT64_MAX;
    for (int p = 0, dir = 1;;) {
        const int64_t residual = fit(p, at);
        if (residual < bestResidual) {
            bestResidual = residual;
            best = at;
            if (q == 0) break;
            p += dir;
        } else if (p == 1) {
            dir = -1;
            p = -1;
        } else {
            break;
        }
        p += p > q ? -2 * q : p < -q ? 2 * q : 0;
    }
    return best;
}

// A random frame: a few sines of random keys and noise; now and then louder
// than 16 bits, or with one spike too large for 32-bit comb sums (these take
// the 64-bit loops).
void randomFrame(std::mt19937 &rng) {
    std::fill(analysis.FrameSamples, analysis.FrameSamples + derived.frameLength + 2, 0);
    std::uniform_real_distribution<double> unit(0, 1);
    const int kind = std::uniform_int_distribution<int>(0, 5)(rng);
    const double loudness = kind == 1 ? 60000 : kind == 2 ? 0 : 12000;
    for (int n = 0; n < 4; ++n)
        addSine(keyFrequency(std::uniform_int_distribution<int>(settings.KeyMin, settings.KeyMax)(rng)),
                loudness * unit(rng), 6.3 * unit(rng));
    for (int i = 1; i <= derived.frameLength + 1; ++i)
        analysis.FrameSamples[i] += static_cast<int32_t>(300 * (unit(rng) - 0.5));
    if (kind == 0)
        analysis.FrameSamples[std::uniform_int_distribution<int>(1, derived.frameLength + 1)(rng)] = 1 << 27;
}

// Every key of every random frame, for every variant the processor runs.
void compareOnRandomFrames(std::mt19937 &rng, int frames) {
    for (int f = 0; f < frames; ++f) {
        randomFrame(rng);
        for (int level = 0; level < KernelLevels; ++level) {
            if (!kernelLevelSupported(level)) continue;
            selectKernels(level);
            for (int k = settings.KeyMin; k <= settings.KeyMax; ++k) {
                const DetectorResult want = scalarDetect(k), got = detect(k);
                ASSERT_EQ(got.level, want.level) << kernels->name << " key " << k << " frame " << f;
                ASSERT_EQ(got.phase, want.phase) << kernels->name << " key " << k << " frame " << f;
                ASSERT_EQ(got.sign, want.sign) << kernels->name << " key " << k << " frame " << f;
            }
        }
    }
    selectKernels(-1);
}

class VectorDetectorTest : public AnalysisTest {};

TEST_F(VectorDetectorTest, CombPathEqualsTheScalarFitOnRandomFrames) {
    std::mt19937 rng(1600);
    for (int config = 0; config < 6; ++config) {
        const int rates[] = {11025, 22050, 44100};
        const int keyMin = std::uniform_int_distribution<int>(21, 50)(rng);
        configureResonatorPath(keyMin, std::uniform_int_distribution<int>(keyMin, 108)(rng), rates[config % 3],
                               std::uniform_int_distribution<int>(1, 6)(rng),
                               std::uniform_int_distribution<int>(1, 9)(rng));
        allocateBuffers();
        buildTables();
        compareOnRandomFrames(rng, 4);
    }
}

TEST_F(VectorDetectorTest, FilterPathEqualsTheScalarFitOnRandomFrames) {
    std::mt19937 rng(1601);
    configureFilterPath(21, 108);
    allocateBuffers();
    buildTables();
    compareOnRandomFrames(rng, 6);
}

}  // namespace
