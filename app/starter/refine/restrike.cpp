// Soft re-strikes: weak attacks inside a note confirmed by its own partials.
#include "app/starter/refine/restrike.h"

#include <algorithm>

#include "app/starter/refine/velocity.h"

namespace {

// The long window (186 ms) centred 60 to 120 ms from an attack holds little of the other side of
// it: the key's level there before and after is what it was and what it became.
constexpr double RenewalNear = 0.06, RenewalFar = 0.12;
// The key's level from 30 ms before an attack to 10 ms after: where a held note dips before it comes
// back (an attack is placed where its rise starts, at or just after the bottom of the dip).
constexpr double DipBefore = 0.03, DipAfter = 0.01;

// The probe of the key's level where a held note dips at an attack at `at`.
Probe dipProbe(const AttackEvidence &e, int pitch, double at, const RefineThresholds &th) {
    return levelProbe(e, ProbeKind::MeanLevel, pitch, at - DipBefore, at + DipAfter, th);
}

// The key's level just before `at` (60 to 120 ms), in dB.
double levelBefore(const ProbedEvidence &v, int pitch, double at, const RefineThresholds &th) {
    return meanLevel(v, ProbeKind::MeanLevel, pitch, at - RenewalFar, at - RenewalNear, th);
}

// How much louder the key's partials are just after `at` than just before it, in dB.
double renewal(const ProbedEvidence &v, int pitch, double at, const RefineThresholds &th) {
    return probeValue(v, settledLevelProbe(v.evidence, pitch, at, th)) - levelBefore(v, pitch, at, th);
}

// Whether an attack at `at` inside note `current` is a re-strike of its key: its fundamental rises
// (a note starting below explains none of it, unless the fundamental then sounds loud enough to be the
// key's own), it comes back louder than it was, and it sounds.
bool restruck(const std::vector<Working> &w, size_t current, const ProbedEvidence &v, double at,
              const RefineThresholds &th) {
    int pitch = w[current].note.pitch;
    if (claimed(w, current, pitch, at, th.nearWindow))
        return false;
    double level = meanLevel(v, ProbeKind::MeanFundamental, pitch, at, at + th.splitGap, th);
    bool rises = fundamentalRise(w, current, v, pitch, at, th) >= th.restrikeRise ||
                 (level >= th.restrikeBelowLevel && startsBelow(w, current, pitch, at, th));
    return rises && level >= th.restrikeLevel && renewal(v, pitch, at, th) >= th.restrikeRenewal;
}

// Whether a soft re-strike candidate at `at` may re-strike note `current`: a note whose partials
// have faded since it began (struck or plucked) is re-struck by a weak attack; one held at its level
// (bowed, blown), whose swells and vibrato bring weak attacks of its own key, only where its
// partials dip there (a changed bow, a new breath).
bool fadedOrDipped(const std::vector<Working> &w, size_t current, const ProbedEvidence &v, double at,
                  const RefineThresholds &th) {
    int pitch = w[current].note.pitch;
    double before = levelBefore(v, pitch, at, th);
    return probeValue(v, settledLevelProbe(v.evidence, pitch, w[current].note.on, th)) - before >= th.restrikeDecay ||
           before - probeValue(v, dipProbe(v.evidence, pitch, at, th)) >= th.restrikeDip;
}

}  // namespace

bool restrikeCandidate(const Attack &a, const RefineThresholds &th) {
    return a.strength >= th.restrikeStrength && a.shortRise >= th.restrikeSudden;
}

Probe settledLevelProbe(const AttackEvidence &e, int pitch, double on, const RefineThresholds &th) {
    return levelProbe(e, ProbeKind::MeanLevel, pitch, on + RenewalNear, on + RenewalFar, th);
}

