// FFTW transforms, key bands and the mono samples of a recording read block by block.
#include "app/starter/refine/spectra.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include <immintrin.h>

#include "app/starter/audio/fft_plans.h"

namespace {

// Samples read from a file at a time, and the least a sample window grows by.
constexpr long ReadFrames = 4096;
constexpr long WindowStep = 1L << 16;

// Bands whose sums the processor works on at once (see bandLevels).
constexpr int SideBySide = 8;
// How far the scaled natural logarithm may lie from libm's 10 log10, relative: libm's log and
// log10 err by a few units in the last place of a double (2^-52 each), the scaling by two more;
// 2^-40 leaves a margin of about 500 times that.
constexpr double DecibelsMargin = 0x1p-40;

// The mean of each frame's channels: for stereo in a loop of its own that the compiler vectorises
// (the same sums: each starts from 0 and adds the channels in order).
void mixToMono(const float *frames, long count, int channels, float *out) {
    if (channels == 2) {
        for (long i = 0; i < count; ++i)
            out[i] = (0.0f + frames[2 * i] + frames[2 * i + 1]) / 2;
        return;
    }
    for (long i = 0; i < count; ++i) {
        float sum = 0;
        for (int c = 0; c < channels; ++c)
            sum += frames[i * channels + c];
        out[i] = sum / channels;
    }
}

// 16-bit samples as libsndfile's sf_readf_float gives them, a loop the compiler vectorises: each
// times 2^-15, which is exact, so the floats are the same bit for bit (libsndfile's own loop takes
// about ten times as long).
void scale16Bit(const short *in, long count, float *out) {
    constexpr float Scale = 1.0f / 0x8000;
    for (long i = 0; i < count; ++i)
        out[i] = static_cast<float>(in[i]) * Scale;
}

// The n samples at x divided by the recording's peak, as the evidence reads them (0 for silence).
void scaleToPeak(const MonoSource &s, float *x, long n) {
    const float peak = s.peak;  // read once: x might alias it otherwise, which keeps the loop from vectorising
    for (long i = 0; i < n; ++i)
        x[i] = peak > 0 ? x[i] / peak : 0.0f;
}

// Reads up to count frames of the file from `first` on, mixed to mono; the frames read, 0 at its end.
long readFileMono(MonoSource &s, long first, long count, float *out) {
    if (s.position != first && sf_seek(s.file, first, SEEK_SET) < 0)
        return 0;
    s.position = first;
    s.block.resize(static_cast<size_t>(ReadFrames * s.channels));
    s.raw.resize(s.pcm16 ? s.block.size() : 0);
    long done = 0;
    while (done < count) {
        sf_count_t got = s.pcm16 ? sf_readf_short(s.file, s.raw.data(), std::min(ReadFrames, count - done))
                                 : sf_readf_float(s.file, s.block.data(), std::min(ReadFrames, count - done));
        if (got <= 0)
            break;
        if (s.pcm16)
            scale16Bit(s.raw.data(), got * s.channels, s.block.data());
        mixToMono(s.block.data(), got, s.channels, out + done);
        done += got;
        s.position += got;
    }
    return done;
}

// Adds w[j][k] * q[j][k] (the product a float, the sum a double) to e[j] for k < counts[j], in
// order of k, for each of SideBySide bands j: the bins all have side by side, then each band's rest.
void sumSideBySidePlain(const float *const *w, const float *const *q, const int *counts, double *e) {
    int common = *std::min_element(counts, counts + SideBySide);
    for (int k = 0; k < common; ++k)
        for (int j = 0; j < SideBySide; ++j)
            e[j] += w[j][k] * q[j][k];
    for (int j = 0; j < SideBySide; ++j)
        for (int k = common; k < counts[j]; ++k)
            e[j] += w[j][k] * q[j][k];
}

// Adds one bin of eight bands (floats) to their sums: bands 0-3 in low, 4-7 in high.
__attribute__((target("avx2"))) inline void addBin(__m256 bin, __m256d &low, __m256d &high) {
    low = _mm256_add_pd(low, _mm256_cvtps_pd(_mm256_castps256_ps128(bin)));
    high = _mm256_add_pd(high, _mm256_cvtps_pd(_mm256_extractf128_ps(bin, 1)));
}

// The same sums with AVX2, eight bins of the eight bands at a time: the products of each band's
// eight bins, transposed so that each vector holds one bin of every band, are added bin by bin, so
// that every band's sum takes its terms in the same order (and has the same value) as above. A
// band's bins past its count are loaded as 0 (masked loads read nothing there) and add +0, which
// leaves its sum, never -0, as it is.
__attribute__((target("avx2"))) void sumSideBySideAvx2(const float *const *w, const float *const *q, const int *counts,
                                                       double *e) {
    static_assert(SideBySide == 8, "one AVX2 vector of floats per bin");
    __m256d low = _mm256_loadu_pd(e), high = _mm256_loadu_pd(e + 4);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    int most = *std::max_element(counts, counts + SideBySide);
    for (int k = 0; k < most; k += 8) {
        __m256 r[8], t[8];
        for (int j = 0; j < 8; ++j) {
            // A band already summed loads nothing, from its start (no pointer past its end is formed).
            int at = counts[j] > k ? k : 0;
            __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(counts[j] - k), lanes);
            r[j] = _mm256_mul_ps(_mm256_maskload_ps(w[j] + at, mask), _mm256_maskload_ps(q[j] + at, mask));
        }
        for (int j = 0; j < 8; j += 2) {
            t[j] = _mm256_unpacklo_ps(r[j], r[j + 1]);
            t[j + 1] = _mm256_unpackhi_ps(r[j], r[j + 1]);
        }
        for (int j = 0; j < 8; j += 4) {
            r[j] = _mm256_shuffle_ps(t[j], t[j + 2], _MM_SHUFFLE(1, 0, 1, 0));
            r[j + 1] = _mm256_shuffle_ps(t[j], t[j + 2], _MM_SHUFFLE(3, 2, 3, 2));
            r[j + 2] = _mm256_shuffle_ps(t[j + 1], t[j + 3], _MM_SHUFFLE(1, 0, 1, 0));
            r[j + 3] = _mm256_shuffle_ps(t[j + 1], t[j + 3], _MM_SHUFFLE(3, 2, 3, 2));
        }
        // r[i] now holds bins i and i + 4 of bands 0-3, r[4 + i] those of bands 4-7.
        for (int i = 0; i < 4 && k + i < most; ++i)
            addBin(_mm256_permute2f128_ps(r[i], r[4 + i], 0x20), low, high);
        for (int i = 4; i < 8 && k + i < most; ++i)
            addBin(_mm256_permute2f128_ps(r[i - 4], r[i], 0x31), low, high);
    }
    _mm256_storeu_pd(e, low);
    _mm256_storeu_pd(e + 4, high);
}

