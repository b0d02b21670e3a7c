// Short-time spectra with FFTW and per-key band levels and rises, one hop at a time.
#include "app/starter/refine/evidence.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include <fftw3.h>
#include <sndfile.h>

#include "app/starter/audio/progress.h"

namespace {

// Hops between the levels a short rise compares, and half the span of a long rise.
constexpr int ShortLagNear = 2, ShortLagFar = 3, LongHalfSpan = 8;

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

std::mutex planLock;  // FFTW's planner is not thread-safe

// FFTW plans by size, destroyed with FFTW's own tables when the process ends.
struct PlanCache {
    std::map<int, fftwf_plan> plans;
    ~PlanCache() {
        for (auto &entry : plans)
            fftwf_destroy_plan(entry.second);
        fftwf_cleanup();
    }
};

// The plan of a size, made once and kept for the life of the process.
fftwf_plan planFor(int size, float *in, fftwf_complex *out) {
    static PlanCache cache;
    std::lock_guard<std::mutex> guard(planLock);
    auto it = cache.plans.find(size);
    if (it == cache.plans.end())
        it = cache.plans.emplace(size, fftwf_plan_dft_r2c_1d(size, in, out, FFTW_ESTIMATE)).first;
    return it->second;
}

struct TransformDeleter {
    void operator()(Transform *t) const {
        fftwf_free(t->input);
        fftwf_free(t->output);
        delete t;
    }
};
using TransformPtr = std::unique_ptr<Transform, TransformDeleter>;

TransformPtr makeTransform(int size) {
    TransformPtr t(new Transform);
    t->size = size;
    t->input = static_cast<float *>(fftwf_malloc(sizeof(float) * size));
    t->output = static_cast<fftwf_complex *>(fftwf_malloc(sizeof(fftwf_complex) * (size / 2 + 1)));
    t->plan = planFor(size, t->input, t->output);
    t->window.resize(size);
    for (int i = 0; i < size; ++i)
        t->window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * M_PI * i / size));
    t->power.resize(size / 2 + 1);
    return t;
}

// Power spectrum of the window centred on sample centre (zeros outside the recording).
void spectrum(Transform &t, const std::vector<float> &x, long centre) {
    long start = centre - t.size / 2;
    for (int i = 0; i < t.size; ++i) {
        long n = start + i;
        t.input[i] = n >= 0 && n < static_cast<long>(x.size()) ? x[n] * t.window[i] : 0.0f;
    }
    fftwf_execute_dft_r2c(t.plan, t.input, t.output);
    for (int k = 0; k <= t.size / 2; ++k)
        t.power[k] = t.output[k][0] * t.output[k][0] + t.output[k][1] * t.output[k][1];
}

