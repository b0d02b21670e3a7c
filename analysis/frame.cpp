// Frame analysis: one row of the level matrix per frame.
#include <cstring>

#include "analysis/analysis.h"
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
void removeWave(FrameWork &work, const PreviousKey &peak) {
    const int32_t *wave = tables.ReferenceTable + tables.KeyTable[peak.key].slotStart + peak.phase;
    int32_t *core = work.frame + derived.framePad;
    const int64_t amount = static_cast<int64_t>(peak.sign) * peak.level;
    const int PM = settings.PhaseMult;
    for (int n = 1; n <= settings.BufferSize; ++n)
        core[n] = static_cast<int32_t>(core[n] - amount * wave[PM * n]);
    frameChanged(work);
}

// Marks the out-of-scale harmonics of an in-scale peak for measurement.
void markHarmonics(int32_t *mask, int key) {
    for (int i = 2; i <= tables.HarmonicCount; ++i) {
        const int g = key + tables.HarmonicOffsets[i];
        if (g > settings.KeyMax) break;
        if (mask[g] == 0) mask[g] = -1;
    }
}

}  // namespace

void analyseFrameWith(FrameWork &work) {
    const Settings &s = settings;
    if (s.KeyMin > s.KeyMax) return;
    int32_t *row = work.row, *mask = work.mask;
    for (int k = s.KeyMin; k <= s.KeyMax; ++k) mask[k] = derived.allowedKeys[k];
    PreviousKey prev = {s.KeyMin, 0, 0, 0, 1};
    for (int k = s.KeyMin; k <= s.KeyMax; ++k) {
        if (mask[k] == 0) continue;
        DetectorResult result = {0, 0, k, 1};
        detectKeyWith(work, result);
        int32_t drop = prev.level - result.level;
        if (drop <= 0 || prev.drop > 0) {
            row[prev.key] = 0;
        } else {
            if (s.ClusterDetect) {
                removeWave(work, prev);
                detectKeyWith(work, result);
                drop = prev.level - result.level;
            }
            row[prev.key] = prev.level >= s.OutputThreshold ? weightedLevel(prev.key, prev.level) : 0;
            if (s.Constrain && mask[prev.key] == 1) markHarmonics(mask, prev.key);
        }
        prev = {k, result.level, drop, result.phase, result.sign};
    }
    row[prev.key] = prev.drop > 0 || prev.level < s.OutputThreshold ? 0 : weightedLevel(prev.key, prev.level);
}

void measureAllKeysWith(FrameWork &work) {
    for (int k = settings.KeyMin; k <= settings.KeyMax; ++k) {
        DetectorResult result = {0, 0, k, 1};
        detectKeyWith(work, result);
        work.row[k] = result.level;
    }
}

namespace {

// The single-threaded work on `FrameSamples`, a row and the working mask.
FrameWork &currentWork(int row) {
    FrameWork &work = analysis.work;
    work.frame = analysis.FrameSamples;
    work.row = levelRow(row);
    work.mask = analysis.WorkingMask;
    frameChanged(work);
    return work;
}

}  // namespace

void analyseFrame(int row) { analyseFrameWith(currentWork(row)); }

void measureAllKeys(int row) { measureAllKeysWith(currentWork(row)); }
