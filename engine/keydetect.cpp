// Key detection at the end of the run, from the pitch-class totals.
#include "analysis/analysis.h"
#include "engine/engine.h"
#include "input/input.h"

namespace {

const int MajorScaleFlags[12] = {1, 0, 1, 0, 1, 1, 0, 1, 0, 1, 0, 1};
const int MajorProfile[12] = {1, 0, 5, 0, 4, 3, 0, 2, 0, 3, 8, 5};
const int MinorProfile[12] = {1, 0, 5, 4, 0, 3, 0, 2, 3, 0, 5, 8};
const int KeySignatureByTonic[12] = {0, -5, 2, -3, 4, -1, -6, 1, -4, 3, -2, 5};

// Score of the tonic d under a profile of divisors.
int64_t profileScore(const int64_t *T, int d, const int *profile) {
    int64_t score = 0;
    for (int j = 0; j < 12; ++j)
        if (profile[j] != 0) score += T[(d + j) % 12] / profile[j];
    return score;
}

}  // namespace

void detectPieceKey() {
    const int64_t *T = analysis.PitchClassTotals;
    int candidates[12];
    int count = 0;
    int64_t best = -1;
    for (int i = 0; i < 12; ++i) {
        int64_t S = 0;
        for (int c = 0; c < 12; ++c)
            if (MajorScaleFlags[c]) S += T[(i + c) % 12];
        if (S > best) {
            best = S;
            count = 0;
        }
        if (S == best) candidates[count++] = i;
    }
    int64_t bestScore = -1;
    int bestTonic = 0, bestMode = 0;
    for (int n = 0; n < count; ++n) {
        for (int mode = 0; mode < 2; ++mode) {
            int d = mode == 0 ? candidates[n] : (candidates[n] + 9) % 12;
            int64_t score = profileScore(T, d, mode == 0 ? MajorProfile : MinorProfile);
            if (score > bestScore) {
                bestScore = score;
                bestTonic = d;
                bestMode = mode;
            }
        }
    }
    settings.KeySignature = KeySignatureByTonic[(bestTonic + 3 * bestMode) % 12];
    settings.MajorMinor = bestMode;
    run.detectedMode = bestMode;
}
