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

}  // namespace

bool restrikeCandidate(const Attack &a, const RefineThresholds &th) {
    return a.strength >= th.restrikeStrength && a.shortRise >= th.restrikeSudden;
}

Probe settledLevelProbe(const AttackEvidence &e, int pitch, double on, const RefineThresholds &th) {
    return levelProbe(e, ProbeKind::MeanLevel, pitch, on + RenewalNear, on + RenewalFar, th);
}

namespace {

// What the rule measures of an attack a of note `current`'s key at `at`: its strength and short rise,
// the fundamental's rise and level after it, the notes starting below, the renewal, and how far the
// note faded and dips there (the model reads them too).
RestrikeFeatures ruleMeasures(const std::vector<Working> &w, size_t current, const ProbedEvidence &v, const Attack &a,
                              double at, const RefineThresholds &th) {
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
    return f;
}

// Adds what only the re-strike model reads to f: the note's age, the partials of the keys below, the
// peak across the keys, the attack level, the key, the notes sounding and the partial profile.
void addModelMeasures(const std::vector<Working> &w, size_t current, const ProbedEvidence &v, const Timeline &t,
                      double at, const RefineThresholds &th, RestrikeFeatures &f) {
    int pitch = w[current].note.pitch;
    f.age = at - w[current].note.on;
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
    f.profile = partialProfile(v, pitch, at, th);
}

// Whether the rule takes a sudden attack (restrikeCandidate) so measured. A note whose partials have
// faded since it began (struck or plucked) is re-struck by a weak attack; one held at its level
// (bowed, blown), whose swells and vibrato bring weak attacks of its own key, only where its partials
// dip there (a changed bow, a new breath). Then its fundamental must rise (a note starting below
// explains none of it, unless the fundamental then sounds loud enough to be the key's own), it must
// come back louder than it was, and it must sound.
bool ruleTakes(const RestrikeFeatures &f, const RefineThresholds &th) {
    bool fadedOrDipped = f.faded >= th.restrikeDecay || f.dip >= th.restrikeDip;
    bool rises = static_cast<float>(f.rise) >= th.restrikeRise ||
                 (f.level >= th.restrikeBelowLevel && f.startsBelow != 0);
    return fadedOrDipped && rises && f.level >= th.restrikeLevel && f.renewal >= th.restrikeRenewal;
}

// Whether an attack of note `current`'s key at `at`, claimed by no other note of the key, re-strikes
// it: by the rule, or with restrikeModel also by the re-strike model's chance where the key's own
// fundamental rises at all (an attack of a note above, whose fundamental lies on one of the key's
// partials, raises the key's partials but not its fundamental) and the note goes on for the split
// gap after it (what the model reads of the level after it is the note's own); listed when a list is
// asked for and it is restrikeGate strong.
bool restrikes(const std::vector<Working> &w, size_t current, const ProbedEvidence &v, const Timeline &t,
               const Attack &a, double at, const RefineThresholds &th, CandidateList *list) {
    bool listed = list && a.strength >= th.restrikeGate;
    bool judged = th.restrikeModel != 0 && a.strength >= th.restrikeGate;
    bool sudden = restrikeCandidate(a, th);
    if ((!listed && !judged && !sudden) || claimed(w, current, w[current].note.pitch, at, th.nearWindow))
        return false;
    RestrikeFeatures f = ruleMeasures(w, current, v, a, at, th);
    bool rule = sudden && ruleTakes(f, th);
    if (!listed && (rule || !judged))
        return rule;
    addModelMeasures(w, current, v, t, at, th, f);
    double p = restrikeTreesProbability(f);
    double left = w[current].note.off - at;
    bool taken = rule || (judged && p >= th.restrikeCut && f.ownRise > 0 && left >= th.splitGap);
    if (listed)
        list->restruck.push_back({at, w[current].note.key, f, left, p, taken});
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
