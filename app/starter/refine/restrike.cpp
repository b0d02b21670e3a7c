// Soft re-strikes: weak attacks inside a note confirmed by its own partials.
#include "app/starter/refine/restrike.h"

#include <algorithm>

#include "app/starter/refine/velocity.h"

namespace {

// The long window (186 ms) centred 60 to 120 ms from an attack holds little of the other side of
// it: the key's level there before and after is what it was and what it became.
constexpr double RenewalNear = 0.06, RenewalFar = 0.12;

// How much louder the key's partials are just after `at` than just before it, in dB.
double renewal(const ProbedEvidence &v, int pitch, double at, const RefineThresholds &th) {
    return meanLevel(v, ProbeKind::MeanLevel, pitch, at + RenewalNear, at + RenewalFar, th) -
           meanLevel(v, ProbeKind::MeanLevel, pitch, at - RenewalFar, at - RenewalNear, th);
}

// Whether an attack at `at` inside note `current` is a re-strike of its key: its fundamental rises
// (a note starting below explains none of it), it comes back louder than it was, and it sounds.
bool restruck(const std::vector<Working> &w, size_t current, const ProbedEvidence &v, double at,
              const RefineThresholds &th) {
    int pitch = w[current].note.pitch;
    return !claimed(w, current, pitch, at, th.nearWindow) &&
           fundamentalRise(w, current, v, pitch, at, th) >= th.restrikeRise &&
           renewal(v, pitch, at, th) >= th.restrikeRenewal &&
           meanLevel(v, ProbeKind::MeanFundamental, pitch, at, at + th.splitGap, th) >= th.dropLevel;
}

}  // namespace

void splitRestrikes(std::vector<Working> &w, const ProbedEvidence &v, const Timeline &t, const RefineThresholds &th,
                    RefineCounts &counts) {
    std::vector<size_t> order(w.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&w](size_t a, size_t b) { return w[a].note.pitch < w[b].note.pitch; });
    for (size_t i : order) {
        if (w[i].dropped || !measurable(w[i].note.pitch))
            continue;
        double last = w[i].note.on, earliest = w[i].note.on + th.restrikeAfter * stepLengthAt(t, w[i].note.on);
        size_t current = i;
        for (const Attack &a : v.evidence.attacks[w[i].note.pitch - LowestPitch]) {
            double at = a.time - th.attackLatency;
            if (at > w[current].note.off - ShortestNote)
                break;
            if (a.strength < th.restrikeStrength || at < earliest || at < last + th.splitGap ||
                !restruck(w, current, v, at, th))
                continue;
            current = splitAt(w, current, at);
            last = at;
            counts.split += 1;
        }
    }
}

std::array<Probe, 5> restrikeProbes(const AttackEvidence &e, int pitch, double at, const RefineThresholds &th) {
    return {riseProbe(e, pitch, 0, at, th),
            levelProbe(e, ProbeKind::MeanLevel, pitch, at + RenewalNear, at + RenewalFar, th),
            levelProbe(e, ProbeKind::MeanLevel, pitch, at - RenewalFar, at - RenewalNear, th),
            levelProbe(e, ProbeKind::MeanFundamental, pitch, at, at + th.splitGap, th),
            attackLevelProbe(e, pitch, at, th)};
}
