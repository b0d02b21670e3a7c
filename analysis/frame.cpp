// Frame analysis: one row of the level matrix per frame.
#include <cstring>

#include "analysis/analysis.h"
#include "engine/engine.h"
#include "input/input.h"

namespace {

// The last measured key and what was measured there.
struct PreviousKey {
    int key;
    int32_t level;
    int32_t drop;
    int32_t phase;
    int32_t sign;
};

int32_t weightedLevel(int key, int32_t level) {
    return truncInt(level * static_cast<double>(tables.KeyTable[key].keyWeight) + 0.5);
}

// Takes the peak key's fitted wave away from the frame core.
void removeWave(const PreviousKey &peak) {
    const int32_t *wave = tables.ReferenceTable + tables.KeyTable[peak.key].slotStart + peak.phase;
    int32_t *core = analysis.FrameSamples + derived.framePad;
    const int64_t amount = static_cast<int64_t>(peak.sign) * peak.level;
    const int PM = settings.PhaseMult;
    for (int n = 1; n <= settings.BufferSize; ++n)
        core[n] = static_cast<int32_t>(core[n] - amount * wave[PM * n]);
}

// Marks the out-of-scale harmonics of an in-scale peak for measurement.
void markHarmonics(int key) {
    for (int i = 2; i <= tables.HarmonicCount; ++i) {
        const int g = key + tables.HarmonicOffsets[i];
        if (g > settings.KeyMax) break;
        if (analysis.WorkingMask[g] == 0) analysis.WorkingMask[g] = -1;
    }
}

}  // namespace

void analyseFrame() {
    const Settings &s = settings;
    if (s.KeyMin > s.KeyMax) return;
    int32_t *row = levelRow(run.CurrentRow);
    for (int k = s.KeyMin; k <= s.KeyMax; ++k) analysis.WorkingMask[k] = derived.allowedKeys[k];
    PreviousKey prev = {s.KeyMin, 0, 0, 0, 1};
    for (int k = s.KeyMin; k <= s.KeyMax; ++k) {
        if (analysis.WorkingMask[k] == 0) continue;
        DetectorResult result = {0, 0, k, 1};
        detectKey(result);
        int32_t drop = prev.level - result.level;
        if (drop <= 0 || prev.drop > 0) {
            row[prev.key] = 0;
        } else {
            if (s.ClusterDetect) {
                removeWave(prev);
                detectKey(result);
                drop = prev.level - result.level;
            }
            row[prev.key] = prev.level >= s.OutputThreshold ? weightedLevel(prev.key, prev.level) : 0;
            if (s.Constrain && analysis.WorkingMask[prev.key] == 1) markHarmonics(prev.key);
        }
        prev = {k, result.level, drop, result.phase, result.sign};
    }
    row[prev.key] = prev.drop > 0 || prev.level < s.OutputThreshold ? 0 : weightedLevel(prev.key, prev.level);
}

void measureAllKeys() {
    int32_t *row = levelRow(run.CurrentRow);
    for (int k = settings.KeyMin; k <= settings.KeyMax; ++k) {
        DetectorResult result = {0, 0, k, 1};
        detectKey(result);
        row[k] = result.level;
    }
}
