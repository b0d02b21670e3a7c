// Attack candidates from the rises: the long rise kept where it beats the
// neighbouring keys, combined with the short rise, and its local peaks,
// each timed at the start of its short rise. Each candidate depends on the
// rises within AttackReachHops of it, so a recording is searched block by
// block with that much overlap.
#include <algorithm>
#include <cmath>

#include "app/starter/refine/evidence.h"

namespace {

// Hops over which the long rise is held at its maximum, and the half span of a peak.
constexpr int HoldHops = 2, PeakHops = 3;
// The weakest strength kept as a candidate, in dB; the rules ask for more.
constexpr float WeakestCandidate = 1.0f;
// An attack is placed where its key's short rise first reached this share of its peak: a hammer
// or a plucked string rises within a hop or two, so its time moves little, while a bowed string,
// an organ pipe or a flute swells for 30 to 80 ms and its steepest rise comes that much after the
// note starts (on the development pieces the share 0.2 put those notes 25 ms earlier than the
// peak did, and the notes of every timbre within 20 ms; 0.5 left strings late, 0.1 gained nothing).
constexpr double RiseStartShare = 0.2;
static_assert(AttackReachHops >= PeakHops + RiseStartHops + 1 && AttackReachHops >= HoldHops + PeakHops,
              "the rows searched must hold every hop a candidate depends on");

// One key's rises over the hops [lo, hi) of a recording of `hops` hops.
struct KeyRises {
    const RiseRows &rows;
    int p, hops, lo, hi;
    float shortAt(int t) const { return rows.shortRise[static_cast<size_t>(t - rows.first) * PitchCount + p]; }
    float longAt(int t, int q) const { return rows.longRise[static_cast<size_t>(t - rows.first) * PitchCount + q]; }
};

// The long rise of the key at each hop of [lo, hi) where it is at least both neighbouring keys',
// else 0, held over +-HoldHops; entries outside [from, to) stay 0.
std::vector<float> heldLongRise(const KeyRises &k, int from, int to) {
    std::vector<float> kept(k.hi - k.lo), held(k.hi - k.lo);
    for (int t = k.lo; t < k.hi; ++t) {
        float v = k.longAt(t, k.p);
        bool beats = (k.p == 0 || v >= k.longAt(t, k.p - 1)) && (k.p == PitchCount - 1 || v >= k.longAt(t, k.p + 1));
        kept[t - k.lo] = beats ? v : 0.0f;
    }
    for (int t = from; t < to; ++t) {
        float m = 0;
        for (int u = std::max(0, t - HoldHops); u <= std::min(k.hops - 1, t + HoldHops); ++u)
            m = std::max(m, kept[u - k.lo]);
        held[t - k.lo] = m;
    }
    return held;
}

// The time in hops of the largest short rise of the key within +-PeakHops of t, between hops
// by the parabola through the largest and its neighbours.
double shortPeak(const KeyRises &k, int t) {
    auto rise = [&](int u) { return k.shortAt(std::clamp(u, 0, k.hops - 1)); };
    int best = t;
    for (int u = std::max(0, t - PeakHops); u <= std::min(k.hops - 1, t + PeakHops); ++u)
        if (rise(u) > rise(best))
            best = u;
    double left = rise(best - 1), mid = rise(best), right = rise(best + 1);
    double curve = left - 2 * mid + right;
    return best + (curve < 0 ? std::clamp(0.5 * (left - right) / curve, -0.5, 0.5) : 0.0);
}

// Where the key's short rise before its peak at `peak` (in hops) last stood at RiseStartShare of
// the peak's, between hops by a straight line; at most RiseStartHops back and not before hop lowest.
double riseStart(const KeyRises &k, double peak, int lowest) {
    auto rise = [&](int u) { return k.shortAt(std::clamp(u, 0, k.hops - 1)); };
    int top = static_cast<int>(std::lround(peak));
    double threshold = RiseStartShare * rise(top);
    int u = top;
    while (u - 1 >= lowest && top - (u - 1) <= RiseStartHops && rise(u - 1) >= threshold)
        --u;
    if (u - 1 < lowest || top - (u - 1) > RiseStartHops)
        return u;
    double before = rise(u - 1), at = rise(u);
    return u - (at > before ? (at - threshold) / (at - before) : 0.0);
}

}  // namespace

void findAttacksIn(const RiseRows &rows, int hops, double hopSeconds, int from, int to,
                   std::vector<std::vector<Attack>> &attacks, const bool *keys) {
    constexpr int Reach = HoldHops + PeakHops;  // forward; a rise start looks back up to AttackReachHops
    attacks.resize(PitchCount);
    int lo = std::max(0, from - Reach), hi = std::min(hops, to + Reach);
    int peaksFrom = std::max(0, from - PeakHops), peaksTo = std::min(hops, to + PeakHops);
    std::vector<float> strength(hi - lo);
    for (int p = 0; p < PitchCount; ++p) {
        if (keys && !keys[p])
            continue;
        KeyRises k{rows, p, hops, lo, hi};
        std::vector<float> held = heldLongRise(k, peaksFrom, peaksTo);
        for (int t = peaksFrom; t < peaksTo; ++t)
            strength[t - lo] = std::sqrt(k.shortAt(t) * held[t - lo]);
        for (int t = from; t < to; ++t) {
            if (strength[t - lo] < WeakestCandidate)
                continue;
            bool peak = true;
            for (int u = std::max(0, t - PeakHops); u <= std::min(hops - 1, t + PeakHops) && peak; ++u)
                peak = u < t ? strength[u - lo] < strength[t - lo] : strength[u - lo] <= strength[t - lo];
            if (peak)
                attacks[p].push_back({riseStart(k, shortPeak(k, t), std::max(0, rows.first)) * hopSeconds,
                                      strength[t - lo], k.shortAt(t)});
        }
    }
}

void sortAttacks(std::vector<std::vector<Attack>> &attacks) {
    for (std::vector<Attack> &list : attacks)
        std::stable_sort(list.begin(), list.end(), [](const Attack &a, const Attack &b) { return a.time < b.time; });
}

void findAttacks(AttackEvidence &e) {
    if (e.shortRise.size() != static_cast<size_t>(e.hops) * PitchCount || e.longRise.size() != e.shortRise.size())
        return;
    e.attacks.assign(PitchCount, {});
    findAttacksIn(RiseRows{0, e.shortRise.data(), e.longRise.data()}, e.hops, e.hopSeconds, 0, e.hops, e.attacks);
    sortAttacks(e.attacks);
}

float valueAt(const AttackEvidence &e, const std::vector<float> &v, int hop, int pitch) {
    if (e.hops == 0 || pitch < LowestPitch || pitch > HighestPitch)
        return 0;
    hop = std::clamp(hop, 0, e.hops - 1);
    return v[static_cast<size_t>(hop) * PitchCount + pitch - LowestPitch];
}