// Triangular bands of half a semitone each side (at least 1.5 bins) around every partial.
BandTable bandTable(int size, int rate, double referencePitch) {
    BandTable table;
    table.bands.resize(PitchCount * PartialCount);
    table.partialWeight.assign(PitchCount * PartialCount, 0);
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

// Levels in dB re reference (floored LevelFloorDb below it) of every key's partials.
void bandLevels(const Transform &t, const BandTable &table, double reference, float *levels) {
    const double floor = std::pow(10.0, -LevelFloorDb / 10);
    for (size_t i = 0; i < table.bands.size(); ++i) {
        const Band &b = table.bands[i];
        double e = 0;
        for (int k = 0; k < b.count; ++k)
            e += table.weights[b.weightStart + k] * t.power[b.first + k];
        levels[i] = static_cast<float>(10 * std::log10(e / reference + floor));
    }
}

// The loudest bin power of the long window, sampled every fourth hop.
double loudestPower(Transform &t, const std::vector<float> &x, int hop) {
    double peak = 1e-20;
    for (long c = 0; c < static_cast<long>(x.size()) + hop; c += 4L * hop) {
        spectrum(t, x, c);
        peak = std::max(peak, static_cast<double>(*std::max_element(t.power.begin(), t.power.end())));
    }
    return peak;
}

// Ring of per-partial levels over the last hops.
struct LevelRing {
    int depth;
    std::vector<float> values;  // depth x PitchCount x PartialCount
    float *at(long hop) { return values.data() + ((hop % depth + depth) % depth) * PitchCount * PartialCount; }
};

// The 1/h-weighted sum of the positive rises between two hops' levels, per key; partial rises optionally.
void weightedRise(const BandTable &table, const float *now, const float *before, const float *before2,
                  float *out, float *partials, size_t partialStride) {
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

}  // namespace

EvidenceGeometry geometryFor(int rate, double referencePitch) {
    EvidenceGeometry g;
    g.rate = rate;
    g.hop = std::max(1, static_cast<int>(std::lround(rate * 0.01)));
    auto scaled = [&](int size) {
        int n = 16;
        while (n * 2 <= size * static_cast<double>(rate) / 44100 * 1.414)
            n *= 2;
        return n;
    };
    g.shortSize = scaled(2048);
    g.longSize = scaled(8192);
    g.referencePitch = referencePitch;
    return g;
}

bool measureSamples(std::vector<float> x, const EvidenceGeometry &g, AttackEvidence &e,
                    const volatile std::sig_atomic_t *stop) {
    float peak = 0;
    for (float v : x)
        peak = std::max(peak, std::abs(v));
    for (float &v : x)
        v = peak > 0 ? v / peak : 0.0f;
    TransformPtr shortT = makeTransform(g.shortSize), longT = makeTransform(g.longSize);
    BandTable shortBands = bandTable(g.shortSize, g.rate, g.referencePitch);
    BandTable longBands = bandTable(g.longSize, g.rate, g.referencePitch);
    double longRef = loudestPower(*longT, x, g.hop);
    double shortRef = longRef * std::pow(static_cast<double>(g.shortSize) / g.longSize, 2);
    e = AttackEvidence{};
    e.hopSeconds = static_cast<double>(g.hop) / g.rate;
    e.hops = static_cast<int>(x.size() / g.hop) + 1;
    size_t cells = static_cast<size_t>(e.hops) * PitchCount;
    e.level.assign(cells, static_cast<float>(-LevelFloorDb));
    e.fundamentalLevel.assign(cells, static_cast<float>(-LevelFloorDb));
    e.longRise.assign(cells, 0);
    e.shortRise.assign(cells, 0);
    e.partialRise.assign(cells * KeptPartials, 0);
    LevelRing shortRing{ShortLagFar + 1, std::vector<float>((ShortLagFar + 1) * PitchCount * PartialCount,
                                                            static_cast<float>(-LevelFloorDb))};
    LevelRing longRing{2 * LongHalfSpan + 1, std::vector<float>((2 * LongHalfSpan + 1) * PitchCount * PartialCount,
                                                                static_cast<float>(-LevelFloorDb))};
    for (long t = 0; t < e.hops + LongHalfSpan; ++t) {
        if (stop && *stop && t % 64 == 0)
            return false;
        if (t % 64 == 0)
            reportProgress(static_cast<double>(t), static_cast<double>(e.hops + LongHalfSpan));
        if (t < e.hops) {
            spectrum(*shortT, x, t * g.hop);
            bandLevels(*shortT, shortBands, shortRef, shortRing.at(t));
            weightedRise(shortBands, shortRing.at(t), shortRing.at(t - ShortLagNear), shortRing.at(t - ShortLagFar),
                         &e.shortRise[t * PitchCount], nullptr, 0);
        }
        spectrum(*longT, x, t * g.hop);
        bandLevels(*longT, longBands, longRef, longRing.at(t));
        long u = t - LongHalfSpan;
        if (u < 0)
            continue;
        weightedRise(longBands, longRing.at(t), longRing.at(u - LongHalfSpan), nullptr, &e.longRise[u * PitchCount],
                     &e.partialRise[u * PitchCount], cells);
        const float *now = longRing.at(u);
        for (int p = 0; p < PitchCount; ++p) {
            float sum = 0;
            for (int h = 0; h < PartialCount; ++h)
                sum += longBands.partialWeight[p * PartialCount + h] * now[p * PartialCount + h];
            e.level[u * PitchCount + p] = sum;
            e.fundamentalLevel[u * PitchCount + p] = now[p * PartialCount];
        }
    }
    findAttacks(e);
    e.shortRise = std::vector<float>();  // only the candidates need it
    return true;
}

bool measureFile(const std::string &path, double referencePitch, AttackEvidence &e,
                 const volatile std::sig_atomic_t *stop, std::string &error) {
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        error = "the recording " + path + " cannot be read (" + sf_strerror(nullptr) + ")";
        return false;
    }
    std::vector<float> mono, block(4096 * static_cast<size_t>(std::max(1, info.channels)));
    if (info.frames > 0 && info.frames < (sf_count_t(1) << 36))
        mono.reserve(static_cast<size_t>(info.frames));
    sf_count_t got;
    while ((got = sf_readf_float(file, block.data(), 4096)) > 0) {
        for (sf_count_t i = 0; i < got; ++i) {
            float sum = 0;
            for (int c = 0; c < info.channels; ++c)
                sum += block[i * info.channels + c];
            mono.push_back(sum / info.channels);
        }
    }
    sf_close(file);
    if (!measureSamples(std::move(mono), geometryFor(info.samplerate, referencePitch), e, stop)) {
        error = "cancelled";
        return false;
    }
    return true;
}
