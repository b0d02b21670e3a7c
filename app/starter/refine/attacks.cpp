// Attack candidates from the rises: the long rise kept where it beats the
// neighbouring keys, combined with the short rise, and its local peaks.
#include <algorithm>
#include <cmath>

#include "app/starter/refine/evidence.h"

namespace {

// Hops over which the long rise is held at its maximum, and the half span of a peak.
constexpr int HoldHops = 2, PeakHops = 3;
// The weakest strength kept as a candidate, in dB; the rules ask for more.
constexpr float WeakestCandidate = 1.0f;

// The long rise of key p where it is at least both neighbouring keys', else 0, held over +-HoldHops.
std::vector<float> heldLongRise(const AttackEvidence &e, int p) {
    std::vector<float> kept(e.hops), held(e.hops);
    for (int t = 0; t < e.hops; ++t) {
        const float *row = &e.longRise[static_cast<size_t>(t) * PitchCount];
        float v = row[p];
        bool beats = (p == 0 || v >= row[p - 1]) && (p == PitchCount - 1 || v >= row[p + 1]);
        kept[t] = beats ? v : 0.0f;
    }
    for (int t = 0; t < e.hops; ++t) {
        float m = 0;
        for (int u = std::max(0, t - HoldHops); u <= std::min(e.hops - 1, t + HoldHops); ++u)
            m = std::max(m, kept[u]);
        held[t] = m;
    }
    return held;
}

// The time in hops of the largest short rise of key p within +-PeakHops of t, between hops
// by the parabola through the largest and its neighbours.
double shortPeak(const AttackEvidence &e, int p, int t) {
    auto rise = [&](int u) { return e.shortRise[static_cast<size_t>(std::clamp(u, 0, e.hops - 1)) * PitchCount + p]; };
    int best = t;
    for (int u = std::max(0, t - PeakHops); u <= std::min(e.hops - 1, t + PeakHops); ++u)
        if (rise(u) > rise(best))
            best = u;
    double left = rise(best - 1), mid = rise(best), right = rise(best + 1);
    double curve = left - 2 * mid + right;
    return best + (curve < 0 ? std::clamp(0.5 * (left - right) / curve, -0.5, 0.5) : 0.0);
}

}  // namespace

void findAttacks(AttackEvidence &e) {
    if (e.shortRise.size() != static_cast<size_t>(e.hops) * PitchCount || e.longRise.size() != e.shortRise.size())
        return;
    e.attacks.assign(PitchCount, {});
    std::vector<float> strength(e.hops);
    for (int p = 0; p < PitchCount; ++p) {
        std::vector<float> held = heldLongRise(e, p);
        for (int t = 0; t < e.hops; ++t)
            strength[t] = std::sqrt(e.shortRise[static_cast<size_t>(t) * PitchCount + p] * held[t]);
        for (int t = 0; t < e.hops; ++t) {
            if (strength[t] < WeakestCandidate)
                continue;
            bool peak = true;
            for (int u = std::max(0, t - PeakHops); u <= std::min(e.hops - 1, t + PeakHops) && peak; ++u)
                peak = u < t ? strength[u] < strength[t] : strength[u] <= strength[t];
            if (peak)
                e.attacks[p].push_back({shortPeak(e, p, t) * e.hopSeconds, strength[t]});
        }
        std::stable_sort(e.attacks[p].begin(), e.attacks[p].end(),
                         [](const Attack &a, const Attack &b) { return a.time < b.time; });
    }
}

float valueAt(const AttackEvidence &e, const std::vector<float> &v, int hop, int pitch) {
    if (e.hops == 0 || pitch < LowestPitch || pitch > HighestPitch)
        return 0;
    hop = std::clamp(hop, 0, e.hops - 1);
    return v[static_cast<size_t>(hop) * PitchCount + pitch - LowestPitch];
}
