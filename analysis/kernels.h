// Integer loops of the key detector, compiled for several instruction sets
// (AVX-512, AVX2 and the baseline); the best one the processor has is chosen
// at start. Every sum is exact, so each variant gives the same results.
#pragma once

#include <cstdint>

// The seven taps of the comb filter: pointers to the samples at lags
// -3c..+3c, so that tap t of pair j is taps[t][j].
struct CombTaps {
    const int32_t *at[7];
};

// What one pass over the filtered pairs found.
struct PairSummary {
    int64_t energy;  // sum of the squares
    int32_t low;     // smallest value
    int32_t high;    // largest value
};

// One compiled variant of the loops.
struct KernelSet {
    const char *name;
    /** Sum of a[j] * b[j] for j < n (a multiple of 32), in 32-bit partial sums of `chunk` terms that must not overflow. */
    int64_t (*crossSumNarrow)(const int16_t *a, const int16_t *b, int n, int chunk);
    /** Both sums a[j] * b[j] and a[j] * c[j] of crossSumNarrow in one pass over a. */
    void (*crossSumNarrowPair)(const int16_t *a, const int16_t *b, const int16_t *c, int n, int chunk, int64_t *sums);
    /** Sum of a[j] * b[j] for j < n in 64 bits. */
    int64_t (*crossSumWide)(const int32_t *a, const int16_t *b, int n);
    /** Comb filter of n pairs in 32-bit arithmetic (every tap below 2^27 in magnitude) into out and, cut to 16 bits, narrow. */
    PairSummary (*combNarrow)(const CombTaps &taps, int n, int32_t *out, int16_t *narrow);
    /** Energy, smallest and largest of values[j], j < n; the values cut to 16 bits into narrow. */
    PairSummary (*summarise)(const int32_t *values, int n, int16_t *narrow);
};

// Variants: 0 baseline, 1 AVX2, 2 AVX-512.
constexpr int KernelLevels = 3;

/** The variant in use. */
extern const KernelSet *kernels;
/** Whether the processor runs variant `level`. */
bool kernelLevelSupported(int level);
/** Uses variant `level` (which must be supported); -1 picks the best supported. */
void selectKernels(int level);
/** Comb filter of n pairs in 64-bit arithmetic, for any tap values (the pairs summarised apart). */
void combWide(const CombTaps &taps, int n, int32_t *out);
