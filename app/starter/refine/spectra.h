// The signal processing behind the attack evidence: FFTW transforms of a
// Hann window, the triangular band of every key's partials, band levels and
// their rises, and the mono samples of a recording read in blocks.
#pragma once

#include <memory>
#include <vector>

#include <fftw3.h>
#include <sndfile.h>

#include "app/starter/refine/evidence.h"

// Hops between the levels a short rise compares, and half the span of a long rise.
constexpr int ShortLagNear = 2, ShortLagFar = 3, LongHalfSpan = 8;
// The long window's levels are measured every this many hops, at multiples of it, and drawn in a
// straight line (in dB) between: the window spans 19 hops, so its levels change slowly from hop to hop.
constexpr int LongEvery = 1;
// Values per hop of the band levels: every key's partials.
constexpr int BandsPerHop = PitchCount * PartialCount;

// One partial's band: bins from first on, weights at weightStart.
struct Band {
    int first = 0;
    int count = 0;
    size_t weightStart = 0;
};

// Band weights of every key and partial at one window size, and the partial weights 1/h.
struct BandTable {
    std::vector<Band> bands;        // [pitch * PartialCount + h - 1]; count 0 above the top
    std::vector<float> weights;
    std::vector<float> partialWeight;  // [pitch * PartialCount + h - 1], summing to 1 per key
};

// A window size's transform: its plan, buffers and Hann window.
struct Transform {
    int size = 0;
    float *input = nullptr;
    fftwf_complex *output = nullptr;
    fftwf_plan plan = nullptr;
    std::vector<float> window;
    std::vector<float> power;
};

struct TransformDeleter {
    void operator()(Transform *t) const;
};
using TransformPtr = std::unique_ptr<Transform, TransformDeleter>;

// Ring of per-partial levels over the last hops; rows before the first hop lie at the floor.
struct LevelRing {
    int depth;
    std::vector<float> values;  // depth x BandsPerHop
    float *at(long hop) { return values.data() + ((hop % depth + depth) % depth) * BandsPerHop; }
};

// Where mono samples come from: raw samples in memory, or a sound file mixed to mono.
struct MonoSource {
    const std::vector<float> *memory = nullptr;
    SNDFILE *file = nullptr;
    int channels = 1;
    long total = 0;       // sample frames in the recording
    long position = 0;    // the file's next frame
    float peak = 0;       // samples are divided by it (0: every sample reads as 0)
    bool pcm16 = false;   // the file holds 16-bit samples: read as integers, scaled here (see readFileMono)
    std::vector<float> block;  // frames read from the file
    std::vector<short> raw;    // the same as integers
};

// The stretch of scaled samples a sweep holds; it moves forward along the recording.
struct SampleWindow {
    std::vector<float> data;
    long first = 0;
};

/** A transform of one window size; plans are made once per size, under a lock. */
TransformPtr makeTransform(int size);
/** Power spectrum of size samples at x (windowed) into t.power. */
void spectrum(Transform &t, const float *x);
/** Triangular bands of half a semitone each side (at least 1.5 bins) around every partial. */
BandTable bandTable(int size, int rate, double referencePitch);
/** Adds w[j][k] * q[j][k] (a float product, never negative) to the double e[j] (at least +0) for
 *  k < counts[j], in order of k, for each of 8 bands j side by side; with vector, eight bins at a
 *  time where the processor has AVX2 (the same sums, bit for bit). */
void sumSideBySide(const float *const *w, const float *const *q, const int *counts, double *e, bool vector = true);
/** static_cast<float>(10 * std::log10(x)), bit for bit, at a fraction of its cost. */
float decibels(double x);
/** The same of 8 values at once; with vector, four at a time where the processor has AVX2. */
void decibels(const double *x, float *out, bool vector = true);
/** Levels in dB re reference (floored LevelFloorDb below it) of every key's partials; with wanted
 *  (one flag per key from LowestPitch) only those of the keys wanted are written, each exactly as
 *  without it. */
void bandLevels(const Transform &t, const BandTable &table, double reference, float *levels,
                const bool *wanted = nullptr);
/** The 1/h-weighted sum of the positive rises between two hops' levels, per key (the larger of two
 *  earlier hops with before2); the rises of partials 1..KeptPartials into partials when given. With
 *  keys (one flag per key from LowestPitch) only those of the keys flagged are written. */
void weightedRise(const BandTable &table, const float *now, const float *before, const float *before2, float *out,
                  float *partials, size_t partialStride, const bool *keys = nullptr);
/** The cell values of key index p (see KeptCells) from its long levels `now`, its long rise and the
 *  rises of its partials at partials[h * partialStride + p]. */
void cellValues(const BandTable &table, const float *now, float rise, const float *partials, size_t partialStride,
                int p, float *out);
/** Flags, besides the keys flagged, every key bandLevels sums side by side with one of them (whole
 *  groups are summed at the speed of vectors, a few keys alone one by one). */
void widenToGroups(bool *keys);
/** A ring of depth rows at the level floor. */
LevelRing floorRing(int depth);
/** Fills the rows of hops between measured hops `before` and `after` of a ring in a straight line
 *  between theirs, for the keys wanted (every key without wanted). */
void drawBetween(LevelRing &ring, long before, long after, const bool *wanted = nullptr);
/** The measured hop at or before hop t (t >= 0). */
inline long measuredAtOrBefore(long t) { return t / LongEvery * LongEvery; }
/** Whether a sound file of this format holds plain 16-bit integer samples (WAV, RF64 or AIFF). */
bool holds16Bit(int format);
/** Reads count raw mono samples from first on (zeros outside the recording); false on a read error. */
bool readMono(MonoSource &s, long first, long count, float *out);
/** The largest magnitude of the raw mono samples; -1 on a read error. */
float monoPeak(MonoSource &s);
/** The scaled samples [from, from + count); from does not go back between calls. nullptr on a read error. */
const float *samplesAt(MonoSource &s, SampleWindow &w, long from, long count);
/** The loudest bin power of the long window t, sampled every fourth hop; -1 on a read error. Only the
 *  windows whose bound reaches the loudest power found are transformed (the same maximum). */
double loudestPower(Transform &t, MonoSource &s, int hop);