// ln x for a positive, normal, finite x, within 2^-49 of it relative: x = m 2^e with m in
// [sqrt 1/2, sqrt 2), ln m = 2 atanh s = 2 (s + s^3/3 + ... + s^17/17) with s = (m - 1) / (m + 1),
// |s| < 0.172 (the first term left out is below 2^-50 of the sum). No branch, so that a loop of
// them is vectorised.
[[gnu::always_inline]] inline double quickLog(double x) {
    uint64_t bits = std::bit_cast<uint64_t>(x);
    double m = std::bit_cast<double>((bits & 0x000fffffffffffffu) | 0x3ff0000000000000u);
    double e = static_cast<double>(static_cast<int64_t>(bits >> 52) - 1023);
    bool high = m > M_SQRT2;
    m = high ? 0.5 * m : m;
    e = high ? e + 1 : e;
    double s = (m - 1) / (m + 1), z = s * s, p = 1.0 / 17;
    for (double c : {1.0 / 15, 1.0 / 13, 1.0 / 11, 1.0 / 9, 1.0 / 7, 1.0 / 5, 1.0 / 3, 1.0})
        p = p * z + c;
    return e * M_LN2 + 2 * s * p;
}

// The decibels of SideBySide powers (see decibels), those quickLog cannot take left at NaN.
[[gnu::always_inline]] inline void quickDecibelsBody(const double *x, float *out) {
    for (int j = 0; j < SideBySide; ++j) {
        bool normal = x[j] >= DBL_MIN && x[j] <= DBL_MAX;
        double y = (10 / M_LN10) * quickLog(normal ? x[j] : 1.0), margin = std::abs(y) * DecibelsMargin;
        float below = static_cast<float>(y - margin), above = static_cast<float>(y + margin);
        out[j] = normal && below == above ? below : std::numeric_limits<float>::quiet_NaN();
    }
}
void quickDecibels(const double *x, float *out) { quickDecibelsBody(x, out); }
// The same four at a time with AVX2, step for step.
__attribute__((target("avx2"))) void quickDecibelsAvx2(const double *x, float *out) {
    const __m256d one = _mm256_set1_pd(1.0), nan = _mm256_set1_pd(std::numeric_limits<double>::quiet_NaN());
    for (int i = 0; i < SideBySide; i += 4) {
        __m256d v = _mm256_loadu_pd(x + i);
        __m256d normal = _mm256_and_pd(_mm256_cmp_pd(v, _mm256_set1_pd(DBL_MIN), _CMP_GE_OQ),
                                       _mm256_cmp_pd(v, _mm256_set1_pd(DBL_MAX), _CMP_LE_OQ));
        __m256i bits = _mm256_castpd_si256(_mm256_blendv_pd(one, v, normal));
        __m256d m = _mm256_castsi256_pd(_mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(0x000fffffffffffff)),
                                                        _mm256_set1_epi64x(0x3ff0000000000000)));
        // The biased exponent (below 2^11) placed in the mantissa of 2^52, less 2^52 + 1023: e exactly.
        __m256d e = _mm256_sub_pd(
            _mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(bits, 52), _mm256_set1_epi64x(0x4330000000000000))),
            _mm256_set1_pd(4503599627370496.0 + 1023));
        __m256d high = _mm256_cmp_pd(m, _mm256_set1_pd(M_SQRT2), _CMP_GT_OQ);
        m = _mm256_blendv_pd(m, _mm256_mul_pd(_mm256_set1_pd(0.5), m), high);
        e = _mm256_add_pd(e, _mm256_and_pd(high, one));
        __m256d s = _mm256_div_pd(_mm256_sub_pd(m, one), _mm256_add_pd(m, one)), z = _mm256_mul_pd(s, s);
        __m256d p = _mm256_set1_pd(1.0 / 17);
        for (double c : {1.0 / 15, 1.0 / 13, 1.0 / 11, 1.0 / 9, 1.0 / 7, 1.0 / 5, 1.0 / 3, 1.0})
            p = _mm256_add_pd(_mm256_mul_pd(p, z), _mm256_set1_pd(c));
        __m256d ln = _mm256_add_pd(_mm256_mul_pd(e, _mm256_set1_pd(M_LN2)),
                                   _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(2.0), s), p));
        __m256d y = _mm256_blendv_pd(nan, _mm256_mul_pd(_mm256_set1_pd(10 / M_LN10), ln), normal);
        __m256d margin = _mm256_mul_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), y), _mm256_set1_pd(DecibelsMargin));
        __m128 below = _mm256_cvtpd_ps(_mm256_sub_pd(y, margin)), above = _mm256_cvtpd_ps(_mm256_add_pd(y, margin));
        __m128 kept = _mm_blendv_ps(_mm_set1_ps(std::numeric_limits<float>::quiet_NaN()), below, _mm_cmpeq_ps(below, above));
        _mm_storeu_ps(out + i, kept);
    }
}

