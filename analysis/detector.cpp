// Key detector: least-squares fit of a key's reference wave to the frame.
#include <algorithm>
#include <climits>
#include <cstdlib>

#include "analysis/analysis.h"
#include "analysis/kernels.h"
#include "engine/finish.h"
#include "input/input.h"

namespace {

constexpr int32_t NarrowTapLimit = 1 << 27;  // comb taps below this are summed in 32 bits
constexpr int VectorWidth = 32;          // pairs per widest vector; the pair arrays are padded with zeros
constexpr int PairPadding = 2 * VectorWidth;

// Fit of the reference wave at one phase offset.
struct PhaseFit {
    int32_t multiple;
    int64_t residual;
    int32_t sign;
};

// Splits the frame by residue modulo the pair step, so that each comb tap
// reads one contiguous run; notes the largest sample magnitude.
void splitFrame(FrameWork &w) {
    const int b = settings.BufferIncrement, total = derived.frameLength + 2;
    const int length = (total + b - 1) / b;
    int64_t bound = 0;
    for (int i = 0; i < total; ++i) bound = std::max(bound, std::abs(static_cast<int64_t>(w.frame[i])));
    w.frameBound = static_cast<int32_t>(std::min<int64_t>(bound, INT32_MAX));
    if (b > 1)
        for (int r = 0; r < b; ++r)
            for (int t = 0; t < length; ++t) w.runs[r * length + t] = r + b * t < total ? w.frame[r + b * t] : 0;
    w.runLength = length;
}

// The samples each comb tap reads for the pairs, at lags -3c..3c.
CombTaps combTaps(FrameWork &w, int c) {
    if (w.runLength == 0) splitFrame(w);
    const int b = settings.BufferIncrement, pad = derived.framePad;
    CombTaps taps;
    for (int d = -3; d <= 3; ++d) {
        const int first = pad + c * d + b;  // the tap's sample for the first pair, at least 0
        taps.at[d + 3] = b == 1 ? w.frame + first : w.runs + (first % b) * w.runLength + first / b;
    }
    return taps;
}

// Prepares the pairs: comb-filtered at lag c, or the frame itself when c is 0.
void measureSignal(FrameWork &w, int c) {
    if (w.lag == c) return;
    const int m = tables.pairCount;
    PairSummary summary;
    if (c == 0) {
        summary = kernels->summarise(w.frame + 1, m, w.narrowPairs);
        std::copy(w.frame + 1, w.frame + 1 + m, w.pairs);
    } else {
        const CombTaps taps = combTaps(w, c);
        if (w.frameBound < NarrowTapLimit) {
            summary = kernels->combNarrow(taps, m, w.pairs, w.narrowPairs);
        } else {
            combWide(taps, m, w.pairs);
            summary = kernels->summarise(w.pairs, m, w.narrowPairs);
        }
    }
    w.sumYY = summary.energy;
    w.chunk = 0;
    if (summary.low >= INT16_MIN && summary.high <= INT16_MAX) {
        const int64_t largest = std::max(-static_cast<int64_t>(summary.low), static_cast<int64_t>(summary.high)) *
                                std::max(tables.referenceBound, 1);
        const int64_t chunk = INT32_MAX / std::max<int64_t>(largest, 1);
        w.chunk = static_cast<int32_t>(std::min<int64_t>(chunk < VectorWidth ? chunk : chunk / VectorWidth * VectorWidth,
                                                         m + VectorWidth));
    }
    w.lag = c;
}

// Sums of y_j times two references at the pairs.
void crossSums(const FrameWork &w, const int16_t *first, const int16_t *second, int64_t *sums) {
    const int m = tables.pairCount, padded = (m + VectorWidth - 1) / VectorWidth * VectorWidth;
    if (w.chunk > 0) {
        kernels->crossSumNarrowPair(w.narrowPairs, first, second, padded, w.chunk, sums);
    } else {
        sums[0] = kernels->crossSumWide(w.pairs, first, m);
        sums[1] = kernels->crossSumWide(w.pairs, second, m);
    }
}

// The smallest i below the table's last entry with r <= RatioTable[i] (0 for
// NaN), where r = a / b rounded to float: found from i/(i+1) = a/b, that is
// i = a/(b-a) (computed beside r rather than from it), and checked against
// the table's neighbours, which settle i whatever the first guess.
[[gnu::always_inline]] inline int ratioIndex(double a, double b) {
    const float *table = tables.RatioTable;
    constexpr int last = RatioTableSize - 1;
    const float r = static_cast<float>(a / b);
    const double guess = a / (b - a);
    if (!(r > 0.0f)) return 0;
    if (r >= 1.0f) return last;
    int i = guess >= 0 && guess < last ? static_cast<int>(guess) : guess >= last ? last : 0;
    while (i > 0 && !(r > table[i - 1])) --i;
    while (i < last && r > table[i]) ++i;
    return i;
}

// Best integer multiple of a reference with these sums and the energy it leaves.
[[gnu::always_inline]] inline PhaseFit fitOf(const FrameWork &w, int64_t sumYS, int64_t sumSS, int64_t E0) {
    const int64_t plus = (w.sumYY + sumSS + 2 * sumYS) >> 10;
    const int64_t minus = (w.sumYY + sumSS - 2 * sumYS) >> 10;
    const bool minusBetter = minus < plus;
    const int64_t lo = minusBetter ? minus : plus, hi = minusBetter ? plus : minus;
    const int i = ratioIndex(static_cast<double>(E0 - lo), static_cast<double>(hi - E0));
    const int64_t Q = tables.TriangularTable[i] * (lo + hi - 2 * E0) + i * lo - (i - 1) * static_cast<int64_t>(E0);
    return {i, Q, minusBetter ? 1 : -1};
}

// The fits of key k's reference at offsets p and next (the offset the walk
// tries after p when p fits better), measured in one pass over the pairs.
void fitTwoPhases(const FrameWork &w, int k, int p, int next, int64_t E0, PhaseFit *fits) {
    const int64_t base = tables.PairTables[k].energy + tables.KeyTable[k].quarterSteps;
    int64_t sums[2];
    crossSums(w, tables.PairReference + tables.PairStart[base + p], tables.PairReference + tables.PairStart[base + next],
              sums);
    fits[0] = fitOf(w, sums[0], tables.PairEnergy[base + p], E0);
    fits[1] = fitOf(w, sums[1], tables.PairEnergy[base + next], E0);
}

// The offset after p in direction dir, wrapped into -q..q.
int stepPhase(int p, int dir, int q) {
    p += dir;
    if (p > q) return p - 2 * q;
    if (p < -q) return p + 2 * q;
    return p;
}

}  // namespace