namespace {

// What the re-strike model reads of an attack of note `current`'s key at `at` (see RestrikeFeatures).
RestrikeFeatures restrikeFeatures(const std::vector<Working> &w, size_t current, const ProbedEvidence &v,
                                  const Timeline &t, const Attack &a, double at, const RefineThresholds &th) {
    const TimedNote &n = w[current].note;
    int pitch = n.pitch;
    RestrikeFeatures f;
    f.strength = a.strength;
    f.shortRise = a.shortRise;
    f.ownRise = probeValue(v, riseProbe(v.evidence, pitch, 0, at, th));
    f.startsBelow = startsBelow(w, current, pitch, at, th) ? 1 : 0;
    f.rise = f.startsBelow != 0 ? 0 : f.ownRise;
    f.level = meanLevel(v, ProbeKind::MeanFundamental, pitch, at, at + th.splitGap, th);
    f.renewal = renewal(v, pitch, at, th);
    double before = levelBefore(v, pitch, at, th);
    f.faded = probeValue(v, settledLevelProbe(v.evidence, pitch, n.on, th)) - before;
    f.dip = before - probeValue(v, dipProbe(v.evidence, pitch, at, th));
    f.age = at - n.on;
    f.steps = f.age / stepLengthAt(t, at);
    f.below = probeValue(v, riseProbe(v.evidence, pitch, 12, at, th));
    for (int interval : {19, 24})
        f.below = std::min(f.below, probeValue(v, riseProbe(v.evidence, pitch, interval, at, th)));
    f.peak = peakAcrossKeys(v, pitch, at, th);
    f.attackLevel = probeValue(v, attackLevelProbe(v.evidence, pitch, at, th));
    f.pitch = pitch;
    f.sounding = static_cast<double>(std::count_if(w.begin(), w.end(), [at](const Working &x) {
        return !x.dropped && x.note.on <= at && x.note.off > at;
    }));
    return f;
}

// Whether an attack of note `current`'s key at `at` re-strikes it: by the rule, or with restrikeModel
// also by the re-strike model's chance where the key's own fundamental rises at all (an attack of a
// note above, whose fundamental lies on one of the key's partials, raises the key's partials but not
// its fundamental) and the note goes on for the split gap after it (what the model reads of the level
// after it is the note's own); listed when a list is asked for and it is restrikeGate strong.
bool restrikes(const std::vector<Working> &w, size_t current, const ProbedEvidence &v, const Timeline &t,
               const Attack &a, double at, const RefineThresholds &th, CandidateList *list) {
    bool rule = restrikeCandidate(a, th) && fadedOrDipped(w, current, v, at, th) && restruck(w, current, v, at, th);
    bool listed = list && a.strength >= th.restrikeGate;
    if (!listed && (th.restrikeModel == 0 || rule || a.strength < th.restrikeGate))
        return rule;
    if (claimed(w, current, w[current].note.pitch, at, th.nearWindow))
        return false;
    RestrikeFeatures f = restrikeFeatures(w, current, v, t, a, at, th);
    double p = restrikeTreesProbability(f);
    bool taken = rule || (th.restrikeModel != 0 && a.strength >= th.restrikeGate && p >= th.restrikeCut &&
                          f.ownRise > 0 && w[current].note.off - at >= th.splitGap);
    if (listed)
        list->restruck.push_back({at, w[current].note.key, f, w[current].note.off - at, p, taken});
    return taken;
}

}  // namespace

void splitRestrikes(std::vector<Working> &w, const ProbedEvidence &v, const Timeline &t, const RefineThresholds &th,
                    RefineCounts &counts, CandidateList *list) {
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
            if (at < earliest || at < last + th.splitGap || !restrikes(w, current, v, t, a, at, th, list))
                continue;
            current = splitAt(w, current, at);
            last = at;
            counts.split += 1;
        }
    }
}

std::array<Probe, 6> restrikeProbes(const AttackEvidence &e, int pitch, double at, const RefineThresholds &th) {
    return {riseProbe(e, pitch, 0, at, th), settledLevelProbe(e, pitch, at, th),
            levelProbe(e, ProbeKind::MeanLevel, pitch, at - RenewalFar, at - RenewalNear, th),
            levelProbe(e, ProbeKind::MeanFundamental, pitch, at, at + th.splitGap, th),
            dipProbe(e, pitch, at, th), attackLevelProbe(e, pitch, at, th)};
}
