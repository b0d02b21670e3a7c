// Probes answered from the values kept, or measured in one pass along the
// long window's levels over the hops they cover.
#include "app/starter/refine/probes.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <thread>
#include <tuple>

#include "app/starter/audio/sound_file.h"
#include "app/starter/refine/spectra.h"

namespace {

// Hops closer than this between two probes' spans are measured in one stretch.
constexpr int JoinedGap = 2 * LongHalfSpan + 1;
// Hops a thread measures at least.
constexpr long LeastHopsPerThread = 2048;

// Probes measured one at a time, by every thread of the process (see probesMeasuredAlone).
struct {
    std::atomic<size_t> count{0};
} MeasuredAlone;

// The values of one key at one hop that probes read.
struct Cell {
    float level = 0, fundamental = 0, rise = 0;
    float partial[KeptPartials] = {};
};

bool measurable(int pitch) { return pitch >= LowestPitch && pitch <= HighestPitch; }

int intervalOf(ProbeKind k) {
    return k == ProbeKind::PartnerRise12 ? 12 : k == ProbeKind::PartnerRise19 ? 19 : k == ProbeKind::PartnerRise24 ? 24 : 0;
}

bool keepsValues(const AttackEvidence &e) {
    size_t cells = static_cast<size_t>(e.hops) * PitchCount;
    return e.level.size() == cells && e.fundamentalLevel.size() == cells && e.longRise.size() == cells &&
           e.partialRise.size() == cells * KeptPartials;
}

// A probe's answer on its way, taken hop by hop over its span: the sum of its levels, or the largest
// of its rises.
struct Fold {
    double sum = 0;
    float best = 0;
};

// A fold before the first hop: a partner rise starts below any rise, the others at 0.
Fold startFold(const Probe &q) { return Fold{0, intervalOf(q.kind) != 0 ? -1e9f : 0.0f}; }

// Takes the cells at one hop u of a probe's span into its fold, `times` times over (a hop outside the
// recording reads the nearest hop's cells); cell(pitch) gives the cells of that hop, asked only for
// the keys the probe reads (its key when measurable, and a partner's lower key when measurable).
template <class CellOf> void foldHop(const Probe &q, int hops, Fold &f, long times, CellOf cell) {
    static const float unshared12[KeptPartials] = {1.0f, 0.0f, 1.0f / 3};
    static const float unshared19[KeptPartials] = {1.0f, 0.5f, 0.0f};
    static const float unshared24[KeptPartials] = {1.0f, 0.5f, 1.0f / 3};
    const int interval = intervalOf(q.kind), lower = q.pitch - interval;
    if (interval != 0) {
        // The largest rise of the key beyond what the lower key's partials that it does not share explain.
        const float *weights = interval == 12 ? unshared12 : interval == 19 ? unshared19 : unshared24;
        float total = weights[0] + weights[1] + weights[2], explained = 0;
        for (int h = 0; h < KeptPartials && measurable(lower) && hops > 0; ++h)
            explained += weights[h] * cell(lower).partial[h];
        float rise = hops == 0 || !measurable(q.pitch) ? 0.0f : cell(q.pitch).rise;
        if (times > 0)
            f.best = std::max(f.best, rise - explained / total);
    } else if (q.kind == ProbeKind::FundamentalRise) {
        if (times > 0 && hops > 0 && measurable(q.pitch))
            f.best = std::max(f.best, cell(q.pitch).partial[0]);
    } else if (hops > 0 && measurable(q.pitch)) {
        // A sum takes the hop as often as the span reads it, one at a time, as the hops come.
        const Cell c = cell(q.pitch);
        for (long i = 0; i < times; ++i)
            f.sum += q.kind == ProbeKind::MeanLevel ? c.level : c.fundamental;
    }
}

// The answer a probe's fold over its whole span gives.
double finishFold(const Probe &q, const Fold &f) {
    if (intervalOf(q.kind) != 0 || q.kind == ProbeKind::FundamentalRise)
        return f.best;
    return f.sum / (q.to - q.from + 1);
}

// A probe's answer from the cells of its hops; cell(hop, pitch) is asked for hops within the recording.
template <class CellAt> double evaluate(const Probe &q, int hops, CellAt cell) {
    Fold f = startFold(q);
    for (int u = q.from; u <= q.to; ++u) {
        int hop = std::clamp(u, 0, std::max(0, hops - 1));
        foldHop(q, hops, f, 1, [&cell, hop](int pitch) { return cell(hop, pitch); });
    }
    return finishFold(q, f);
}

// The cell of a key at a hop from the values kept.
Cell keptCell(const AttackEvidence &e, int hop, int pitch) {
    size_t at = static_cast<size_t>(hop) * PitchCount + static_cast<size_t>(pitch - LowestPitch);
    size_t plane = static_cast<size_t>(e.hops) * PitchCount;
    Cell c{e.level[at], e.fundamentalLevel[at], e.longRise[at], {}};
    for (int h = 0; h < KeptPartials; ++h)
        c.partial[h] = e.partialRise[h * plane + at];
    return c;
}

// A probe on its way: its fold over the hops of its span seen so far.
struct Pending {
    uint32_t index;   // of the probe
    int first, last;  // its span clamped into the recording
    Fold fold;
};

// A cell from its values in the order KeptCells keeps them.
Cell cellOf(const float *values) {
    Cell c{values[0], values[1], values[2], {}};
    for (int h = 0; h < KeptPartials; ++h)
        c.partial[h] = values[3 + h];
    return c;
}

// The cell of a key at a hop from the cells a sweep kept.
Cell sweptCell(const KeptCells &k, int hop, int pitch) {
    return cellOf(&k.values[(static_cast<size_t>(hop) * k.keys + k.slot[pitch - LowestPitch]) * CellValues]);
}

// Whether the sweep kept every cell a probe reads (its key's, and its lower key's, over its hops).
bool sweptCovers(const AttackEvidence &e, const Probe &q) {
    const KeptCells &k = e.cells;
    auto kept = [&k](int pitch) { return measurable(pitch) && k.slot[pitch - LowestPitch] >= 0; };
    int lower = q.pitch - intervalOf(q.kind);
    return k.keys > 0 && e.hops > 0 && q.to >= q.from && kept(q.pitch) &&
           (intervalOf(q.kind) == 0 || !measurable(lower) || kept(lower)) && std::clamp(q.to, 0, e.hops - 1) < k.hops;
}

// The cells of the keys flagged at hop u from the long levels at u - 8, u and u + 8.
void cellsAt(const BandTable &bands, LevelRing &ring, long u, const bool *keys, std::vector<Cell> &cells) {
    float rise[PitchCount], partials[KeptPartials * PitchCount], values[CellValues];
    weightedRise(bands, ring.at(u + LongHalfSpan), ring.at(u - LongHalfSpan), nullptr, rise, partials, PitchCount, keys);
    for (int p = 0; p < PitchCount; ++p)
        if (keys[p]) {
            cellValues(bands, ring.at(u), rise[p], partials, PitchCount, p, values);
            cells[p] = cellOf(values);
        }
}

// What one measuring pass (or one thread of it) works with.
struct ProbePass {
    const AttackEvidence &e;
    MonoSource source;
    TransformPtr longT;
    const BandTable &bands;
    SampleWindow window;
    const std::vector<Probe> &probes;
    std::vector<double> &answers;
    const std::vector<uint32_t> &order;  // probes by the first hop they cover
    size_t next, end;                    // the part of order this pass measures
    std::vector<Pending> active;
};

// A stretch of hops measured in one go, and the probes in it: order[begin, end).
struct Stretch {
    int from, to;
    size_t begin, end;
};

// The first and last hop a probe covers in a recording of `hops` hops.
int firstHop(const Probe &q, int hops) { return std::clamp(q.from, 0, hops - 1); }
int lastHop(const Probe &q, int hops) { return std::clamp(q.to, 0, hops - 1); }

// How many hops of a probe's span read the cells of hop u of a recording of `hops` hops (those before
// the recording read its first hop's, those after it its last hop's).
long timesRead(const Probe &q, int hops, int u) {
    long low = u == 0 ? std::min(q.from, 0) : u, high = u == hops - 1 ? std::max(q.to, u) : u;
    return std::max(0L, std::min<long>(q.to, high) - std::max<long>(q.from, low) + 1);
}

// Hands the cells of hop u to the probes that cover it, and answers those that end there.
void feedProbes(ProbePass &s, int u, const std::vector<Cell> &cells) {
    for (; s.next < s.end && firstHop(s.probes[s.order[s.next]], s.e.hops) == u; ++s.next) {
        const Probe &q = s.probes[s.order[s.next]];
        s.active.push_back({s.order[s.next], u, lastHop(q, s.e.hops), startFold(q)});
    }
    for (Pending &p : s.active) {
        const Probe &q = s.probes[p.index];
        foldHop(q, s.e.hops, p.fold, timesRead(q, s.e.hops, u), [&cells](int pitch) { return cells[pitch - LowestPitch]; });
        if (p.last == u)
            s.answers[p.index] = finishFold(q, p.fold);
    }
    s.active.erase(std::remove_if(s.active.begin(), s.active.end(), [u](const Pending &p) { return p.last == u; }),
                   s.active.end());
}

// The keys whose long levels the probes of a stretch read at a hop, as the hops go forward.
struct KeyWants {
    size_t next = 0;  // the first probe (in order) not yet counted in
    std::priority_queue<std::pair<int, int>, std::vector<std::pair<int, int>>, std::greater<>> ends;  // (hop, key)
    int count[PitchCount] = {};
    bool wanted[PitchCount] = {};
};

// Counts in the keys of the probes in order[k.next, end) whose levels are read from hop t on, and
// counts out those no longer read at t. A probe reads the levels of its key (and of its lower key)
// over its hops and LongHalfSpan either side, where its rises look; the levels drawn between
// measured hops need those of the measured hops either side.
void wantsAt(const ProbePass &s, size_t end, KeyWants &k, long t) {
    for (; k.next < end; ++k.next) {
        const Probe &q = s.probes[s.order[k.next]];
        if (firstHop(q, s.e.hops) - LongHalfSpan - (LongEvery - 1) > t)
            break;  // the probes come by their first hop
        int to = lastHop(q, s.e.hops) + LongHalfSpan + LongEvery;
        for (int key : {int{q.pitch}, q.pitch - intervalOf(q.kind)})
            if (measurable(key) && (key == q.pitch || intervalOf(q.kind) != 0)) {
                k.count[key - LowestPitch] += 1;
                k.wanted[key - LowestPitch] = true;
                k.ends.push({to, key - LowestPitch});
            }
    }
    for (; !k.ends.empty() && k.ends.top().first <= t; k.ends.pop()) {
        int p = k.ends.top().second;
        k.wanted[p] = --k.count[p] > 0;
    }
}

// Measures the long levels over hops [from - 8, to + 8] and feeds the cells of [from, to]; false on a
// read error. Only the levels of the keys the stretch's probes read at each hop are measured.
bool measureStretch(ProbePass &s, const Stretch &stretch) {
    const EvidenceGeometry &g = s.e.source.geometry;
    const int from = stretch.from, to = stretch.to;
    LevelRing ring = floorRing(2 * LongHalfSpan + LongEvery);
    std::vector<Cell> cells(PitchCount);
    KeyWants keys;
    keys.next = stretch.begin;
    const bool *wanted = keys.wanted;
    const long first = measuredAtOrBefore(std::max(0, from - LongHalfSpan));
    for (long t = first; t <= measuredAtOrBefore(to + LongHalfSpan + LongEvery - 1); t += LongEvery) {
        wantsAt(s, stretch.end, keys, t);
        const float *x = samplesAt(s.source, s.window, t * g.hop - g.longSize / 2, g.longSize);
        if (!x)
            return false;
        spectrum(*s.longT, x);
        bandLevels(*s.longT, s.bands, s.e.source.longReference, ring.at(t), wanted);
        if (t > first)
            drawBetween(ring, t - LongEvery, t, wanted);
        for (long u = std::max<long>(from, t - LongEvery + 1 - LongHalfSpan); u <= std::min<long>(t - LongHalfSpan, to); ++u) {
            // The probes fed at u read the keys wanted from u - 8 on (see wantsAt), so at t too.
            cellsAt(s.bands, ring, u, wanted, cells);
            feedProbes(s, static_cast<int>(u), cells);
        }
    }
    return true;
}

// The stretches of hops the probes in order cover, probes closer than JoinedGap joined.
std::vector<Stretch> stretchesOf(const std::vector<Probe> &probes, const std::vector<uint32_t> &order, int hops) {
    std::vector<Stretch> stretches;
    for (size_t i = 0; i < order.size();) {
        Stretch s{firstHop(probes[order[i]], hops), lastHop(probes[order[i]], hops), i, 0};
        for (++i; i < order.size() && firstHop(probes[order[i]], hops) <= s.to + JoinedGap; ++i)
            s.to = std::max(s.to, lastHop(probes[order[i]], hops));
        s.end = i;
        stretches.push_back(s);
    }
    return stretches;
}

// Measures stretches [first, last) on a file of its own; false when it cannot be read.
bool measureStretches(const AttackEvidence &e, const BandTable &bands, const std::vector<Probe> &probes,
                      std::vector<double> &answers, const std::vector<uint32_t> &order,
                      const std::vector<Stretch> &stretches, size_t first, size_t last) {
    if (first >= last)
        return true;
    SF_INFO info{};
    SndFile file(sf_open(e.source.path.c_str(), SFM_READ, &info));
    if (!file || info.channels < 1)
        return false;
    ProbePass s{e, MonoSource{}, makeTransform(e.source.geometry.longSize), bands, {}, probes, answers, order,
                stretches[first].begin, stretches[last - 1].end, {}};
    s.source.file = file.get();
    s.source.channels = info.channels;
    s.source.pcm16 = holds16Bit(info.format);
    s.source.total = e.source.frames;
    s.source.peak = e.source.peak;
    for (size_t i = first; i < last; ++i)
        if (!measureStretch(s, stretches[i]))
            return false;
    return true;
}

// Measures the probes at the indices in order along the recording into their answers (one per probe),
// its stretches shared out among the cores; false when the file cannot be read again.
bool measureProbes(const AttackEvidence &e, const std::vector<Probe> &probes, std::vector<uint32_t> order,
                   std::vector<double> &answers) {
    const EvidenceGeometry &g = e.source.geometry;
    BandTable bands = bandTable(g.longSize, g.rate, g.referencePitch);
    // A probe without hops reads no cell.
    auto empty = [&probes](uint32_t i) { return probes[i].to < probes[i].from; };
    for (uint32_t i : order)
        if (empty(i))
            answers[i] = evaluate(probes[i], e.hops, [](int, int) { return Cell{}; });
    order.erase(std::remove_if(order.begin(), order.end(), empty), order.end());
    if (order.empty())
        return true;
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return firstHop(probes[a], e.hops) < firstHop(probes[b], e.hops); });
    std::vector<Stretch> stretches = stretchesOf(probes, order, e.hops);
    long hops = 0;
    for (const Stretch &s : stretches)
        hops += s.to - s.from + 1;
    size_t parts = std::clamp<size_t>(static_cast<size_t>(hops / LeastHopsPerThread), 1,
                                      std::max(1u, std::min(8u, std::thread::hardware_concurrency())));
    // Part i takes the stretches that begin in its share of the hops measured.
    std::vector<size_t> bounds{0};
    long seen = 0;
    for (size_t i = 0; i < stretches.size(); ++i) {
        if (seen * static_cast<long>(parts) >= hops * static_cast<long>(bounds.size()) && bounds.back() != i)
            bounds.push_back(i);
        seen += stretches[i].to - stretches[i].from + 1;
    }
    bounds.push_back(stretches.size());
    std::vector<char> ok(bounds.size() - 1, 0);
    auto run = [&](size_t k) {
        ok[k] = measureStretches(e, bands, probes, answers, order, stretches, bounds[k], bounds[k + 1]);
    };
    std::vector<std::thread> threads;
    for (size_t k = 1; k + 1 < bounds.size(); ++k)
        threads.emplace_back(run, k);
    run(0);
    for (std::thread &t : threads)
        t.join();
    return std::count(ok.begin(), ok.end(), 0) == 0;
}

}  // namespace

