// Sampling the onset strength, the bass and the chroma on the grid of beat units.
#include "app/starter/metre/evidence.h"

#include <algorithm>
#include <cmath>

#include "app/starter/metre/beat_track.h"

namespace {

// The onset strength peaks about one hop after an attack.
constexpr double LatencyHops = 1;

// The values in units of their standard deviation around their mean (all 0 when constant).
std::vector<double> standardised(const std::vector<float> &v) {
    double mean = 0, energy = 0;
    for (float x : v)
        mean += x;
    mean /= std::max<size_t>(v.size(), 1);
    for (float x : v)
        energy += (x - mean) * (x - mean);
    double sd = std::sqrt(energy / std::max<size_t>(v.size(), 1));
    std::vector<double> z(v.size(), 0.0);
    for (size_t i = 0; sd > 0 && std::isfinite(sd) && i < v.size(); ++i)
        z[i] = (v[i] - mean) / sd;
    return z;
}

// Onsets are the local peaks of the strength: within this many hops either side (35 ms at
// the usual hop), so the decay after an attack is not read as another accent.
constexpr long PeakReachHops = 3;

// The values at their local peaks; elsewhere the median, as if nothing happened there.
std::vector<double> peaksOnly(const std::vector<double> &z) {
    std::vector<double> sorted(z);
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    double floor = sorted.empty() ? 0 : sorted[sorted.size() / 2];
    std::vector<double> out(z.size(), floor);
    long n = static_cast<long>(z.size());
    for (long h = 0; h < n; ++h) {
        bool peak = true;
        for (long d = -PeakReachHops; peak && d <= PeakReachHops; ++d)
            if (d != 0 && h + d >= 0 && h + d < n)
                peak = d < 0 ? z[static_cast<size_t>(h)] > z[static_cast<size_t>(h + d)]
                             : z[static_cast<size_t>(h)] >= z[static_cast<size_t>(h + d)];
        if (peak)
            out[static_cast<size_t>(h)] = std::max(z[static_cast<size_t>(h)], floor);
    }
    return out;
}

// The hop of a time in seconds, clamped to the hops there are.
long hopAt(const BeatTrack &t, double seconds, size_t hops) {
    double h = std::floor((seconds - t.regionStart) / t.hopSeconds + 0.5);
    return static_cast<long>(std::clamp(h, 0.0, static_cast<double>(hops) - 1));
}

// The largest value of z within half a unit either side of each unit time.
std::vector<double> peaksAtUnits(const BeatTrack &t, const std::vector<double> &z, const std::vector<double> &times) {
    std::vector<double> out;
    for (size_t k = 0; k + 1 < times.size(); ++k) {
        double half = (times[k + 1] - times[k]) / 2, lag = LatencyHops * t.hopSeconds;
        long from = hopAt(t, times[k] - half + lag, z.size()), to = hopAt(t, times[k] + half + lag, z.size());
        double best = z[static_cast<size_t>(from)];
        for (long h = from; h <= to; ++h)
            best = std::max(best, z[static_cast<size_t>(h)]);
        out.push_back(best);
    }
    return out;
}

}  // namespace

double unitTime(const std::vector<double> &beats, long k) {
    long last = static_cast<long>(beats.size()) - 1;
    long i = std::clamp<long>(k >= 0 ? k / MetreUnitsPerBeat : -1, 0, last - 1);
    double share = static_cast<double>(k - i * MetreUnitsPerBeat) / MetreUnitsPerBeat;
    return beats[static_cast<size_t>(i)] + share * (beats[static_cast<size_t>(i + 1)] - beats[static_cast<size_t>(i)]);
}

MetreEvidence gatherEvidence(const BeatTrack &t, const std::vector<double> &beats) {
    MetreEvidence e;
    if (beats.size() < 2 || t.onsetStrength.empty() || !(t.hopSeconds > 0))
        return e;
    std::vector<double> times;
    long units = static_cast<long>(beats.size() - 1) * MetreUnitsPerBeat;
    for (long k = 0; k <= units + 1; ++k)
        times.push_back(unitTime(beats, k));
    e.accents = peaksAtUnits(t, peaksOnly(standardised(t.onsetStrength)), times);
    std::vector<float> bass = t.spectrum.bassFlux;
    bass.resize(t.onsetStrength.size(), 0.0f);
    e.bass = peaksAtUnits(t, peaksOnly(standardised(bass)), times);
    size_t hops = chromaHops(t.spectrum);
    for (size_t k = 0; k + 1 < times.size(); ++k) {
        std::array<double, 12> sum{};
        long from = hopAt(t, times[k], hops + 1), to = hopAt(t, times[k + 1], hops + 1);
        for (long h = from; h < to && static_cast<size_t>(h) < hops; ++h)
            for (size_t p = 0; p < 12; ++p)
                sum[p] += chromaAt(t.spectrum, static_cast<size_t>(h))[p];
        addChroma(e, sum);
    }
    e.trackedTempo = meanTempo(beats);
    return e;
}

double medianOf(std::vector<double> v) {
    if (v.empty())
        return 0;
    size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    double upper = v[mid];
    if (v.size() % 2 == 1)
        return upper;
    return (*std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid)) + upper) / 2;
}

double medianTempo(const std::vector<double> &beats) {
    // Spans of eight (or four) beats smooth the beats' step of one analysis hop.
    size_t span = beats.size() > 24 ? 8 : beats.size() > 8 ? 4 : 1;
    std::vector<double> d;
    for (size_t i = span; i < beats.size(); ++i)
        d.push_back((beats[i] - beats[i - span]) / static_cast<double>(span));
    double m = medianOf(d);
    return m > 0 ? 60 / m : 0;
}

double meanTempo(const std::vector<double> &beats) {
    double span = beats.size() < 2 ? 0 : beats.back() - beats.front();
    return span > 0 ? 60 * static_cast<double>(beats.size() - 1) / span : 0;
}

void addChroma(MetreEvidence &e, const std::array<double, 12> &chroma) {
    if (e.chromaSums.empty())
        e.chromaSums.push_back({});
    std::array<double, 12> next = e.chromaSums.back();
    for (size_t p = 0; p < 12; ++p)
        next[p] = e.chromaSums.back()[p] + chroma[p];
    e.chromaSums.push_back(next);
}

size_t chromaUnits(const MetreEvidence &e) { return e.chromaSums.empty() ? 0 : e.chromaSums.size() - 1; }

double correlation(const std::vector<double> &a, const std::vector<double> &b) {
    size_t n = std::min(a.size(), b.size());
    if (n == 0)
        return 0;
    double ma = 0, mb = 0;
    for (size_t i = 0; i < n; ++i)
        ma += a[i], mb += b[i];
    ma /= static_cast<double>(n), mb /= static_cast<double>(n);
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < n; ++i)
        ab += (a[i] - ma) * (b[i] - mb), aa += (a[i] - ma) * (a[i] - ma), bb += (b[i] - mb) * (b[i] - mb);
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}
