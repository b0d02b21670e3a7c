// What every rule asks about the notes and the evidence.
#include "app/starter/refine/working.h"

#include <algorithm>
#include <cmath>

namespace {

// Hop of a time of the recording in the evidence (the latency put back).
int hopOf(const AttackEvidence &e, double time, const RefineThresholds &th) {
    return static_cast<int>(std::lround((time + th.attackLatency) / e.hopSeconds));
}

}  // namespace

bool measurable(int pitch) { return pitch >= LowestPitch && pitch <= HighestPitch; }

bool claimed(const std::vector<Working> &w, size_t self, int pitch, double time, double window) {
    for (size_t i = 0; i < w.size(); ++i)
        if (i != self && !w[i].dropped && w[i].note.pitch == pitch && std::abs(w[i].note.on - time) <= window)
            return true;
    return false;
}

Probe levelProbe(const AttackEvidence &e, ProbeKind kind, int pitch, double from, double to,
                 const RefineThresholds &th) {
    int a = hopOf(e, from, th);
    return {kind, static_cast<std::int16_t>(pitch), a, std::max(a, hopOf(e, to, th))};
}

Probe riseProbe(const AttackEvidence &e, int pitch, int interval, double time, const RefineThresholds &th) {
    return {interval == 0 ? ProbeKind::FundamentalRise : partnerKind(interval), static_cast<std::int16_t>(pitch),
            hopOf(e, time - th.partnerWindow, th), hopOf(e, time + th.partnerWindow, th)};
}

double meanLevel(const ProbedEvidence &v, ProbeKind kind, int pitch, double from, double to,
                 const RefineThresholds &th) {
    return probeValue(v, levelProbe(v.evidence, kind, pitch, from, to, th));
}

bool startsBelow(const std::vector<Working> &w, size_t self, int pitch, double time, const RefineThresholds &th) {
    for (size_t i = 0; i < w.size(); ++i) {
        if (i == self || w[i].dropped || std::abs(w[i].note.on - time) > th.partnerWindow)
            continue;
        for (int interval : {12, 19, 24, 28, 31})
            if (w[i].note.pitch == pitch - interval)
                return true;
    }
    return false;
}

// A note of its own starts where its fundamental rises, whatever the notes above do with its upper
// partials; a note starting then below it, whose partial lies on that fundamental, explains the rise.
float fundamentalRise(const std::vector<Working> &w, size_t self, const ProbedEvidence &v, int pitch, double time,
                      const RefineThresholds &th) {
    if (startsBelow(w, self, pitch, time, th))
        return 0;
    return static_cast<float>(probeValue(v, riseProbe(v.evidence, pitch, 0, time, th)));
}

double peakAcrossKeys(const ProbedEvidence &v, int pitch, double at, const RefineThresholds &th) {
    double beside = -LevelFloorDb;
    for (int d : PeakNeighbours)
        if (measurable(pitch + d))
            beside = std::max(beside, meanLevel(v, ProbeKind::MeanLevel, pitch + d, at + PeakFrom, at + PeakTo, th));
    return meanLevel(v, ProbeKind::MeanLevel, pitch, at + PeakFrom, at + PeakTo, th) - beside;
}

std::vector<Probe> profileProbes(const AttackEvidence &e, int pitch, double at, const RefineThresholds &th) {
    std::vector<Probe> q;
    for (int d : ProfileKeys)
        if (measurable(pitch + d)) {
            q.push_back(levelProbe(e, ProbeKind::MeanLevel, pitch + d, at + PeakFrom, at + PeakTo, th));
            q.push_back(
                levelProbe(e, ProbeKind::MeanLevel, pitch + d, at - ProfileBeforeFrom, at - ProfileBeforeTo, th));
        }
    return q;
}

PartialProfile partialProfile(const ProbedEvidence &v, int pitch, double at, const RefineThresholds &th) {
    std::array<double, ProfileKeys.size()> after{}, before{};
    for (size_t k = 0; k < ProfileKeys.size(); ++k) {
        int key = pitch + ProfileKeys[k];
        bool heard = measurable(key);
        after[k] = heard ? meanLevel(v, ProbeKind::MeanLevel, key, at + PeakFrom, at + PeakTo, th) : -LevelFloorDb;
        before[k] = heard ? meanLevel(v, ProbeKind::MeanLevel, key, at - ProfileBeforeFrom, at - ProfileBeforeTo, th)
                          : -LevelFloorDb;
    }
    PartialProfile p;
    for (size_t k = 0; k < ProfileKeys.size(); ++k) {
        p.around[k] = after[k] - after[ProfileOwnKey];
        p.change[k] = after[k] - before[k];
    }
    return p;
}

size_t splitAt(std::vector<Working> &w, size_t current, double at) {
    Working piece = w[current];
    piece.note.on = at;
    w[current].note.off = at;
    w.push_back(piece);
    return w.size() - 1;
}
