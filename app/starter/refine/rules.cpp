// Move, drop and split: the engine's notes checked against the attacks of their keys.
#include "app/starter/refine/rules.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

#include "app/starter/refine/partners.h"
#include "app/starter/refine/probes.h"
#include "app/starter/refine/restrike.h"
#include "app/starter/refine/velocity.h"
#include "app/starter/refine/working.h"

namespace {

// The strongest attack of note self's key in [from, to] that no other note of the key starts on and
// where the key's fundamental rises. A note an octave or two below may start there as well, its
// partials all that rises: the attack is taken all the same, for a note and its lower octave are
// often struck together, and refusing it left such notes where the engine wrote them or drew them
// to a weaker rise a step away (50 to 90 ms early on the development pieces); an upper partner
// that does not rise beyond the lower note's partials is dropped afterwards (dropPartners).
const Attack *strongestFree(const ProbedEvidence &v, const std::vector<Working> &w, size_t self, double from,
                            double to, double minStrength, const RefineThresholds &th) {
    int pitch = w[self].note.pitch;
    const Attack *best = nullptr;
    for (const Attack &a : v.evidence.attacks[pitch - LowestPitch]) {
        double t = a.time - th.attackLatency;
        if (t < from || t > to || a.strength < minStrength || (best && a.strength <= best->strength))
            continue;
        if (!claimed(w, self, pitch, t, th.nearWindow) &&
            probeValue(v, riseProbe(v.evidence, pitch, 0, t, th)) >= th.ownFundamental)
            best = &a;
    }
    return best;
}

// Moves each unconfirmed onset to the strongest free attack of its key near it; the key's previous note ends there.
void moveOnsets(std::vector<Working> &w, const ProbedEvidence &v, const Timeline &t, const RefineThresholds &th,
                RefineCounts &counts) {
    const AttackEvidence &e = v.evidence;
    for (size_t i = 0; i < w.size(); ++i) {
        TimedNote &n = w[i].note;
        if (!measurable(n.pitch))
            continue;
        if (const Attack *a = strongestAttack(e, n.pitch, n.on - th.nearWindow, n.on + th.nearWindow, th.nearStrength, th)) {
            n.on = a->time - th.attackLatency;
            w[i].confirmed = true;
            continue;
        }
        double g = stepLengthAt(t, n.on);
        const Attack *a = th.moveOn == 0 ? nullptr
                          : strongestFree(v, w, i, n.on - th.moveBefore * g, n.on + th.moveAfter * g, th.moveStrength, th);
        if (!a)
            continue;
        double on = a->time - th.attackLatency;
        n.off = on > n.on ? std::max(n.off, on + (n.off - n.on)) : n.off;
        n.on = on;
        w[i].confirmed = true;
        counts.moved += 1;
        for (Working &other : w)
            if (&other != &w[i] && other.note.pitch == n.pitch && other.note.on < on && other.note.off > on)
                other.note.off = on;
    }
}

// True for each note confirmed by a strong attack of its key at the onset the engine wrote.
std::vector<bool> confirmedAsWritten(const std::vector<TimedNote> &written, const AttackEvidence &e,
                                     const RefineThresholds &th) {
    std::vector<bool> near(written.size());
    for (size_t i = 0; i < written.size(); ++i)
        near[i] = strongestAttack(e, written[i].pitch, written[i].on - th.nearWindow, written[i].on + th.nearWindow,
                                  th.nearStrength, th) != nullptr;
    return near;
}

// How far apart the notes of one chord may start, in seconds.
constexpr double ChordSpread = 0.015;

// Starts each note the move rule took to an attack with the first onset of a chord within joinWindow
// and half a grid step before it: at least joinMates notes of other keys starting within ChordSpread
// of one another, each at its own attack or moved to one. The pipes or bows of a chord speak together,
// but a key whose partials the chord before still sounds rises late: a low organ pipe under a chord
// reaches its attack 50 to 75 ms after the keys around it, and the engine writes it a step late. A
// note the engine wrote where its attack is keeps that attack.
void joinChords(std::vector<Working> &w, const std::vector<TimedNote> &written, const AttackEvidence &e,
                const Timeline &t, const RefineThresholds &th) {
    if (th.joinWindow <= 0)
        return;
    std::vector<bool> near = confirmedAsWritten(written, e, th);
    std::vector<std::pair<double, int>> struck;  // the onsets at attacks, and their keys
    for (size_t i = 0; i < w.size(); ++i)
        if (w[i].confirmed)
            struck.push_back({w[i].note.on, w[i].note.pitch});
    std::sort(struck.begin(), struck.end());
    for (size_t i = 0; i < w.size(); ++i) {
        TimedNote &n = w[i].note;
        if (!w[i].confirmed || near[i])
            continue;
        double from = n.on - std::min(th.joinWindow, 0.5 * stepLengthAt(t, n.on));
        auto it = std::lower_bound(struck.begin(), struck.end(), std::make_pair(from, -1));
        for (; it != struck.end() && it->first < n.on; ++it) {
            int mates = 0;
            for (auto m = it; m != struck.end() && m->first <= it->first + ChordSpread; ++m)
                mates += m->second != n.pitch;
            if (it->second != n.pitch && mates >= th.joinMates) {
                n.on = it->first;
                break;
            }
        }
    }
}

// Drops unconfirmed notes without an attack in their span and with a weak level over their first step.
void dropWeak(std::vector<Working> &w, const ProbedEvidence &v, const Timeline &t, const RefineThresholds &th,
              RefineCounts &counts) {
    for (Working &x : w) {
        const TimedNote &n = x.note;
        if (x.confirmed || !measurable(n.pitch))
            continue;
        double g = stepLengthAt(t, n.on);
        if (strongestAttack(v.evidence, n.pitch, n.on - th.moveBefore * g, n.on + th.moveAfter * g, th.dropStrength, th))
            continue;
        if (meanLevel(v, ProbeKind::MeanLevel, n.pitch, n.on, n.on + g, th) < th.dropLevel) {
            x.dropped = true;
            counts.dropped += 1;
        }
    }
}

// How far the partials of pitch stand above those of the key `interval` semitones below it just after
// `at`, in dB (negative: below them). A lower note alone leaves on an upper key only its own upper
// partials, well below its key's level; a key near that level sounds a note of its own.
double levelOverLower(const ProbedEvidence &v, int pitch, int interval, double at, const RefineThresholds &th) {
    return meanLevel(v, ProbeKind::MeanLevel, pitch, at + PeakFrom, at + PeakTo, th) -
           meanLevel(v, ProbeKind::MeanLevel, pitch - interval, at + PeakFrom, at + PeakTo, th);
}

// The interval (12, 19 or 24) from a note sounding below n at its onset (or starting within window), or 0.
int lowerPartner(const std::vector<Working> &w, const TimedNote &n, double window) {
    for (int interval : {12, 19, 24})
        for (const Working &x : w)
            if (!x.dropped && x.note.pitch == n.pitch - interval && x.note.on <= n.on + window && x.note.off > n.on)
                return interval;
    return 0;
}

// The interval (12, 19 or 24) from a note starting below n within window of its onset, or 0.
int struckPartner(const std::vector<Working> &w, const TimedNote &n, double window) {
    for (int interval : {12, 19, 24})
        for (const Working &x : w)
            if (!x.dropped && x.note.pitch == n.pitch - interval && std::abs(x.note.on - n.on) <= window)
                return interval;
    return 0;
}

// Drops upper partners of sounding notes that have no attack of their own, and those struck with
// their lower note whose key stands well below the lower key's: its partials alone.
void dropPartners(std::vector<Working> &w, const ProbedEvidence &v, const RefineThresholds &th, RefineCounts &counts) {
    for (Working &x : w) {
        const TimedNote &n = x.note;
        if (x.dropped || !measurable(n.pitch))
            continue;
        int interval = lowerPartner(w, n, th.partnerWindow);
        int struck = th.partnerLevel > -LevelFloorDb ? struckPartner(w, n, th.partnerWindow) : 0;
        if ((interval != 0 && probeValue(v, riseProbe(v.evidence, n.pitch, interval, n.on, th)) < th.partnerStrength) ||
            (struck != 0 && levelOverLower(v, n.pitch, struck, n.on, th) < th.partnerLevel)) {
            x.dropped = true;
            counts.dropped += 1;
        }
    }
}

// Splits each note at the attacks of its key well inside it.
void splitNotes(std::vector<Working> &w, const ProbedEvidence &v, const Timeline &t, const RefineThresholds &th,
                RefineCounts &counts) {
    size_t original = w.size();
    for (size_t i = 0; i < original; ++i) {
        if (w[i].dropped || !measurable(w[i].note.pitch))
            continue;
        double last = w[i].note.on, earliest = w[i].note.on + th.splitAfter * stepLengthAt(t, w[i].note.on);
        size_t current = i;
        for (const Attack &a : v.evidence.attacks[w[i].note.pitch - LowestPitch]) {
            double at = a.time - th.attackLatency;
            TimedNote &n = w[current].note;
            if (a.strength < th.splitStrength || at < earliest || at < last + th.splitGap || at > n.off - ShortestNote)
                continue;
            if (claimed(w, current, n.pitch, at, th.nearWindow))
                continue;
            if (fundamentalRise(w, current, v, n.pitch, at, th) < th.ownFundamental ||
                meanLevel(v, ProbeKind::MeanFundamental, n.pitch, at, at + th.splitGap, th) < th.splitLevel)
                continue;
            current = splitAt(w, current, at);
            last = at;
            counts.split += 1;
        }
    }
}

// True when a note of pitch sounds at time, or starts within window of it.
bool keyBusy(const std::vector<Working> &w, int pitch, double time, double window) {
    for (const Working &x : w)
        if (!x.dropped && x.note.pitch == pitch && x.note.on - window <= time &&
            (x.note.off > time || time - x.note.on <= window))
            return true;
    return false;
}

// True when a note of pitch sounds within the partner window of time.
bool soundsNear(const std::vector<Working> &w, int pitch, double time, const RefineThresholds &th) {
    return std::any_of(w.begin(), w.end(), [&](const Working &x) {
        return !x.dropped && x.note.pitch == pitch && x.note.on <= time + th.partnerWindow &&
               x.note.off > time - th.partnerWindow;
    });
}

// True when a note 12, 19 or 24 semitones below pitch sounds at time (or starts within the partner
// window of it) and pitch does not rise there beyond that note's partials.
bool explainedBelow(const std::vector<Working> &w, const ProbedEvidence &v, int pitch, double time,
                    const RefineThresholds &th) {
    for (int interval : {12, 19, 24}) {
        bool sounding = soundsNear(w, pitch - interval, time, th);
        if (sounding && th.addOver > -LevelFloorDb && levelOverLower(v, pitch, interval, time, th) >= th.addOver)
            continue;
        double rise = probeValue(v, riseProbe(v.evidence, pitch, interval, time, th));
        if (th.addBelow > 0 && rise < th.addBelow)
            return true;
        if (sounding && rise < th.partnerStrength)
            return true;
    }
    return false;
}

// Whether an attack of pitch at `at` is a note of its own that nothing written accounts for: strong,
// its fundamental rising and lasting, no note of its key near, and not the partials of a lower note.
bool proposable(const std::vector<Working> &w, const ProbedEvidence &v, int pitch, const Attack &a, double at,
                const RefineThresholds &th) {
    return a.strength >= th.addStrength && !keyBusy(w, pitch, at, th.addGap) &&
           probeValue(v, riseProbe(v.evidence, pitch, 0, at, th)) >= th.addFundamental &&
           meanLevel(v, ProbeKind::MeanFundamental, pitch, at, at + th.splitGap, th) >= th.addLevel &&
           (th.addPeak <= -LevelFloorDb || peakAcrossKeys(v, pitch, at, th) >= th.addPeak) &&
           !explainedBelow(w, v, pitch, at, th);
}

// What the proposal rule measures of an attack of pitch at `at` (see AddFeatures).
AddFeatures addFeatures(const std::vector<Working> &w, const ProbedEvidence &v, int pitch, const Attack &a, double at,
                        const RefineThresholds &th) {
    AddFeatures f;
    f.strength = a.strength;
    f.shortRise = a.shortRise;
    f.rise = probeValue(v, riseProbe(v.evidence, pitch, 0, at, th));
    f.level = meanLevel(v, ProbeKind::MeanFundamental, pitch, at, at + th.splitGap, th);
    f.below = probeValue(v, riseProbe(v.evidence, pitch, 12, at, th));
    for (int interval : {19, 24})
        f.below = std::min(f.below, probeValue(v, riseProbe(v.evidence, pitch, interval, at, th)));
    f.peak = peakAcrossKeys(v, pitch, at, th);
    for (int interval : {12, 19, 24})
        if (soundsNear(w, pitch - interval, at, th)) {
            f.lowerSounds = 1;
            f.over = levelOverLower(v, pitch, interval, at, th);
            break;
        }
    f.attackLevel = probeValue(v, attackLevelProbe(v.evidence, pitch, at, th));
    f.pitch = pitch;
    f.sounding = static_cast<double>(std::count_if(w.begin(), w.end(), [at](const Working &x) {
        return !x.dropped && x.note.on <= at && x.note.off > at;
    }));
    return f;
}

// Whether the drops measure the partial profile of the notes they judge: for their trees, or for a list.
bool dropsProfiled(const RefineThresholds &th, const CandidateList *list) {
    return list || (th.dropModel != 0 && th.dropTrees != 0);
}

// Whether the proposal rule measures the partial profile of the attacks it judges: for the acceptance's
// trees, or for a list.
bool proposalsProfiled(const RefineThresholds &th, const CandidateList *list) { return list || th.addModel == 2; }

// What the drop rules may measure of note i of w (see DropFeatures), its partial profile only where
// profiled; near: an attack lies at the onset the engine wrote.
DropFeatures dropFeatures(const std::vector<Working> &w, size_t i, bool near, bool profiled, const ProbedEvidence &v,
                          const Timeline &t, const RefineThresholds &th) {
    const TimedNote &n = w[i].note;
    double g = stepLengthAt(t, n.on);
    DropFeatures f;
    if (const Attack *a = strongestAttack(v.evidence, n.pitch, n.on - th.moveBefore * g, n.on + th.moveAfter * g,
                                          0, th)) {
        f.strength = a->strength;
        f.shortRise = a->shortRise;
    }
    if (const Attack *a = strongestAttack(v.evidence, n.pitch, n.on - th.partnerWindow, n.on + th.partnerWindow,
                                          0, th))
        f.nearStrength = a->strength;
    f.level = meanLevel(v, ProbeKind::MeanLevel, n.pitch, n.on, n.on + g, th);
    f.rise = probeValue(v, riseProbe(v.evidence, n.pitch, 0, n.on, th));
    f.below = probeValue(v, riseProbe(v.evidence, n.pitch, 12, n.on, th));
    for (int interval : {19, 24})
        f.below = std::min(f.below, probeValue(v, riseProbe(v.evidence, n.pitch, interval, n.on, th)));
    if (int interval = lowerPartner(w, n, th.partnerWindow)) {
        f.lowerSounds = 1;
        f.over = levelOverLower(v, n.pitch, interval, n.on, th);
    }
    f.struck = struckPartner(w, n, th.partnerWindow) != 0 ? 1 : 0;
    f.peak = peakAcrossKeys(v, n.pitch, n.on, th);
    f.attackLevel = probeValue(v, attackLevelProbe(v.evidence, n.pitch, n.on, th));
    f.pitch = n.pitch;
    f.sounding = static_cast<double>(std::count_if(w.begin(), w.end(), [&n](const Working &x) {
        return &x.note != &n && !x.dropped && x.note.on <= n.on && x.note.off > n.on;
    }));
    f.confirmed = near ? 1 : 0;
    f.moved = w[i].confirmed && !near ? 1 : 0;
    if (profiled)
        f.profile = partialProfile(v, n.pitch, n.on, th);
    return f;
}

// Lists every measured note of w as the drop rules meet it, with what they may measure there (the
// partial profile only where profiled).
void listJudged(const std::vector<Working> &w, const std::vector<TimedNote> &written, const ProbedEvidence &v,
                const Timeline &t, const RefineThresholds &th, bool profiled, CandidateList &list) {
    std::vector<bool> near = confirmedAsWritten(written, v.evidence, th);
    for (size_t i = 0; i < w.size(); ++i)
        if (measurable(w[i].note.pitch))
            list.judged.push_back(
                {w[i].note.on, w[i].note.key, dropFeatures(w, i, near[i], profiled, v, t, th), true});
}

// Marks the notes listed from row on that the drop rules dropped (the measured notes of w in order).
void markKept(const std::vector<Working> &w, CandidateList &list, size_t row) {
    for (const Working &x : w)
        if (measurable(x.note.pitch) && row < list.judged.size())
            list.judged[row++].kept = !x.dropped;
}

// The chance the drop model in use (dropTrees) gives a note with these features.
double dropChance(const DropFeatures &f, const RefineThresholds &th) {
    return th.dropTrees != 0 ? dropTreesProbability(f) : dropProbability(f);
}

// Drops the measured notes of w to which the learned model gives less than dropCut, every note
// measured before any is dropped (as the model was fitted); with dropModel 2, after the weak-note
// and partner drops, among the notes they kept.
void dropByModel(std::vector<Working> &w, const std::vector<TimedNote> &written, const ProbedEvidence &v,
                 const Timeline &t, const RefineThresholds &th, RefineCounts &counts) {
    CandidateList notes;
    listJudged(w, written, v, t, th, dropsProfiled(th, nullptr), notes);
    if (th.dropModel == 2) {
        dropWeak(w, v, t, th, counts);
        dropPartners(w, v, th, counts);
    }
    size_t row = 0;
    for (Working &x : w)
        if (measurable(x.note.pitch) && dropChance(notes.judged[row++].features, th) < th.dropCut && !x.dropped) {
            x.dropped = true;
            counts.dropped += 1;
        }
}

// The weakest attack the proposal rule judges: addStrength, or a list's gate where that is weaker.
double weakestJudged(const RefineThresholds &th, const CandidateList *list) {
    return list ? std::min(list->gate, th.addStrength) : th.addStrength;
}

// Whether the learned model is sure enough of an attack (its chance p, what was measured there f) to take
// it whatever the partials of the keys below explain: addSure, addSureBelow.
bool sure(double p, const AddFeatures &f, const RefineThresholds &th) {
    return p >= th.addSure && f.below >= th.addSureBelow;
}

// Whether an attack of pitch (key as written) at `at` is taken, by the conjunction of proposable or,
// with addModel, by the learned model's chance (and, with addModelBelow, unless the partials of a lower
// key explain it, which a chance of addSure overrides where the key rose at least addSureBelow beyond
// them); listed when a list is asked for and it is strong enough.
bool judged(const std::vector<Working> &w, const ProbedEvidence &v, int pitch, int key, const Attack &a, double at,
            const RefineThresholds &th, CandidateList *list) {
    if (!list && th.addModel == 0)
        return proposable(w, v, pitch, a, at, th);
    if (a.strength < weakestJudged(th, list) || keyBusy(w, pitch, at, th.addGap))
        return false;
    AddFeatures f = addFeatures(w, v, pitch, a, at, th);
    if (proposalsProfiled(th, list))
        f.profile = partialProfile(v, pitch, at, th);
    double p = th.addModel == 2 ? addTreesProbability(f) : addProbability(f);
    bool taken = th.addModel == 0 ? proposable(w, v, pitch, a, at, th)
                                  : a.strength >= th.addStrength && p >= th.addCut &&
                                        (th.addModelBelow == 0 || sure(p, f, th) ||
                                         !explainedBelow(w, v, pitch, at, th));
    if (list && a.strength >= list->gate)
        list->found.push_back({at, key, f, p, taken});
    return taken;
}

// Adds a note at each attack the written notes do not account for, the lowest keys first so that a
// note added below explains its partials above. The notes added are written as the first note is
// (its channel and transposition); none are added to a file without notes.
void proposeNotes(std::vector<Working> &w, const ProbedEvidence &v, const Timeline &t, const RefineThresholds &th,
                  RefineCounts &counts, CandidateList *list) {
    if (w.empty())
        return;
    const TimedNote model = w.front().note;
    for (int pitch = LowestPitch; pitch <= HighestPitch; ++pitch) {
        int key = pitch + model.key - model.pitch;
        if (key < 0 || key > 127)
            continue;
        for (const Attack &a : v.evidence.attacks[pitch - LowestPitch]) {
            double at = a.time - th.attackLatency;
            if (at < 0 || !judged(w, v, pitch, key, a, at, th, list))
                continue;
            TimedNote n = model;
            n.key = key;
            n.pitch = pitch;
            n.on = at;
            n.off = at + th.addLength * stepLengthAt(t, at);
            w.push_back({n, true, false});
            counts.added += 1;
        }
    }
}

// The kept notes sorted by onset; a key's note ends where its next one starts.
std::vector<TimedNote> tidy(const std::vector<Working> &w) {
    std::vector<TimedNote> out;
    for (const Working &x : w)
        if (!x.dropped)
            out.push_back(x.note);
    std::stable_sort(out.begin(), out.end(), [](const TimedNote &a, const TimedNote &b) { return a.on < b.on; });
    std::vector<TimedNote> kept;
    for (size_t i = 0; i < out.size(); ++i) {
        TimedNote n = out[i];
        bool repeat = false;
        for (size_t j = i + 1; j < out.size() && !repeat; ++j)
            if (out[j].key == n.key) {
                repeat = out[j].on - n.on < ShortestNote;
                n.off = std::min(n.off, out[j].on);
                break;
            }
        if (repeat)
            continue;
        n.off = std::max(n.off, n.on + ShortestNote);
        kept.push_back(n);
    }
    return kept;
}

// The probes dropFeatures asks at an onset of pitch at `at` besides the level over the first step and
// the attack level.
std::vector<Probe> onsetProbes(const AttackEvidence &e, int pitch, double at, const RefineThresholds &th) {
    std::vector<Probe> q{riseProbe(e, pitch, 0, at, th),
                         levelProbe(e, ProbeKind::MeanLevel, pitch, at + PeakFrom, at + PeakTo, th)};
    for (int interval : {12, 19, 24}) {
        q.push_back(riseProbe(e, pitch, interval, at, th));
        if (measurable(pitch - interval))
            q.push_back(levelProbe(e, ProbeKind::MeanLevel, pitch - interval, at + PeakFrom, at + PeakTo, th));
    }
    for (int d : PeakNeighbours)
        if (measurable(pitch + d))
            q.push_back(levelProbe(e, ProbeKind::MeanLevel, pitch + d, at + PeakFrom, at + PeakTo, th));
    return q;
}

// Spans of the recording, [from, to] in seconds, in order.
using Spans = std::vector<std::pair<double, double>>;

// The spans of the recording each key's notes may cover once their onsets are moved to attacks (and
// joined to a chord's): each note's own span, widened by the farthest the move rule may take its onset
// either way, per key from LowestPitch, in order and merged where they overlap. The soft re-strike rule
// judges attacks inside notes only.
std::vector<Spans> reachOfNotes(const std::vector<TimedNote> &notes, const Timeline &t, const RefineThresholds &th) {
    std::vector<Spans> reach(PitchCount);
    for (const TimedNote &n : notes)
        if (measurable(n.pitch)) {
            double g = stepLengthAt(t, n.on);
            double before = std::max({0.0, th.nearWindow, th.moveBefore * g}) + std::max(0.0, th.joinWindow);
            double after = std::max({0.0, th.nearWindow, th.moveAfter * g});
            reach[n.pitch - LowestPitch].push_back({n.on - before, n.off + after});
        }
    for (auto &spans : reach) {
        std::sort(spans.begin(), spans.end());
        Spans merged;
        for (const auto &s : spans)
            if (!merged.empty() && s.first <= merged.back().second)
                merged.back().second = std::max(merged.back().second, s.second);
            else
                merged.push_back(s);
        spans = std::move(merged);
    }
    return reach;
}

// Whether `at` lies in one of the spans (in order, apart).
bool insideSpans(const Spans &spans, double at) {
    auto it = std::upper_bound(spans.begin(), spans.end(), at,
                               [](double x, const std::pair<double, double> &s) { return x < s.first; });
    return it != spans.begin() && std::prev(it)->second >= at;
}

// Hands add every probe the rules may ask about these notes (pitches: their measurable keys; reach:
// the spans their notes may cover, see reachOfNotes): the level after each onset, the partner rises
// at each onset and at each attack an onset may move to, the fundamental's rise and level at each
// attack strong enough to move or split a note, and the attack level (the velocity) at each; with the
// drop trees or a list, the partial profile at each onset and at each attack an onset may move to;
// what the re-strike rule (with its model or a list, all that its model reads, the partial profile
// too) asks at each attack of the notes' keys it may judge (inside their reach); with proposals, those
// of every strong attack of every key (with the learned acceptance or a list of candidates, all that
// addFeatures measures; with the acceptance's trees or a list, the partial profile too).
template <class Add>
void listProbes(const std::vector<TimedNote> &notes, const std::set<int> &pitches, const std::vector<Spans> &reach,
                const AttackEvidence &e, const Timeline &t, const RefineThresholds &th, const CandidateList *list,
                Add add) {
    bool profiled = dropsProfiled(th, list);
    auto partners = [&](int pitch, double time) {
        for (int interval : {12, 19, 24})
            if (pitches.count(pitch - interval))
                add(riseProbe(e, pitch, interval, time, th));
    };
    for (const TimedNote &n : notes)
        if (measurable(n.pitch)) {
            add(levelProbe(e, ProbeKind::MeanLevel, n.pitch, n.on, n.on + stepLengthAt(t, n.on), th));
            if (list || th.dropModel != 0)  // everything dropFeatures measures at an onset as written
                for (const Probe &q : onsetProbes(e, n.pitch, n.on, th))
                    add(q);
            if (profiled)
                for (const Probe &q : profileProbes(e, n.pitch, n.on, th))
                    add(q);
            add(attackLevelProbe(e, n.pitch, n.on, th));
            if (th.restrikeOn != 0)
                add(settledLevelProbe(e, n.pitch, n.on, th));
            partners(n.pitch, n.on);
            if (th.partnerLevel <= -LevelFloorDb)
                continue;
            add(levelProbe(e, ProbeKind::MeanLevel, n.pitch, n.on + PeakFrom, n.on + PeakTo, th));
            for (int interval : {12, 19, 24})
                if (pitches.count(n.pitch - interval))
                    add(levelProbe(e, ProbeKind::MeanLevel, n.pitch - interval, n.on + PeakFrom, n.on + PeakTo, th));
        }
    double weakest = std::min({th.nearStrength, th.moveStrength, th.splitStrength});
    bool modelled = th.restrikeModel != 0 || list;  // every input of the re-strike model is asked
    for (int pitch : pitches)
        for (const Attack &a : e.attacks[pitch - LowestPitch]) {
            double at = a.time - th.attackLatency;
            if (th.restrikeOn != 0 && (restrikeCandidate(a, th) || (modelled && a.strength >= th.restrikeGate)) &&
                insideSpans(reach[pitch - LowestPitch], at)) {
                for (const Probe &q : restrikeProbes(e, pitch, at, th))
                    add(q);
                if (modelled) {
                    for (const Probe &q : onsetProbes(e, pitch, at, th))
                        add(q);
                    for (const Probe &q : profileProbes(e, pitch, at, th))
                        add(q);
                }
            }
            if (a.strength < weakest)
                continue;
            add(riseProbe(e, pitch, 0, at, th));
            add(levelProbe(e, ProbeKind::MeanFundamental, pitch, at, at + th.splitGap, th));
            add(attackLevelProbe(e, pitch, at, th));
            if (th.restrikeOn != 0)
                add(settledLevelProbe(e, pitch, at, th));  // an onset moved here
            partners(pitch, at);
            if (list || th.dropModel != 0) {  // an onset moved here, as dropFeatures measures it
                add(levelProbe(e, ProbeKind::MeanLevel, pitch, at, at + stepLengthAt(t, at), th));
                for (const Probe &q : onsetProbes(e, pitch, at, th))
                    add(q);
            }
            if (profiled)
                for (const Probe &q : profileProbes(e, pitch, at, th))
                    add(q);
        }
    bool measured = list || th.addModel != 0;  // every feature of the learned acceptance is asked
    double gate = weakestJudged(th, list);
    if (th.addOn != 0)
        for (int pitch = LowestPitch; pitch <= HighestPitch; ++pitch)
            for (const Attack &a : e.attacks[pitch - LowestPitch]) {
                double at = a.time - th.attackLatency;
                if (a.strength < gate)
                    continue;
                add(riseProbe(e, pitch, 0, at, th));
                add(levelProbe(e, ProbeKind::MeanFundamental, pitch, at, at + th.splitGap, th));
                add(attackLevelProbe(e, pitch, at, th));
                for (int interval : {12, 19, 24}) {
                    add(riseProbe(e, pitch, interval, at, th));
                    if ((measured || th.addOver > -LevelFloorDb) && measurable(pitch - interval))
                        add(levelProbe(e, ProbeKind::MeanLevel, pitch - interval, at + PeakFrom, at + PeakTo, th));
                }
                add(levelProbe(e, ProbeKind::MeanLevel, pitch, at + PeakFrom, at + PeakTo, th));
                if (proposalsProfiled(th, list))
                    for (const Probe &q : profileProbes(e, pitch, at, th))
                        add(q);
                if (th.addPeak <= -LevelFloorDb && !measured)
                    continue;
                for (int d : PeakNeighbours)
                    if (measurable(pitch + d))
                        add(levelProbe(e, ProbeKind::MeanLevel, pitch + d, at + PeakFrom, at + PeakTo, th));
            }
}

// Every probe the rules may ask about these notes (see listProbes); probeEvidence sorts them and
// keeps each once. On a long recording with proposals the list is the largest thing the rules
// keep, and most probes are asked for several notes (three times over, on average, on a
// four-minute recording), so it is made each-once whenever it fills, and grows only when that
// leaves it more than half full.
std::vector<Probe> wantedProbes(const std::vector<TimedNote> &notes, const AttackEvidence &e, const Timeline &t,
                                const RefineThresholds &th, const CandidateList *list) {
    std::set<int> pitches;
    for (const TimedNote &n : notes)
        if (measurable(n.pitch))
            pitches.insert(n.pitch);
    std::vector<Spans> reach = reachOfNotes(notes, t, th);
    std::vector<Probe> wanted;
    listProbes(notes, pitches, reach, e, t, th, list, [&wanted](const Probe &q) {
        if (wanted.size() == wanted.capacity() && !wanted.empty()) {
            keepEachOnce(wanted);
            if (2 * wanted.size() > wanted.capacity())
                wanted.reserve(2 * wanted.capacity());
        }
        wanted.push_back(q);
    });
    return wanted;
}

}  // namespace

