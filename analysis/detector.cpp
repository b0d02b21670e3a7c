// Key detector: least-squares fit of a key's reference wave to the frame.
#include <climits>

#include "analysis/analysis.h"
#include "engine/engine.h"
#include "input/input.h"

namespace {

// Fit of the reference wave at one phase offset.
struct PhaseFit {
    int32_t multiple;
    int64_t residual;
    int32_t sign;
};

// Comb filter 1 - D + D^2 - D^3, squared, at a lag of c samples, evaluated
// at the samples the fit's pairs use (every sample when the step is 1).
void combFilter(int c) {
    const int32_t *x = analysis.FrameSamples;
    int32_t *y = analysis.FilteredFrame;
    const int pad = derived.framePad, b = settings.BufferIncrement;
    for (int j = 1; j <= tables.pairCount; ++j) {
        const int i = pad + b * j;
        const int64_t sum = 4 * static_cast<int64_t>(x[i]) + 2 * (static_cast<int64_t>(x[i - 2 * c]) + x[i + 2 * c]) -
                            3 * (static_cast<int64_t>(x[i - c]) + x[i + c]) -
                            (static_cast<int64_t>(x[i - 3 * c]) + x[i + 3 * c]);
        y[b * j] = static_cast<int32_t>(sum >> 4);
    }
}

void copyFrame() {
    for (int n = 0; n <= settings.BufferSize + 1; ++n) analysis.FilteredFrame[n] = analysis.FrameSamples[n];
}

// Gathers the pairs' samples into one contiguous run; returns their energy.
int64_t gatherPairs() {
    const int32_t *y = analysis.FilteredFrame;
    int32_t *pairs = tables.PairSamples;
    const int b = settings.BufferIncrement, m = tables.pairCount;
    int64_t energy = 0;
    for (int j = 0; j < m; ++j) {
        pairs[j] = y[b * (j + 1)];
        energy += static_cast<int64_t>(pairs[j]) * pairs[j];
    }
    return energy;
}

// Sum of y_j times the reference at the pairs: contiguous, branch-free.
int64_t crossSum(const int32_t *reference) {
    const int32_t *pairs = tables.PairSamples;
    int64_t sum = 0;
    for (int j = 0; j < tables.pairCount; ++j) sum += static_cast<int64_t>(pairs[j]) * reference[j];
    return sum;
}

// Best integer multiple of the reference at offset p and the energy it leaves.
PhaseFit fitAtPhase(int k, int p, int64_t sumYY, int64_t E0) {
    const PairLayout &layout = tables.PairTables[k];
    const int64_t u = tables.KeyTable[k].quarterSteps + p, span = derived.phaseSpan;
    const int64_t sumYS = crossSum(tables.PairReference + layout.reference + (u % span) * layout.length + u / span + 1);
    const int64_t sumSS = tables.PairEnergy[layout.energy + u];
    const int64_t plus = (sumYY + sumSS + 2 * sumYS) >> 10;
    const int64_t minus = (sumYY + sumSS - 2 * sumYS) >> 10;
    const bool minusBetter = minus < plus;
    const int64_t lo = minusBetter ? minus : plus, hi = minusBetter ? plus : minus;
    const float r = static_cast<float>(static_cast<double>(E0 - lo) / static_cast<double>(hi - E0));
    int i = 0;
    while (i < RatioTableSize - 1 && r > tables.RatioTable[i]) ++i;
    const int64_t Q = tables.TriangularTable[i] * (lo + hi - 2 * E0) + i * lo - (i - 1) * static_cast<int64_t>(E0);
    return {i, Q, minusBetter ? 1 : -1};
}

}  // namespace

void detectKey(DetectorResult &result) {
    const KeyRecord &key = tables.KeyTable[result.key];
    const int q = key.quarterSteps;
    if (settings.Filter == -1)
        combFilter(key.halfPeriod);
    else
        copyFrame();
    const int64_t sumYY = gatherPairs();
    const int64_t E0 = sumYY >> 10;
    int64_t best = INT64_MAX;
    int dir = 1, p = 0;
    result.level = result.phase = 0;
    result.sign = 1;
    for (;;) {
        const PhaseFit fit = fitAtPhase(result.key, p, sumYY, E0);
        if (fit.residual < best) {
            best = fit.residual;
            result.level = fit.multiple;
            result.phase = p;
            result.sign = fit.sign;
            if (q == 0) break;
            p += dir;
        } else if (p == 1) {
            dir = -1;
            p = -1;
        } else {
            break;
        }
        if (p > q)
            p -= 2 * q;
        else if (p < -q)
            p += 2 * q;
    }
}