bool hasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

// x times the window into out, eight samples at a time; the samples done.
__attribute__((target("avx2"))) int windowedAvx2(const float *x, const float *window, int size, float *out) {
    int i = 0;
    for (; i + 8 <= size; i += 8)
        _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_loadu_ps(x + i), _mm256_loadu_ps(window + i)));
    return i;
}

// re^2 + im^2 of the first bins, eight at a time, as the scalar loop computes them; the bins done.
__attribute__((target("avx2"))) int powersAvx2(const fftwf_complex *bins, int count, float *power) {
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        __m256 a = _mm256_loadu_ps(bins[k]), b = _mm256_loadu_ps(bins[k + 4]);
        // [p0 p1 p4 p5 | p2 p3 p6 p7], each the sum of a bin's two squares, put in order.
        __m256 sums = _mm256_hadd_ps(_mm256_mul_ps(a, a), _mm256_mul_ps(b, b));
        __m256d ordered = _mm256_permute4x64_pd(_mm256_castps_pd(sums), _MM_SHUFFLE(3, 1, 2, 0));
        _mm256_storeu_ps(power + k, _mm256_castpd_ps(ordered));
    }
    return k;
}

// The magnitude of any bin of a window's transform is at most the sum of the magnitudes of its
// windowed samples; FFTW's rounding, the float products and powers and the sum's own rounding
// stay far below this share of its square (they are a few parts in ten thousand at most).
constexpr double PowerBoundMargin = 1.1;

