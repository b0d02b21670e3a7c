// Probes answered from the values kept, or measured in one pass along the
// long window's levels over the hops they cover.
#include "app/starter/refine/probes.h"

#include <algorithm>
#include <memory>
#include <tuple>

#include "app/starter/refine/spectra.h"

namespace {

// Hops closer than this between two probes' spans are measured in one stretch.
constexpr int JoinedGap = 2 * LongHalfSpan + 1;

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

// The largest rise of the key beyond what the lower key's partials that it does not share explain.
template <class CellAt> double partnerOver(const Probe &q, int hops, CellAt cell) {
    static const float unshared12[KeptPartials] = {1.0f, 0.0f, 1.0f / 3};
    static const float unshared19[KeptPartials] = {1.0f, 0.5f, 0.0f};
    static const float unshared24[KeptPartials] = {1.0f, 0.5f, 1.0f / 3};
    int interval = intervalOf(q.kind), lower = q.pitch - interval;
    const float *weights = interval == 12 ? unshared12 : interval == 19 ? unshared19 : unshared24;
    float total = weights[0] + weights[1] + weights[2];
    float best = -1e9f;
    for (int u = q.from; u <= q.to; ++u) {
        float explained = 0;
        int hop = std::clamp(u, 0, std::max(0, hops - 1));
        for (int h = 0; h < KeptPartials && measurable(lower); ++h)
            if (hops > 0)
                explained += weights[h] * cell(hop, lower).partial[h];
        float rise = hops == 0 || !measurable(q.pitch) ? 0.0f : cell(hop, q.pitch).rise;
        best = std::max(best, rise - explained / total);
    }
    return best;
}

// A probe's answer from the cells of its hops; cell(hop, pitch) is asked for hops within the recording.
template <class CellAt> double evaluate(const Probe &q, int hops, CellAt cell) {
    if (intervalOf(q.kind) != 0)
        return partnerOver(q, hops, cell);
    if (q.kind == ProbeKind::FundamentalRise) {
        float best = 0;
        for (int u = q.from; u <= q.to; ++u)
            best = std::max(best, cell(std::clamp(u, 0, hops - 1), q.pitch).partial[0]);
        return best;
    }
    double sum = 0;
    for (int u = q.from; u <= q.to; ++u) {
        if (hops == 0 || !measurable(q.pitch))
            continue;
        const Cell c = cell(std::clamp(u, 0, hops - 1), q.pitch);
        sum += q.kind == ProbeKind::MeanLevel ? c.level : c.fundamental;
    }
    return sum / (q.to - q.from + 1);
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

// A probe on its way: the cells of its key (and its lower key) at the hops of its span seen so far.
struct Pending {
    Probe probe;
    int first, last;  // its span clamped into the recording
    std::vector<Cell> own, lower;
};

// The cells of every key at hop u from the long levels at u - 8, u and u + 8.
void cellsAt(const BandTable &bands, LevelRing &ring, long u, std::vector<Cell> &cells) {
    float rise[PitchCount], partials[KeptPartials * PitchCount];
    weightedRise(bands, ring.at(u + LongHalfSpan), ring.at(u - LongHalfSpan), nullptr, rise, partials, PitchCount);
    const float *now = ring.at(u);
    for (int p = 0; p < PitchCount; ++p) {
        Cell &c = cells[p];
        c.level = 0;
        for (int h = 0; h < PartialCount; ++h)
            c.level += bands.partialWeight[p * PartialCount + h] * now[p * PartialCount + h];
        c.fundamental = now[p * PartialCount];
        c.rise = rise[p];
        for (int h = 0; h < KeptPartials; ++h)
            c.partial[h] = partials[h * PitchCount + p];
    }
}

// What one measuring pass works with.
struct ProbePass {
    const AttackEvidence &e;
    MonoSource source;
    TransformPtr longT;
    BandTable bands;
    SampleWindow window;
    std::vector<Pending> pending;  // by first hop
    size_t next = 0;
    std::vector<Pending *> active;
    std::vector<std::pair<Probe, double>> answers;
};

// Hands the cells of hop u to the probes that cover it, and answers those that end there.
void feedProbes(ProbePass &s, int u, const std::vector<Cell> &cells) {
    while (s.next < s.pending.size() && s.pending[s.next].first == u)
        s.active.push_back(&s.pending[s.next++]);
    for (Pending *p : s.active) {
        p->own.push_back(cells[p->probe.pitch - LowestPitch]);
        int lower = p->probe.pitch - intervalOf(p->probe.kind);
        if (intervalOf(p->probe.kind) != 0 && measurable(lower))
            p->lower.push_back(cells[lower - LowestPitch]);
        if (p->last != u)
            continue;
        s.answers.emplace_back(p->probe, evaluate(p->probe, s.e.hops, [p](int hop, int pitch) {
            return (pitch == p->probe.pitch ? p->own : p->lower)[hop - p->first];
        }));
        p->own = std::vector<Cell>(), p->lower = std::vector<Cell>();
    }
    s.active.erase(std::remove_if(s.active.begin(), s.active.end(), [u](Pending *p) { return p->last == u; }),
                   s.active.end());
}

// Measures the long levels over hops [from - 8, to + 8] and feeds the cells of [from, to]; false on a read error.
bool measureStretch(ProbePass &s, int from, int to) {
    const EvidenceGeometry &g = s.e.source.geometry;
    LevelRing ring = floorRing(2 * LongHalfSpan + 1);
    std::vector<Cell> cells(PitchCount);
    for (long t = std::max(0, from - LongHalfSpan); t <= to + LongHalfSpan; ++t) {
        const float *x = samplesAt(s.source, s.window, t * g.hop - g.longSize / 2, g.longSize);
        if (!x)
            return false;
        spectrum(*s.longT, x);
        bandLevels(*s.longT, s.bands, s.e.source.longReference, ring.at(t));
        if (t - LongHalfSpan < from)
            continue;
        cellsAt(s.bands, ring, t - LongHalfSpan, cells);
        feedProbes(s, static_cast<int>(t - LongHalfSpan), cells);
    }
    return true;
}

// Measures the probes in one pass along the recording; false when the file cannot be read again.
bool measureProbes(const AttackEvidence &e, const std::vector<Probe> &wanted,
                   std::vector<std::pair<Probe, double>> &answers) {
    std::unique_ptr<SNDFILE, int (*)(SNDFILE *)> file(nullptr, sf_close);
    SF_INFO info{};
    file.reset(sf_open(e.source.path.c_str(), SFM_READ, &info));
    if (!file || info.channels < 1)
        return false;
    ProbePass s{e, MonoSource{}, makeTransform(e.source.geometry.longSize),
                bandTable(e.source.geometry.longSize, e.source.geometry.rate, e.source.geometry.referencePitch), {}, {}, 0, {}, {}};
    s.source.file = file.get();
    s.source.channels = info.channels;
    s.source.total = e.source.frames;
    s.source.peak = e.source.peak;
    for (const Probe &q : wanted) {
        if (q.to < q.from)
            answers.emplace_back(q, evaluate(q, e.hops, [](int, int) { return Cell{}; }));
        else
            s.pending.push_back({q, std::clamp(q.from, 0, e.hops - 1), std::clamp(q.to, 0, e.hops - 1), {}, {}});
    }
    std::stable_sort(s.pending.begin(), s.pending.end(), [](const Pending &a, const Pending &b) { return a.first < b.first; });
    for (size_t i = 0; i < s.pending.size();) {
        int from = s.pending[i].first, to = s.pending[i].last;
        for (++i; i < s.pending.size() && s.pending[i].first <= to + JoinedGap; ++i)
            to = std::max(to, s.pending[i].last);
        if (!measureStretch(s, from, to))
            return false;
    }
    answers.insert(answers.end(), s.answers.begin(), s.answers.end());
    return true;
}

}  // namespace

bool Probe::operator<(const Probe &o) const {
    return std::tie(kind, pitch, from, to) < std::tie(o.kind, o.pitch, o.from, o.to);
}

bool Probe::operator==(const Probe &o) const {
    return kind == o.kind && pitch == o.pitch && from == o.from && to == o.to;
}

ProbeKind partnerKind(int interval) {
    return interval == 12 ? ProbeKind::PartnerRise12 : interval == 19 ? ProbeKind::PartnerRise19 : ProbeKind::PartnerRise24;
}

ProbedEvidence probeEvidence(const AttackEvidence &e, std::vector<Probe> wanted) {
    ProbedEvidence v{e, {}};
    if (keepsValues(e) || e.source.path.empty() || e.hops <= 0)
        return v;
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    if (!measureProbes(e, wanted, v.answers))
        v.answers.clear();
    std::sort(v.answers.begin(), v.answers.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    return v;
}

double probeValue(const ProbedEvidence &v, const Probe &q) {
    const AttackEvidence &e = v.evidence;
    if (keepsValues(e))
        return evaluate(q, e.hops, [&e](int hop, int pitch) { return keptCell(e, hop, pitch); });
    auto it = std::lower_bound(v.answers.begin(), v.answers.end(), q,
                               [](const std::pair<Probe, double> &a, const Probe &b) { return a.first < b; });
    if (it != v.answers.end() && it->first == q)
        return it->second;
    std::vector<std::pair<Probe, double>> one;
    if (!e.source.path.empty() && e.hops > 0 && measureProbes(e, {q}, one) && !one.empty())
        return one.front().second;
    return evaluate(q, e.hops, [](int, int) { return Cell{}; });
}
