// Template pursuit: explains a row of levels by instrument note templates.
#include "analysis/analysis.h"
#include "input/input.h"

namespace {

const int32_t *templateOf(int note) { return FilterTable + note * FilterSize; }

// Residual energy after taking `scale` times the note's template away.
double residual(const int32_t *shape, double scale) {
    double sum = 0;
    for (int k = settings.KeyMin; k <= settings.KeyMax; ++k) {
        const double d = analysis.WorkingLevels[k] - shape[k] * scale;
        sum += d * d;
    }
    return sum;
}

// Best extraction of one iteration.
struct Extraction {
    double energy;
    int note;
    int32_t multiple;
};

// Line search for the best multiple of one note; false when neither sign helps.
bool bestMultiple(int t, double reference, int32_t &multiple, double &energy) {
    const int32_t *shape = templateOf(t);
    const double minus = residual(shape, 0.007874016), plus = residual(shape, -0.007874016);
    if (reference < minus && reference < plus) return false;
    const int dir = minus < plus ? 1 : -1;
    double prev = minus < plus ? minus : plus;
    int32_t m = dir;
    for (;;) {
        m += dir;
        const double s = residual(shape, m / static_cast<double>(derived.levelCeiling));
        if (!(s < prev)) break;
        prev = s;
    }
    multiple = m - dir;
    energy = prev;
    return true;
}

Extraction bestExtraction(double reference) {
    Extraction best = {reference, 0, 0};
    for (int t = settings.KeyMin; t <= settings.KeyMax; ++t) {
        if (derived.allowedKeys[t] == 0) continue;
        int32_t multiple;
        double energy;
        if (bestMultiple(t, reference, multiple, energy) && energy < best.energy) best = {energy, t, multiple};
    }
    return best;
}

}  // namespace

void pursueTemplates(const int32_t *row, int32_t *strengths) {
    const Settings &s = settings;
    double E = 0;
    for (int k = s.KeyMin; k <= s.KeyMax; ++k) {
        analysis.WorkingLevels[k] = row[k];
        strengths[k] = 0;
        E += analysis.WorkingLevels[k] * analysis.WorkingLevels[k];
    }
    int count = 0;
    for (;;) {
        const double reference = E;
        const Extraction best = bestExtraction(reference);
        if (!(best.energy < reference)) break;
        E = best.energy;
        if (best.multiple > 0) ++count;
        strengths[best.note] += best.multiple;
        const double scale = best.multiple / static_cast<double>(derived.levelCeiling);
        const int32_t *shape = templateOf(best.note);
        for (int k = s.KeyMin; k <= s.KeyMax; ++k) analysis.WorkingLevels[k] -= shape[k] * scale;
        if (count >= s.PitchMode) break;
    }
    for (int k = s.KeyMin; k <= s.KeyMax; ++k)
        if (derived.allowedKeys[k] == 0 || strengths[k] / analysis.ChordWeights[k % 12] < s.OutputThreshold)
            strengths[k] = 0;
}
