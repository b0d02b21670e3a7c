// Velocities from attack levels: one probe per note (asked with the rules' own,
// so that a long file is read once for both), a calibrated line and the
// recording's own typical level.
#include "app/starter/refine/velocity.h"

#include <algorithm>
#include <cmath>

namespace {

// The hops after an onset whose levels make a note's attack level: the long window (186 ms)
// centred on them holds the note's first 250 ms and little of what came before it (of the spans
// from 10 to 200 ms after the onset tried on the development pieces, the best velocity F1).
constexpr int LevelFromHops = 6, LevelToHops = 12;
// Calibrated on single notes rendered at known velocities with three SoundFonts and seven
// instruments (tools/calibrate/velocity.py): the level rises LevelPerVelocity dB per step of
// velocity (a straight line in velocity predicts a SoundFont left out of the fit better than one in
// its logarithm).
constexpr double LevelPerVelocity = 0.188;
// The velocity of a note at the recording's typical level: between mezzo-forte and forte, where
// most playing lies; how loud the whole recording was is not known from a file scaled to its peak.
constexpr double TypicalVelocity = 80;
// Levels further than this below the typical one are read as this far: a key's level that low is
// mostly what other notes leave in its band, not how softly it was played.
constexpr double QuietestBelowTypical = 12;
// Notes a recording needs before its levels' slope over the keyboard is taken off.
constexpr size_t LeastNotesForRegister = 3;

bool measurable(int pitch) { return pitch >= LowestPitch && pitch <= HighestPitch; }

}  // namespace

Probe attackLevelProbe(const AttackEvidence &e, int pitch, double onset, const RefineThresholds &th) {
    int hop = static_cast<int>(std::lround((onset + th.attackLatency) / e.hopSeconds));
    return {ProbeKind::MeanLevel, static_cast<std::int16_t>(pitch), hop + LevelFromHops, hop + LevelToHops};
}

std::vector<double> attackLevels(const std::vector<TimedNote> &notes, const ProbedEvidence &v,
                                 const RefineThresholds &th) {
    std::vector<double> levels;
    for (const TimedNote &n : notes)
        levels.push_back(measurable(n.pitch) && v.evidence.hops > 0
                             ? probeValue(v, attackLevelProbe(v.evidence, n.pitch, n.on, th))
                             : 0.0);
    return levels;
}

std::vector<double> withoutRegister(std::vector<double> levels, const std::vector<int> &pitches) {
    size_t n = std::min(levels.size(), pitches.size());
    if (n < LeastNotesForRegister)
        return levels;
    double meanPitch = 0, meanLevel = 0;
    for (size_t i = 0; i < n; ++i)
        meanPitch += pitches[i] / static_cast<double>(n), meanLevel += levels[i] / static_cast<double>(n);
    double covariance = 0, variance = 0;
    for (size_t i = 0; i < n; ++i) {
        covariance += (pitches[i] - meanPitch) * (levels[i] - meanLevel);
        variance += (pitches[i] - meanPitch) * (pitches[i] - meanPitch);
    }
    if (variance <= 0)
        return levels;
    for (size_t i = 0; i < n; ++i)
        levels[i] -= covariance / variance * (pitches[i] - meanPitch);
    return levels;
}

double typicalLevel(std::vector<double> levels) {
    if (levels.empty())
        return 0;
    auto middle = levels.begin() + static_cast<long>(levels.size() / 2);
    std::nth_element(levels.begin(), middle, levels.end());
    return *middle;
}

int velocityOf(double level, double typical) {
    double v = TypicalVelocity + std::max(level - typical, -QuietestBelowTypical) / LevelPerVelocity;
    return static_cast<int>(std::clamp<long>(std::lround(v), 1, 127));
}

std::vector<TimedNote> withVelocities(std::vector<TimedNote> notes, const ProbedEvidence &v,
                                      const RefineThresholds &th) {
    if (notes.empty() || v.evidence.hops == 0)
        return notes;
    std::vector<double> all = attackLevels(notes, v, th), levels;
    std::vector<int> pitches;
    for (size_t i = 0; i < notes.size(); ++i)
        if (measurable(notes[i].pitch)) {
            levels.push_back(all[i]);
            pitches.push_back(notes[i].pitch);
        }
    levels = withoutRegister(levels, pitches);
    double typical = typicalLevel(levels);
    size_t next = 0;
    for (TimedNote &n : notes)
        n.velocity = velocityOf(measurable(n.pitch) ? levels[next++] : typical, typical);
    return notes;
}

std::vector<TimedNote> withVelocities(const std::vector<TimedNote> &notes, const AttackEvidence &e,
                                      const RefineThresholds &th) {
    std::vector<Probe> wanted;
    for (const TimedNote &n : notes)
        if (measurable(n.pitch))
            wanted.push_back(attackLevelProbe(e, n.pitch, n.on, th));
    return withVelocities(notes, probeEvidence(e, wanted), th);
}
