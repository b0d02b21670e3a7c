// The key detector's integer loops in three compiled variants. Each loop is
// written once, inlined into a wrapper per instruction set and vectorised
// there by the compiler.
#include "analysis/kernels.h"

#include <algorithm>

namespace {

// n is a multiple of 32 (the arrays are padded with zeros).
[[gnu::always_inline]] inline int64_t crossSumNarrowBody(const int16_t *a, const int16_t *b, int n, int chunk) {
    if (chunk >= n) {
        int32_t sum = 0;
        for (int block = 0; block < n; block += 32)
            for (int j = block; j < block + 32; ++j) sum += a[j] * b[j];
        return sum;
    }
    int64_t total = 0;
    for (int start = 0; start < n; start += chunk) {
        const int end = std::min(n, start + chunk);
        int32_t sum = 0;
        for (int j = start; j < end; ++j) sum += a[j] * b[j];
        total += sum;
    }
    return total;
}

// The same partial sums as crossSumNarrowBody, for two second factors.
[[gnu::always_inline]] inline void crossSumNarrowPairBody(const int16_t *a, const int16_t *b, const int16_t *c, int n,
                                                          int chunk, int64_t *sums) {
    sums[0] = sums[1] = 0;
    for (int start = 0; start < n; start += chunk) {
        const int end = std::min(n, start + chunk);
        int32_t sumB = 0, sumC = 0;
        for (int j = start; j < end; ++j) {
            sumB += a[j] * b[j];
            sumC += a[j] * c[j];
        }
        sums[0] += sumB;
        sums[1] += sumC;
    }
}

[[gnu::always_inline]] inline int64_t crossSumWideBody(const int32_t *a, const int16_t *b, int n) {
    int64_t sum = 0;
    for (int j = 0; j < n; ++j) sum += static_cast<int64_t>(a[j]) * b[j];
    return sum;
}

// Adds one value to a summary and keeps its low 16 bits.
[[gnu::always_inline]] inline void summariseOne(int32_t value, int64_t &energy, int32_t &low, int32_t &high,
                                                int16_t &narrow) {
    energy += static_cast<int64_t>(value) * value;
    low = std::min(low, value);
    high = std::max(high, value);
    narrow = static_cast<int16_t>(value);
}

// Taps -1, 2, -3, 4, -3, 2, -1 at lags -3c..3c, divided by 16 rounding down.
[[gnu::always_inline]] inline PairSummary combNarrowBody(const CombTaps &taps, int n, int32_t *out, int16_t *narrow) {
    const int32_t *__restrict m3 = taps.at[0], *__restrict m2 = taps.at[1], *__restrict m1 = taps.at[2];
    const int32_t *__restrict c0 = taps.at[3], *__restrict p1 = taps.at[4], *__restrict p2 = taps.at[5];
    const int32_t *__restrict p3 = taps.at[6];
    int32_t *__restrict y = out;
    int16_t *__restrict y16 = narrow;
    int64_t energy = 0;
    int32_t low = 0, high = 0;
    for (int j = 0; j < n; ++j) {
        y[j] = (4 * c0[j] + 2 * (m2[j] + p2[j]) - 3 * (m1[j] + p1[j]) - (m3[j] + p3[j])) >> 4;
        summariseOne(y[j], energy, low, high, y16[j]);
    }
    return {energy, low, high};
}

[[gnu::always_inline]] inline PairSummary summariseBody(const int32_t *values, int n, int16_t *narrow) {
    const int32_t *__restrict y = values;
    int16_t *__restrict y16 = narrow;
    int64_t energy = 0;
    int32_t low = 0, high = 0;
    for (int j = 0; j < n; ++j) summariseOne(y[j], energy, low, high, y16[j]);
    return {energy, low, high};
}

// One set of wrappers per instruction set.
#define SONOSCRIPTOR_KERNELS(suffix, target)                                                                    \
    target int64_t crossSumNarrow##suffix(const int16_t *a, const int16_t *b, int n, int chunk) {                \
        return crossSumNarrowBody(a, b, n, chunk);                                                               \
    }                                                                                                            \
    target void crossSumNarrowPair##suffix(const int16_t *a, const int16_t *b, const int16_t *c, int n, int chunk, \
                                           int64_t *sums) {                                                      \
        crossSumNarrowPairBody(a, b, c, n, chunk, sums);                                                         \
    }                                                                                                            \
    target int64_t crossSumWide##suffix(const int32_t *a, const int16_t *b, int n) {                             \
        return crossSumWideBody(a, b, n);                                                                        \
    }                                                                                                            \
    target PairSummary combNarrow##suffix(const CombTaps &taps, int n, int32_t *out, int16_t *narrow) {         \
        return combNarrowBody(taps, n, out, narrow);                                                             \
    }                                                                                                            \
    target PairSummary summarise##suffix(const int32_t *values, int n, int16_t *narrow) {                       \
        return summariseBody(values, n, narrow);                                                                 \
    }                                                                                                            \
    const KernelSet Kernels##suffix = {#suffix, crossSumNarrow##suffix, crossSumNarrowPair##suffix,                \
                                       crossSumWide##suffix, combNarrow##suffix, summarise##suffix};

SONOSCRIPTOR_KERNELS(Baseline, )
SONOSCRIPTOR_KERNELS(Avx2, __attribute__((target("avx2"))))
SONOSCRIPTOR_KERNELS(Avx512, __attribute__((target("avx512f,avx512bw,avx512vl"))))

const KernelSet *const Variants[KernelLevels] = {&KernelsBaseline, &KernelsAvx2, &KernelsAvx512};

int bestLevel() {
    for (int level = KernelLevels - 1; level > 0; --level)
        if (kernelLevelSupported(level)) return level;
    return 0;
}

}  // namespace

const KernelSet *kernels = Variants[bestLevel()];

bool kernelLevelSupported(int level) {
    __builtin_cpu_init();
    switch (level) {
    case 0: return true;
    case 1: return __builtin_cpu_supports("avx2");
    case 2: return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl");
    default: return false;
    }
}

void selectKernels(int level) { kernels = Variants[level < 0 ? bestLevel() : level]; }

void combWide(const CombTaps &taps, int n, int32_t *out) {
    for (int j = 0; j < n; ++j) {
        const int64_t sum = 4 * static_cast<int64_t>(taps.at[3][j]) +
                            2 * (static_cast<int64_t>(taps.at[1][j]) + taps.at[5][j]) -
                            3 * (static_cast<int64_t>(taps.at[2][j]) + taps.at[4][j]) -
                            (static_cast<int64_t>(taps.at[0][j]) + taps.at[6][j]);
        out[j] = static_cast<int32_t>(sum >> 4);
    }
}
