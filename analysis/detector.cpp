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

// Comb filter 1 - D + D^2 - D^3, squared, at a lag of c samples.
void combFilter(int c) {
    const int32_t *x = analysis.FrameSamples;
    int32_t *y = analysis.FilteredFrame;
    const int pad = derived.framePad;
    for (int n = 1; n <= settings.BufferSize; ++n) {
        const int i = pad + n;
        int64_t sum = 4 * static_cast<int64_t>(x[i]) + 2 * (static_cast<int64_t>(x[i - 2 * c]) + x[i + 2 * c]) -
                      3 * (static_cast<int64_t>(x[i - c]) + x[i + c]) -
                      (static_cast<int64_t>(x[i - 3 * c]) + x[i + 3 * c]);
        y[n] = static_cast<int32_t>(sum >> 4);
    }
}

void copyFrame() {
    for (int n = 0; n <= settings.BufferSize + 1; ++n) analysis.FilteredFrame[n] = analysis.FrameSamples[n];
}

// Best integer multiple of the reference at offset p and the energy it leaves.
PhaseFit fitAtPhase(int slotStart, int p, int pairs, int64_t sumYY, int64_t E0) {
    const int32_t *y = analysis.FilteredFrame;
    const int32_t *s = tables.ReferenceTable + slotStart + p;
    const int b = settings.BufferIncrement;
    const int64_t span = derived.phaseSpan;
    int64_t sumYS = 0, sumSS = 0;
    for (int j = 1; j <= pairs; ++j) {
        const int64_t yj = y[b * j], sj = s[span * j];
        sumYS += yj * sj;
        sumSS += sj * sj;
    }
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
    const int pairs = settings.BufferSize / settings.BufferIncrement;
    const int32_t *y = analysis.FilteredFrame;
    const int b = settings.BufferIncrement;
    int64_t sumYY = 0;
    for (int j = 1; j <= pairs; ++j) sumYY += static_cast<int64_t>(y[b * j]) * y[b * j];
    const int64_t E0 = sumYY >> 10;
    int64_t best = INT64_MAX;
    int dir = 1, p = 0;
    result.level = result.phase = 0;
    result.sign = 1;
    for (;;) {
        const PhaseFit fit = fitAtPhase(key.slotStart, p, pairs, sumYY, E0);
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