// An upper bound of every bin power spectrum() finds for the size samples at x under window.
double powerBound(const float *x, const float *window, int size) {
    float part[8] = {};  // eight sums side by side, so that the loop is vectorised
    int i = 0;
    for (; i + 8 <= size; i += 8)
        for (int j = 0; j < 8; ++j)
            part[j] += std::abs(x[i + j]) * window[i + j];
    double sum = 0;
    for (; i < size; ++i)
        sum += std::abs(x[i]) * window[i];
    for (float p : part)
        sum += p;
    double bound = sum * sum * PowerBoundMargin;
    return std::isfinite(bound) ? bound : std::numeric_limits<double>::infinity();
}

}  // namespace

void sumSideBySide(const float *const *w, const float *const *q, const int *counts, double *e, bool vector) {
    static const bool avx2 = hasAvx2();
    if (vector && avx2)
        sumSideBySideAvx2(w, q, counts, e);
    else
        sumSideBySidePlain(w, q, counts, e);
}

void TransformDeleter::operator()(Transform *t) const {
    fftwf_free(t->input);
    fftwf_free(t->output);
    delete t;
}

TransformPtr makeTransform(int size) {
    TransformPtr t(new Transform);
    t->size = size;
    t->input = static_cast<float *>(fftwf_malloc(sizeof(float) * size));
    t->output = static_cast<fftwf_complex *>(fftwf_malloc(sizeof(fftwf_complex) * (size / 2 + 1)));
    t->plan = realPlan(size, t->input, t->output);
    t->window.resize(size);
    for (int i = 0; i < size; ++i)
        t->window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * M_PI * i / size));
    t->power.resize(size / 2 + 1);
    return t;
}

void spectrum(Transform &t, const float *x) {
    static const bool avx2 = hasAvx2();
    for (int i = avx2 ? windowedAvx2(x, t.window.data(), t.size, t.input) : 0; i < t.size; ++i)
        t.input[i] = x[i] * t.window[i];
    fftwf_execute_dft_r2c(t.plan, t.input, t.output);
    int k = avx2 ? powersAvx2(t.output, t.size / 2 + 1, t.power.data()) : 0;
    for (; k <= t.size / 2; ++k)
        t.power[k] = t.output[k][0] * t.output[k][0] + t.output[k][1] * t.output[k][1];
}

BandTable bandTable(int size, int rate, double referencePitch) {
    BandTable table;
    table.bands.resize(BandsPerHop);
    table.partialWeight.assign(BandsPerHop, 0);
    double binHz = static_cast<double>(rate) / size;
    for (int p = 0; p < PitchCount; ++p) {
        double f0 = referencePitch * std::pow(2.0, (p + LowestPitch - 69) / 12.0);
        double total = 0;
        for (int h = 1; h <= PartialCount; ++h) {
            double centre = h * f0 / binHz;
            double half = std::max(1.5, centre * (std::pow(2.0, 1.0 / 24) - 1));
            if (centre + half >= size / 2)
                break;
            Band &b = table.bands[p * PartialCount + h - 1];
            b.first = static_cast<int>(std::ceil(centre - half));
            b.weightStart = table.weights.size();
            double sum = 0;
            for (int k = b.first; k < centre + half; ++k, ++b.count)
                sum += 1 - std::abs(k - centre) / half;
            for (int k = b.first; k < b.first + b.count; ++k)
                table.weights.push_back(static_cast<float>((1 - std::abs(k - centre) / half) / sum));
            table.partialWeight[p * PartialCount + h - 1] = static_cast<float>(1.0 / h);
            total += 1.0 / h;
        }
        for (int h = 0; h < PartialCount && total > 0; ++h)
            table.partialWeight[p * PartialCount + h] = static_cast<float>(table.partialWeight[p * PartialCount + h] / total);
    }
    return table;
}

