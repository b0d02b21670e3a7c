// The sweep along a recording: both spectra every hop, band levels, rises and
// attack candidates, from samples in memory or from a file read in blocks.
#include "app/starter/refine/evidence.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "app/starter/refine/spectra.h"

namespace {

// Hops of rises a file's sweep holds before it looks for the attacks in them.
constexpr int SweepBlock = 2048;
// Hops of rises either side of a candidate that decide it.
constexpr int AttackReach = 5;
// A file whose levels and rises take at most this many bytes keeps them all (about 40 s of audio).
constexpr double KeptValuesBytes = 8 << 20;

// What one sweep works with.
struct Sweep {
    MonoSource &source;
    const EvidenceGeometry &g;
    AttackEvidence &e;
    bool keepPlanes;              // keep every level and rise (samples in memory)
    TransformPtr shortT, longT;
    BandTable shortBands, longBands;
    double shortRef = 0, longRef = 0;
    std::vector<float> shortRise, longRise;  // rows of hops [rowsFirst, ...)
    int rowsFirst = 0, searched = 0;         // hops before `searched` have been searched for attacks
};

// Searches the rows for attacks up to hop `to` and keeps the rows that later hops still need.
void searchRows(Sweep &s, int to) {
    findAttacksIn(RiseRows{s.rowsFirst, s.shortRise.data(), s.longRise.data()}, s.e.hops, s.e.hopSeconds, s.searched,
                  to, s.e.attacks);
    s.searched = to;
    if (s.keepPlanes)
        return;
    size_t drop = static_cast<size_t>(std::max(0, to - AttackReach - s.rowsFirst)) * PitchCount;
    s.shortRise.erase(s.shortRise.begin(), s.shortRise.begin() + static_cast<long>(drop));
    s.longRise.erase(s.longRise.begin(), s.longRise.begin() + static_cast<long>(drop));
    s.rowsFirst += static_cast<int>(drop / PitchCount);
}

// The rises of hop u (and with keepPlanes its levels), from the long levels at u - 8, u and u + 8.
void keepHop(Sweep &s, long u, LevelRing &longRing, const float *shortRow) {
    size_t row = s.shortRise.size();
    s.shortRise.insert(s.shortRise.end(), shortRow, shortRow + PitchCount);
    s.longRise.resize(row + PitchCount);
    size_t cells = static_cast<size_t>(s.e.hops) * PitchCount;
    float *partials = s.keepPlanes ? &s.e.partialRise[u * PitchCount] : nullptr;
    weightedRise(s.longBands, longRing.at(u + LongHalfSpan), longRing.at(u - LongHalfSpan), nullptr, &s.longRise[row],
                 partials, cells);
    if (!s.keepPlanes) {
        if (u + 1 - s.rowsFirst >= SweepBlock + 2 * AttackReach)
            searchRows(s, static_cast<int>(u + 1 - AttackReach));
        return;
    }
    const float *now = longRing.at(u);
    for (int p = 0; p < PitchCount; ++p) {
        float sum = 0;
        for (int h = 0; h < PartialCount; ++h)
            sum += s.longBands.partialWeight[p * PartialCount + h] * now[p * PartialCount + h];
        s.e.level[u * PitchCount + p] = sum;
        s.e.fundamentalLevel[u * PitchCount + p] = now[p * PartialCount];
    }
}

// Both spectra at every hop, the rises at each hop once the levels 8 hops later are known.
bool sweepHops(Sweep &s, const volatile std::sig_atomic_t *stop) {
    LevelRing shortRing = floorRing(ShortLagFar + 1), longRing = floorRing(2 * LongHalfSpan + 1);
    LevelRing shortRises{LongHalfSpan + 1, std::vector<float>((LongHalfSpan + 1) * BandsPerHop, 0.0f)};
    SampleWindow window;
    const long hop = s.g.hop, hops = s.e.hops;
    for (long t = 0; t < hops + LongHalfSpan; ++t) {
        if (stop && *stop && t % 64 == 0)
            return false;
        const float *x = samplesAt(s.source, window, t * hop - s.g.longSize / 2, s.g.longSize);
        if (!x)
            return false;
        if (t < hops) {
            spectrum(*s.shortT, x + (s.g.longSize - s.g.shortSize) / 2);
            bandLevels(*s.shortT, s.shortBands, s.shortRef, shortRing.at(t));
            weightedRise(s.shortBands, shortRing.at(t), shortRing.at(t - ShortLagNear), shortRing.at(t - ShortLagFar),
                         shortRises.at(t), nullptr, 0);
        }
        spectrum(*s.longT, x);
        bandLevels(*s.longT, s.longBands, s.longRef, longRing.at(t));
        if (t >= LongHalfSpan)
            keepHop(s, t - LongHalfSpan, longRing, shortRises.at(t - LongHalfSpan));
    }
    searchRows(s, static_cast<int>(hops));
    sortAttacks(s.e.attacks);
    return true;
}

// Measures the source: its scale, the loudest band, then the sweep; false on a read error or a stop.
bool measureSource(MonoSource &source, const EvidenceGeometry &g, AttackEvidence &e, bool keepPlanes,
                   const volatile std::sig_atomic_t *stop) {
    source.peak = monoPeak(source);
    if (source.peak < 0)
        return false;
    Sweep s{source, g, e, keepPlanes, makeTransform(g.shortSize), makeTransform(g.longSize),
            bandTable(g.shortSize, g.rate, g.referencePitch), bandTable(g.longSize, g.rate, g.referencePitch), 0, 0, {}, {}, 0, 0};
    s.longRef = loudestPower(*s.longT, source, g.hop);
    if (s.longRef < 0)
        return false;
    s.shortRef = s.longRef * std::pow(static_cast<double>(g.shortSize) / g.longSize, 2);
    e = AttackEvidence{};
    e.hopSeconds = static_cast<double>(g.hop) / g.rate;
    e.hops = static_cast<int>(source.total / g.hop) + 1;
    e.attacks.assign(PitchCount, {});
    e.source = EvidenceSource{"", g, source.peak, s.longRef, source.total};
    size_t cells = static_cast<size_t>(e.hops) * PitchCount;
    if (keepPlanes) {
        e.level.assign(cells, static_cast<float>(-LevelFloorDb));
        e.fundamentalLevel.assign(cells, static_cast<float>(-LevelFloorDb));
        e.partialRise.assign(cells * KeptPartials, 0);
        s.shortRise.reserve(cells);
        s.longRise.reserve(cells);
    }
    if (!sweepHops(s, stop))
        return false;
    if (keepPlanes)
        e.longRise = std::move(s.longRise);
    return true;
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
    MonoSource source;
    source.memory = &x;
    source.total = static_cast<long>(x.size());
    return measureSource(source, g, e, true, stop);
}

bool measureFile(const std::string &path, double referencePitch, AttackEvidence &e,
                 const volatile std::sig_atomic_t *stop, std::string &error) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, int (*)(SNDFILE *)> file(sf_open(path.c_str(), SFM_READ, &info), sf_close);
    if (!file || info.channels < 1 || info.samplerate < 1 || info.frames < 0) {
        error = "the recording " + path + " cannot be read (" + sf_strerror(file.get()) + ")";
        return false;
    }
    MonoSource source;
    source.file = file.get();
    source.channels = info.channels;
    source.total = static_cast<long>(info.frames);
    EvidenceGeometry g = geometryFor(info.samplerate, referencePitch);
    double valueBytes = (static_cast<double>(info.frames) / g.hop + 1) * PitchCount * (3 + KeptPartials) * sizeof(float);
    if (!measureSource(source, g, e, valueBytes <= KeptValuesBytes, stop)) {
        error = stop && *stop ? "cancelled" : "the recording " + path + " cannot be read to its end";
        return false;
    }
    e.source.path = path;
    return true;
}