const Attack *strongestAttack(const AttackEvidence &e, int pitch, double from, double to, double minStrength,
                              const RefineThresholds &th) {
    if (!measurable(pitch) || e.attacks.empty())
        return nullptr;
    const std::vector<Attack> &list = e.attacks[pitch - LowestPitch];
    auto it = std::lower_bound(list.begin(), list.end(), from + th.attackLatency,
                               [](const Attack &a, double time) { return a.time < time; });
    const Attack *best = nullptr;
    for (; it != list.end() && it->time - th.attackLatency <= to; ++it)
        if (it->strength >= minStrength && (!best || it->strength > best->strength))
            best = &*it;
    return best;
}

namespace {

// The rules in their order (see applyRules), listing the proposal rule's candidates when list is given.
std::vector<TimedNote> runRules(const std::vector<TimedNote> &notes, const AttackEvidence &e, const Timeline &t,
                                const RefineThresholds &th, RefineCounts &counts, CandidateList *list) {
    counts = RefineCounts{};
    std::vector<Working> w;
    for (const TimedNote &n : notes)
        w.push_back({n, false, false});
    if (e.attacks.size() != PitchCount)
        return tidy(w);
    ProbedEvidence v = probeEvidence(e, wantedProbes(notes, e, t, th, list));
    moveOnsets(w, v, t, th, counts);
    joinChords(w, notes, e, t, th);
    size_t listed = list ? list->judged.size() : 0;
    if (list)
        listJudged(w, notes, v, t, th, dropsProfiled(th, list), *list);
    if (th.dropOn != 0 && th.dropModel != 0)
        dropByModel(w, notes, v, t, th, counts);
    else if (th.dropOn != 0) {
        dropWeak(w, v, t, th, counts);
        dropPartners(w, v, th, counts);
    }
    if (list)
        markKept(w, *list, listed);
    if (th.splitOn != 0)
        splitNotes(w, v, t, th, counts);
    if (th.restrikeOn != 0)
        splitRestrikes(w, v, t, th, counts, list);
    if (th.partnerOn != 0)
        dropSoundingPartners(w, v, th, counts);
    if (th.addOn != 0)
        proposeNotes(w, v, t, th, counts, list);
    return withVelocities(tidy(w), v, th);
}

}  // namespace

std::vector<TimedNote> applyRules(const std::vector<TimedNote> &notes, const AttackEvidence &e, const Timeline &t,
                                  const RefineThresholds &th, RefineCounts &counts) {
    return runRules(notes, e, t, th, counts, nullptr);
}

std::vector<TimedNote> applyRules(const std::vector<TimedNote> &notes, const AttackEvidence &e, const Timeline &t,
                                  const RefineThresholds &th, RefineCounts &counts, CandidateList &list) {
    return runRules(notes, e, t, th, counts, &list);
}