float decibels(double x) {
    double in[SideBySide];
    float out[SideBySide];
    std::fill(in, in + SideBySide, x);
    decibels(in, out);
    return out[0];
}

void decibels(const double *x, float *out, bool vector) {
    // libm's log10 is several times slower than a logarithm of our own that the processor takes
    // four at a time. Ours is kept where every value within the margin of it rounds to the same
    // float, so that libm's 10 log10 rounds to it too; else (about one value in a hundred thousand,
    // and at NaN, infinity, zero and below) libm's own is taken.
    static const bool avx2 = hasAvx2();
    if (vector && avx2)
        quickDecibelsAvx2(x, out);
    else
        quickDecibels(x, out);
    for (int j = 0; j < SideBySide; ++j)
        if (std::isnan(out[j]))
            out[j] = static_cast<float>(10 * std::log10(x[j]));
}

void bandLevels(const Transform &t, const BandTable &table, double reference, float *levels, const bool *wanted) {
    const double floor = std::pow(10.0, -LevelFloorDb / 10);
    // The same partial of neighbouring keys is summed side by side: each band's sum keeps its own
    // order (so its value is exact), while the processor overlaps the chains of additions.
    for (int h = 0; h < PartialCount; ++h)
        for (int p = 0; p < PitchCount; p += SideBySide) {
            int n = std::min(SideBySide, PitchCount - p);
            if (wanted && std::none_of(wanted + p, wanted + p + n, [](bool w) { return w; }))
                continue;
            bool whole = n == SideBySide && (!wanted || std::all_of(wanted + p, wanted + p + n, [](bool w) { return w; }));
            const float *w[SideBySide], *q[SideBySide];
            int counts[SideBySide];
            double e[SideBySide] = {};
            for (int j = 0; j < n; ++j) {
                const Band &b = table.bands[(p + j) * PartialCount + h];
                w[j] = table.weights.data() + b.weightStart;
                q[j] = t.power.data() + b.first;
                counts[j] = b.count;
            }
            if (whole)
                sumSideBySide(w, q, counts, e);
            double x[SideBySide] = {1, 1, 1, 1, 1, 1, 1, 1};  // 0 dB for the keys not wanted
            float level[SideBySide];
            for (int j = 0; j < n; ++j) {
                if (!whole && wanted && !wanted[p + j])
                    continue;
                for (int k = 0; !whole && k < counts[j]; ++k)
                    e[j] += w[j][k] * q[j][k];
                x[j] = e[j] / reference + floor;
            }
            decibels(x, level);
            for (int j = 0; j < n; ++j)
                if (whole || !wanted || wanted[p + j])
                    levels[(p + j) * PartialCount + h] = level[j];
        }
}

void weightedRise(const BandTable &table, const float *now, const float *before, const float *before2, float *out,
                  float *partials, size_t partialStride, const bool *keys) {
    for (int p = 0; p < PitchCount; ++p) {
        if (keys && !keys[p])
            continue;
        float sum = 0;
        for (int h = 0; h < PartialCount; ++h) {
            int i = p * PartialCount + h;
            float base = before2 ? std::max(before[i], before2[i]) : before[i];
            float rise = std::max(0.0f, now[i] - base);
            sum += table.partialWeight[i] * rise;
            if (partials && h < KeptPartials)
                partials[h * partialStride + p] = rise;
        }
        out[p] = sum;
    }
}

void cellValues(const BandTable &table, const float *now, float rise, const float *partials, size_t partialStride,
                int p, float *out) {
    float level = 0;
    for (int h = 0; h < PartialCount; ++h)
        level += table.partialWeight[p * PartialCount + h] * now[p * PartialCount + h];
    out[0] = level;
    out[1] = now[p * PartialCount];
    out[2] = rise;
    for (int h = 0; h < KeptPartials; ++h)
        out[3 + h] = partials[h * partialStride + p];
}

void widenToGroups(bool *keys) {
    for (int p = 0; p < PitchCount; p += SideBySide) {
        int n = std::min(SideBySide, PitchCount - p);
        if (std::any_of(keys + p, keys + p + n, [](bool k) { return k; }))
            std::fill(keys + p, keys + p + n, true);
    }
}

LevelRing floorRing(int depth) {
    return LevelRing{depth, std::vector<float>(static_cast<size_t>(depth) * BandsPerHop, static_cast<float>(-LevelFloorDb))};
}

