// FFTW transforms, key bands and the mono samples of a recording read block by block.
#include "app/starter/refine/spectra.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "app/starter/audio/fft_plans.h"

namespace {

// Samples read from a file at a time, and the least a sample window grows by.
constexpr long ReadFrames = 4096;
constexpr long WindowStep = 1L << 16;

// Bands whose sums the processor works on at once (see bandLevels).
constexpr int SideBySide = 8;

// Reads up to count frames of the file from `first` on, mixed to mono; the frames read, 0 at its end.
long readFileMono(MonoSource &s, long first, long count, float *out) {
    if (s.position != first && sf_seek(s.file, first, SEEK_SET) < 0)
        return 0;
    s.position = first;
    s.block.resize(static_cast<size_t>(ReadFrames * s.channels));
    long done = 0;
    while (done < count) {
        sf_count_t got = sf_readf_float(s.file, s.block.data(), std::min(ReadFrames, count - done));
        if (got <= 0)
            break;
        for (sf_count_t i = 0; i < got; ++i) {
            float sum = 0;
            for (int c = 0; c < s.channels; ++c)
                sum += s.block[i * s.channels + c];
            out[done + i] = sum / s.channels;
        }
        done += got;
        s.position += got;
    }
    return done;
}

}  // namespace

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
    for (int i = 0; i < t.size; ++i)
        t.input[i] = x[i] * t.window[i];
    fftwf_execute_dft_r2c(t.plan, t.input, t.output);
    for (int k = 0; k <= t.size / 2; ++k)
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

void bandLevels(const Transform &t, const BandTable &table, double reference, float *levels) {
    const double floor = std::pow(10.0, -LevelFloorDb / 10);
    // The same partial of neighbouring keys is summed side by side: each band's sum keeps its own
    // order (so its value is exact), while the processor overlaps the chains of additions.
    for (int h = 0; h < PartialCount; ++h)
        for (int p = 0; p < PitchCount; p += SideBySide) {
            int n = std::min(SideBySide, PitchCount - p), common = std::numeric_limits<int>::max();
            const float *w[SideBySide], *q[SideBySide];
            double e[SideBySide] = {};
            for (int j = 0; j < n; ++j) {
                const Band &b = table.bands[(p + j) * PartialCount + h];
                w[j] = table.weights.data() + b.weightStart;
                q[j] = t.power.data() + b.first;
                common = std::min(common, b.count);
            }
            for (int k = 0; n == SideBySide && k < common; ++k)
                for (int j = 0; j < SideBySide; ++j)
                    e[j] += w[j][k] * q[j][k];
            for (int j = 0; j < n; ++j) {
                const Band &b = table.bands[(p + j) * PartialCount + h];
                for (int k = n == SideBySide ? common : 0; k < b.count; ++k)
                    e[j] += w[j][k] * q[j][k];
                levels[(p + j) * PartialCount + h] = static_cast<float>(10 * std::log10(e[j] / reference + floor));
            }
        }
}

void weightedRise(const BandTable &table, const float *now, const float *before, const float *before2, float *out,
                  float *partials, size_t partialStride) {
    for (int p = 0; p < PitchCount; ++p) {
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

LevelRing floorRing(int depth) {
    return LevelRing{depth, std::vector<float>(static_cast<size_t>(depth) * BandsPerHop, static_cast<float>(-LevelFloorDb))};
}

bool readMono(MonoSource &s, long first, long count, float *out) {
    long from = std::clamp(first, 0L, s.total), to = std::clamp(first + count, 0L, s.total);
    std::fill(out, out + count, 0.0f);
    if (from >= to)
        return true;
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
    std::vector<float> data(static_cast<size_t>(std::max(count, WindowStep)));
    long kept = from >= w.first && from < end ? end - from : 0;
    if (kept > 0)
        std::copy(w.data.begin() + (from - w.first), w.data.end(), data.begin());
    if (!readMono(s, from + kept, static_cast<long>(data.size()) - kept, data.data() + kept))
        return nullptr;
    for (long i = kept; i < static_cast<long>(data.size()); ++i)
        data[i] = s.peak > 0 ? data[i] / s.peak : 0.0f;
    w.data = std::move(data);
    w.first = from;
    return w.data.data();
}

double loudestPower(Transform &t, MonoSource &s, int hop) {
    double peak = 1e-20;
    SampleWindow w;
    for (long c = 0; c < s.total + hop; c += 4L * hop) {
        const float *x = samplesAt(s, w, c - t.size / 2, t.size);
        if (!x)
            return -1;
        spectrum(t, x);
        peak = std::max(peak, static_cast<double>(*std::max_element(t.power.begin(), t.power.end())));
    }
    return peak;
}