ProbeKind partnerKind(int interval) {
    return interval == 12 ? ProbeKind::PartnerRise12 : interval == 19 ? ProbeKind::PartnerRise19 : ProbeKind::PartnerRise24;
}

void keepEachOnce(std::vector<Probe> &probes) {
    std::sort(probes.begin(), probes.end());
    probes.erase(std::unique(probes.begin(), probes.end()), probes.end());
}

ProbedEvidence probeEvidence(const AttackEvidence &e, std::vector<Probe> wanted) {
    ProbedEvidence v{e, {}, {}};
    if (keepsValues(e) || e.source.path.empty() || e.hops <= 0)
        return v;
    keepEachOnce(wanted);
    wanted.shrink_to_fit();
    // Those whose cells the sweep kept are read; the rest are measured again.
    std::vector<double> answers(wanted.size(), 0);
    auto swept = [&e](int hop, int pitch) { return sweptCell(e.cells, hop, pitch); };
    size_t again = 0;
    for (size_t i = 0; i < wanted.size(); ++i)
        if (sweptCovers(e, wanted[i]))
            answers[i] = evaluate(wanted[i], e.hops, swept);
        else
            again += 1;
    std::vector<uint32_t> measured;
    measured.reserve(again);
    for (size_t i = 0; i < wanted.size(); ++i)
        if (!sweptCovers(e, wanted[i]))
            measured.push_back(static_cast<uint32_t>(i));
    if (!measureProbes(e, wanted, std::move(measured), answers))
        return v;
    v.probes = std::move(wanted);
    v.answers = std::move(answers);
    return v;
}

size_t probesMeasuredAlone() { return MeasuredAlone.count; }

double probeValue(const ProbedEvidence &v, const Probe &q) {
    const AttackEvidence &e = v.evidence;
    if (keepsValues(e))
        return evaluate(q, e.hops, [&e](int hop, int pitch) { return keptCell(e, hop, pitch); });
    auto it = std::lower_bound(v.probes.begin(), v.probes.end(), q);
    if (it != v.probes.end() && *it == q)
        return v.answers[static_cast<size_t>(it - v.probes.begin())];
    if (sweptCovers(e, q))
        return evaluate(q, e.hops, [&e](int hop, int pitch) { return sweptCell(e.cells, hop, pitch); });
    std::vector<double> one(1, 0);
    MeasuredAlone.count += 1;
    if (!e.source.path.empty() && e.hops > 0 && measureProbes(e, {q}, {0}, one))
        return one.front();
    return evaluate(q, e.hops, [](int, int) { return Cell{}; });
}