void allocateFrameWork(FrameWork &w, bool ownFrame) {
    const int64_t total = derived.frameLength + 2, b = settings.BufferIncrement, m = tables.pairCount;
    if (ownFrame) w.frame = static_cast<int32_t *>(allocZeroed(total, sizeof(int32_t), 1));
    w.runs = static_cast<int32_t *>(allocZeroed(total + b, sizeof(int32_t), 28));
    w.pairs = static_cast<int32_t *>(allocZeroed(m + PairPadding, sizeof(int32_t), 28));
    w.narrowPairs = static_cast<int16_t *>(allocZeroed(m + PairPadding, sizeof(int16_t), 28));
    frameChanged(w);
}

void releaseFrameWork(FrameWork &w, bool ownFrame) {
    if (ownFrame) std::free(w.frame);
    std::free(w.runs);
    std::free(w.pairs);
    std::free(w.narrowPairs);
    w = FrameWork{};
}

void frameChanged(FrameWork &w) {
    w.runLength = 0;
    w.lag = -1;
}

void detectKeyWith(FrameWork &w, DetectorResult &result) {
    const KeyRecord &key = tables.KeyTable[result.key];
    const int q = key.quarterSteps;
    measureSignal(w, settings.Filter == -1 ? key.halfPeriod : 0);
    const int64_t E0 = w.sumYY >> 10;
    int64_t best = INT64_MAX;
    int dir = 1, p = 0;
    result.level = result.phase = 0;
    result.sign = 1;
    PhaseFit fits[2] = {};
    int ahead = INT_MIN;  // the offset whose fit fits[1] holds
    for (;;) {
        if (p != ahead) {
            ahead = q == 0 ? p : stepPhase(p, dir, q);
            fitTwoPhases(w, result.key, p, ahead, E0, fits);
        } else {
            fits[0] = fits[1];
            ahead = INT_MIN;
        }
        const PhaseFit &fit = fits[0];
        if (fit.residual < best) {
            best = fit.residual;
            result.level = fit.multiple;
            result.phase = p;
            result.sign = fit.sign;
            if (q == 0) break;
            p = stepPhase(p, dir, q);
        } else if (p == 1) {
            dir = -1;
            p = stepPhase(0, -1, q);
        } else {
            break;
        }
    }
}

void detectKey(DetectorResult &result) {
    FrameWork &w = analysis.work;
    w.frame = analysis.FrameSamples;
    frameChanged(w);
    detectKeyWith(w, result);
    int32_t *y = analysis.FilteredFrame;
    const int b = settings.BufferIncrement;
    if (settings.Filter == -1)
        for (int j = 0; j < tables.pairCount; ++j) y[b * (j + 1)] = w.pairs[j];
    else
        std::copy(analysis.FrameSamples, analysis.FrameSamples + settings.BufferSize + 2, y);
}