void drawBetween(LevelRing &ring, long before, long after, const bool *wanted) {
    const float *a = ring.at(before), *b = ring.at(after);
    for (long t = before + 1; t < after; ++t) {
        float *row = ring.at(t), share = static_cast<float>(t - before) / static_cast<float>(after - before);
        for (int p = 0; p < PitchCount; ++p)
            for (int i = p * PartialCount; (!wanted || wanted[p]) && i < (p + 1) * PartialCount; ++i)
                row[i] = a[i] + (b[i] - a[i]) * share;
    }
}

bool holds16Bit(int format) {
    int container = format & SF_FORMAT_TYPEMASK;
    bool plain = container == SF_FORMAT_WAV || container == SF_FORMAT_WAVEX || container == SF_FORMAT_RF64 ||
                 container == SF_FORMAT_AIFF;
    return plain && (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
}

bool readMono(MonoSource &s, long first, long count, float *out) {
    long from = std::clamp(first, 0L, s.total), to = std::clamp(first + count, 0L, s.total);
    if (from >= to) {
        std::fill(out, out + count, 0.0f);
        return true;
    }
    std::fill(out, out + (from - first), 0.0f);
    std::fill(out + (to - first), out + count, 0.0f);
    if (s.memory) {
        std::copy(s.memory->begin() + from, s.memory->begin() + to, out + (from - first));
        return true;
    }
    return readFileMono(s, from, to - from, out + (from - first)) == to - from;
}

float monoPeak(MonoSource &s) {
    float peak = 0;
    if (s.memory) {
        for (float v : *s.memory)
            peak = std::max(peak, std::abs(v));
        return peak;
    }
    // The recording ends where the file's frames do, whatever its header says.
    if (sf_seek(s.file, 0, SEEK_SET) < 0)
        return -1;
    std::vector<float> x(static_cast<size_t>(ReadFrames));
    long frames = 0;
    s.position = 0;
    s.total = std::numeric_limits<long>::max();
    for (long n; (n = readFileMono(s, frames, ReadFrames, x.data())) > 0; frames += n)
        for (long i = 0; i < n; ++i)
            peak = std::max(peak, std::abs(x[i]));
    s.total = frames;
    return peak;
}

const float *samplesAt(MonoSource &s, SampleWindow &w, long from, long count) {
    long end = w.first + static_cast<long>(w.data.size());
    if (from >= w.first && from + count <= end)
        return w.data.data() + (from - w.first);
    // The samples still wanted move to the front of the same buffer, the rest are read after them.
    long kept = from >= w.first && from < end ? end - from : 0;
    if (kept > 0 && from > w.first)
        std::copy(w.data.begin() + (from - w.first), w.data.end(), w.data.begin());
    w.data.resize(static_cast<size_t>(std::max(count, WindowStep)));
    w.first = from;
    long size = static_cast<long>(w.data.size());
    if (!readMono(s, from + kept, size - kept, w.data.data() + kept)) {
        w.data.clear();
        return nullptr;
    }
    scaleToPeak(s, w.data.data() + kept, size - kept);
    return w.data.data();
}

double loudestPower(Transform &t, MonoSource &s, int hop) {
    // Each window's bound first (one read along the recording); then the spectra of the windows by
    // their bounds, loudest first, until no bound left reaches the loudest power found.
    std::vector<std::pair<double, long>> bounds;  // (bound on the power of any bin, the window's centre)
    SampleWindow w;
    for (long c = 0; c < s.total + hop; c += 4L * hop) {
        const float *x = samplesAt(s, w, c - t.size / 2, t.size);
        if (!x)
            return -1;
        bounds.push_back({powerBound(x, t.window.data(), t.size), c});
    }
    std::stable_sort(bounds.begin(), bounds.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    double peak = 1e-20;
    std::vector<float> x(static_cast<size_t>(t.size));
    for (const auto &[bound, c] : bounds) {
        if (bound < peak)
            break;
        if (!readMono(s, c - t.size / 2, t.size, x.data()))
            return -1;
        scaleToPeak(s, x.data(), t.size);
        spectrum(t, x.data());
        peak = std::max(peak, static_cast<double>(*std::max_element(t.power.begin(), t.power.end())));
    }
    return peak;
}
