// The sweep along a recording: both spectra every hop, band levels, rises and
// attack candidates, from samples in memory or from a file read in blocks.
#include "app/starter/refine/evidence.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <thread>
#include <utility>

#include "app/starter/audio/progress.h"
#include "app/starter/audio/sound_file.h"
#include "app/starter/refine/spectra.h"

namespace {

// Hops of rises a file's sweep holds before it looks for the attacks in them: the rows searched
// stay small (a block's attacks are the same whatever its length, see findAttacksIn).
constexpr int SweepBlock = 256;
// Hops of rises either side of a candidate that decide it.
constexpr int AttackReach = AttackReachHops;
// A file whose levels and rises take at most this many bytes keeps them all (about 40 s of audio).
constexpr double KeptValuesBytes = 8 << 20;

// Hops a thread of a file's sweep takes at least.
constexpr int LeastHopsPerThread = 2048;

// The band tables and references every part of a sweep shares.
struct SweepTables {
    BandTable shortBands, longBands;
    double shortRef = 0, longRef = 0;
    bool allKeys = true;                   // else only the keys flagged:
    std::array<bool, PitchCount> attacked{}, measured{};  // attacks found; levels measured (see onlyKeys)
};

// What one part of a sweep works with: its own samples, transforms, rows and attacks.
struct Sweep {
    MonoSource source;
    const EvidenceGeometry &g;
    const SweepTables &tables;
    AttackEvidence &e;
    bool keepPlanes;              // keep every level and rise (samples in memory)
    TransformPtr shortT, longT;
    std::vector<float> shortRise, longRise;  // rows of hops [rowsFirst, ...)
    int rowsFirst = 0, searched = 0;         // hops before `searched` have been searched for attacks
    std::vector<std::vector<Attack>> attacks;
    long ownFrom = 0, ownTo = 0;             // the hops whose cells this part keeps
};

// Searches the rows for attacks up to hop `to` and keeps the rows that later hops still need.
void searchRows(Sweep &s, int to) {
    findAttacksIn(RiseRows{s.rowsFirst, s.shortRise.data(), s.longRise.data()}, s.e.hops, s.e.hopSeconds, s.searched,
                  to, s.attacks, s.tables.allKeys ? nullptr : s.tables.attacked.data());
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
    KeptCells &kept = s.e.cells;
    bool keepCells = !s.keepPlanes && kept.keys > 0 && u >= s.ownFrom && u < s.ownTo && u < kept.hops;
    float partialRises[KeptPartials * PitchCount];
    float *partials = s.keepPlanes ? &s.e.partialRise[u * PitchCount] : keepCells ? partialRises : nullptr;
    weightedRise(s.tables.longBands, longRing.at(u + LongHalfSpan), longRing.at(u - LongHalfSpan), nullptr, &s.longRise[row],
                 partials, s.keepPlanes ? cells : PitchCount);
    for (int p = 0; keepCells && p < PitchCount; ++p)
        if (kept.slot[p] >= 0)
            cellValues(s.tables.longBands, longRing.at(u), s.longRise[row + p], partialRises, PitchCount, p,
                       &kept.values[(static_cast<size_t>(u) * kept.keys + kept.slot[p]) * CellValues]);
    if (!s.keepPlanes) {
        if (u + 1 - s.rowsFirst >= SweepBlock + 2 * AttackReach)
            searchRows(s, static_cast<int>(u + 1 - AttackReach));
        return;
    }
    const float *now = longRing.at(u);
    for (int p = 0; p < PitchCount; ++p) {
        float sum = 0;
        for (int h = 0; h < PartialCount; ++h)
            sum += s.tables.longBands.partialWeight[p * PartialCount + h] * now[p * PartialCount + h];
        s.e.level[u * PitchCount + p] = sum;
        s.e.fundamentalLevel[u * PitchCount + p] = now[p * PartialCount];
    }
}

// The attacks of hops [from, to): both spectra at each hop that they depend on (the long one every
// LongEvery hops, drawn between), the rises at each hop once the levels 8 hops later are known.
bool sweepHops(Sweep &s, long from, long to, const std::atomic<bool> *stop) {
    LevelRing shortRing = floorRing(ShortLagFar + 1), longRing = floorRing(2 * LongHalfSpan + LongEvery);
    const int risesDepth = LongHalfSpan + LongEvery;
    LevelRing shortRises{risesDepth, std::vector<float>(static_cast<size_t>(risesDepth) * BandsPerHop, 0.0f)};
    SampleWindow window;
    const bool *measured = s.tables.allKeys ? nullptr : s.tables.measured.data();
    const long hop = s.g.hop, hops = s.e.hops;
    s.rowsFirst = static_cast<int>(std::max(0L, from - AttackReach));
    s.searched = static_cast<int>(from);
    s.ownFrom = from;
    s.ownTo = to;
    s.attacks.assign(PitchCount, {});
    const long first = measuredAtOrBefore(std::max(0L, from - AttackReach - LongHalfSpan));
    const long last = std::min(hops, to + AttackReach) + LongHalfSpan;
    // The long levels run on to the measured hop at or after the last hop.
    const long end = measuredAtOrBefore(last - 1 + LongEvery - 1) + 1;
    for (long t = first; t < end; ++t) {
        if (stop && *stop && t % 64 == 0)
            return false;
        if (t % 64 == 0)  // the parts are alike, so the calling thread's part tells how far the sweep is
            reportProgress(static_cast<double>(t - first), static_cast<double>(end - first));
        if (t % LongEvery != 0 && t >= last)
            continue;
        const float *x = samplesAt(s.source, window, t * hop - s.g.longSize / 2, s.g.longSize);
        if (!x)
            return false;
        if (t < hops && t < last) {
            spectrum(*s.shortT, x + (s.g.longSize - s.g.shortSize) / 2);
            bandLevels(*s.shortT, s.tables.shortBands, s.tables.shortRef, shortRing.at(t), measured);
            weightedRise(s.tables.shortBands, shortRing.at(t), shortRing.at(t - ShortLagNear),
                         shortRing.at(t - ShortLagFar), shortRises.at(t), nullptr, 0);
        }
        if (t % LongEvery != 0)
            continue;
        spectrum(*s.longT, x);
        bandLevels(*s.longT, s.tables.longBands, s.tables.longRef, longRing.at(t), measured);
        if (t > first)
            drawBetween(longRing, t - LongEvery, t);
        for (long u = std::max<long>(s.rowsFirst, t - LongEvery + 1 - LongHalfSpan); u <= std::min(t, last - 1) - LongHalfSpan; ++u)
            keepHop(s, u, longRing, shortRises.at(u));
    }
    searchRows(s, static_cast<int>(to));
    return true;
}

// Sweeps [0, hops) in parts of their own, one per thread (a file each), and collects their attacks in order.
bool sweepParts(std::vector<Sweep> &parts, AttackEvidence &e, const std::atomic<bool> *stop) {
    size_t n = parts.size();
    std::vector<char> done(n, 0);
    auto run = [&](size_t i) {
        done[i] = sweepHops(parts[i], e.hops * static_cast<long>(i) / static_cast<long>(n),
                            e.hops * static_cast<long>(i + 1) / static_cast<long>(n), stop);
    };
    std::vector<std::thread> threads;
    for (size_t i = 1; i < n; ++i)
        threads.emplace_back(run, i);
    run(0);
    for (std::thread &t : threads)
        t.join();
    e.attacks.assign(PitchCount, {});
    for (size_t i = 0; i < n; ++i)
        for (int p = 0; p < PitchCount; ++p)
            e.attacks[p].insert(e.attacks[p].end(), parts[i].attacks[p].begin(), parts[i].attacks[p].end());
    sortAttacks(e.attacks);
    return std::count(done.begin(), done.end(), 0) == 0;
}

// How many threads sweep a recording: the cores, each with a few blocks of hops.
size_t threadsFor(int hops) {
    size_t cores = std::max(1u, std::thread::hardware_concurrency());
    return std::clamp<size_t>(static_cast<size_t>(hops / LeastHopsPerThread), 1, std::min<size_t>(cores, 8));
}

// Room for the cells of the keys (MIDI notes) over as many first hops as `bytes` holds.
KeptCells keptCells(const std::vector<int> &keys, int hops, double bytes) {
    KeptCells c;
    c.slot.assign(PitchCount, -1);
    for (int key : keys)
        if (key >= LowestPitch && key <= HighestPitch && c.slot[key - LowestPitch] < 0)
            c.slot[key - LowestPitch] = c.keys++;
    double hopBytes = static_cast<double>(c.keys) * CellValues * sizeof(float);
    c.hops = c.keys == 0 ? 0 : static_cast<int>(std::min<double>(hops, std::floor(bytes / hopBytes)));
    c.values.assign(static_cast<size_t>(c.hops) * c.keys * CellValues, 0.0f);
    return c;
}

// Measures the source: its scale, the loudest band, then the sweep (in parts, each reading path
// again, when a path is given); false on a read error or a stop.
bool measureSource(MonoSource &source, const EvidenceGeometry &g, AttackEvidence &e, const std::string &path,
                   const std::atomic<bool> *stop, const EvidenceRequest &request = {}) {
    source.peak = monoPeak(source);
    if (source.peak < 0)
        return false;
    SweepTables tables{bandTable(g.shortSize, g.rate, g.referencePitch), bandTable(g.longSize, g.rate, g.referencePitch),
                       0, 0, !request.onlyKeys, {}, {}};
    // A key's attacks rest on its own rises and its neighbours' long rises, each on their levels.
    for (int key : request.keys)
        for (int p = key - LowestPitch - 1; p <= key - LowestPitch + 1; ++p)
            if (p >= 0 && p < PitchCount) {
                tables.attacked[p] = tables.attacked[p] || p == key - LowestPitch;
                tables.measured[p] = true;
            }
    widenToGroups(tables.measured.data());
    tables.longRef = loudestPower(*makeTransform(g.longSize), source, g.hop);
    if (tables.longRef < 0)
        return false;
    tables.shortRef = tables.longRef * std::pow(static_cast<double>(g.shortSize) / g.longSize, 2);
    e = AttackEvidence{};
    e.hopSeconds = static_cast<double>(g.hop) / g.rate;
    e.hops = static_cast<int>(source.total / g.hop) + 1;
    e.source = EvidenceSource{path, g, source.peak, tables.longRef, source.total};
    bool keepPlanes = path.empty();
    size_t cells = static_cast<size_t>(e.hops) * PitchCount, n = keepPlanes ? 1 : threadsFor(e.hops);
    std::vector<SndFile> files;
    std::vector<Sweep> parts;
    parts.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        parts.push_back({source, g, tables, e, keepPlanes, makeTransform(g.shortSize), makeTransform(g.longSize),
                         {}, {}, 0, 0, {}, 0, 0});
        SF_INFO info{};
        if (i > 0)
            files.emplace_back(sf_open(path.c_str(), SFM_READ, &info));
        if (i > 0 && !(parts[i].source.file = files.back().get()))
            return false;
    }
    if (!keepPlanes)
        e.cells = keptCells(request.keys, e.hops, request.cellsBytes);
    if (keepPlanes) {
        e.level.assign(cells, static_cast<float>(-LevelFloorDb));
        e.fundamentalLevel.assign(cells, static_cast<float>(-LevelFloorDb));
        e.partialRise.assign(cells * KeptPartials, 0);
        parts[0].shortRise.reserve(cells);
        parts[0].longRise.reserve(cells);
    }
    if (!sweepParts(parts, e, stop))
        return false;
    if (keepPlanes)
        e.longRise = std::move(parts[0].longRise);
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
                    const std::atomic<bool> *stop) {
    MonoSource source;
    source.memory = &x;
    source.total = static_cast<long>(x.size());
    return measureSource(source, g, e, "", stop);
}

bool measureFile(const std::string &path, double referencePitch, AttackEvidence &e,
                 const std::atomic<bool> *stop, std::string &error, const EvidenceRequest &request) {
    SF_INFO info{};
    SndFile file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file || info.channels < 1 || info.samplerate < 1 || info.frames < 0) {
        error = "the recording " + path + " cannot be read (" + sf_strerror(file.get()) + ")";
        return false;
    }
    MonoSource source;
    source.file = file.get();
    source.channels = info.channels;
    source.pcm16 = holds16Bit(info.format);
    source.total = static_cast<long>(info.frames);
    EvidenceGeometry g = geometryFor(info.samplerate, referencePitch);
    double valueBytes = (static_cast<double>(info.frames) / g.hop + 1) * PitchCount * (3 + KeptPartials) * sizeof(float);
    if (!measureSource(source, g, e, valueBytes <= KeptValuesBytes ? "" : path, stop, request)) {
        error = stop && *stop ? "cancelled" : "the recording " + path + " cannot be read to its end";
        return false;
    }
    return true;
}
