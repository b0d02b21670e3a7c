// Harmonic attribution: turns a row of levels into per-key note strengths.
#include <climits>
#include <cstring>

#include "analysis/analysis.h"
#include "input/input.h"

namespace {

int32_t &claimed(int fundamental, int harmonic) { return analysis.AttributionMatrix[fundamental * KeyLimit + harmonic]; }

// Whether a lower accepted key explains the amount c of key b as its harmonic.
bool explained(const int32_t *strengths, int b, int32_t c) {
    for (int i = 2; i <= tables.HarmonicCount; ++i) {
        const int f = b - tables.HarmonicOffsets[i];
        if (f < settings.KeyMin) break;
        if (strengths[f] >= static_cast<int64_t>(claimed(f, b)) + c) return true;
    }
    return false;
}

// Least-squares line through the harmonic amounts claimed so far.
struct LineFit {
    int64_t n, sumX, sumXX, sumY, sumXY;

    void add(int64_t y) {
        n += 1;
        sumX += n;
        sumXX += n * n;
        sumY += y;
        sumXY += n * y;
    }

    // The amount the line predicts for the next harmonic.
    int32_t predictNext() const {
        const float slope = static_cast<float>(static_cast<double>(n * sumXY - sumX * sumY) /
                                               static_cast<double>(n * sumXX - sumX * sumX));
        const float intercept =
            static_cast<float>((static_cast<double>(sumY) - static_cast<double>(slope) * sumX) / n);
        return truncInt(static_cast<double>(slope) * (n + 1) + static_cast<double>(intercept) + 0.5);
    }
};

// Key b takes the amount c as a fundamental and claims its harmonics.
void acceptFundamental(int32_t *row, int32_t *strengths, int b, int32_t c) {
    row[b] -= c;
    analysis.CarryLevels[b] += c;
    LineFit fit = {1, 1, 1, c, c};
    int64_t sum = c;
    int32_t cur = c;
    for (int i = 2; i <= tables.HarmonicCount && cur != 0; ++i) {
        const int h = b + tables.HarmonicOffsets[i];
        if (h > settings.KeyMax) break;
        const int32_t l = row[h];
        const int32_t y = l < cur ? l : cur;
        claimed(b, h) = y;
        row[h] = l - y;
        sum += y;
        fit.add(y);
        const int32_t prediction = fit.predictNext();
        cur = y > prediction ? y : prediction;
    }
    if (derived.allowedKeys[b] != 0 && sum / analysis.ChordWeights[b % 12] >= settings.OutputThreshold) {
        const int64_t total = strengths[b] + sum;
        strengths[b] = total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
    }
}

void attributePass(int32_t *row, int32_t *strengths, int pass) {
    for (int b = settings.KeyMin; b <= settings.KeyMax; ++b) {
        int32_t c = row[b];
        if (pass == 0) {
            if (analysis.CarryLevels[b] < c) c = analysis.CarryLevels[b];
            analysis.CarryLevels[b] = 0;
            strengths[b] = 0;
        }
        if (c == 0) continue;
        if (explained(strengths, b, c)) {
            if (pass == 1) row[b] = 0;
            continue;
        }
        acceptFundamental(row, strengths, b, c);
    }
}

}  // namespace

void resetAttribution() { std::memset(analysis.CarryLevels, 0, sizeof analysis.CarryLevels); }

void attributeHarmonics(int32_t *row, int32_t *strengths) {
    if (settings.KeyMin > settings.KeyMax) return;
    // Only fundamentals KeyMin..KeyMax claim or are asked about.
    std::memset(&claimed(settings.KeyMin, 0), 0,
                sizeof(int32_t) * KeyLimit * (settings.KeyMax - settings.KeyMin + 1));
    attributePass(row, strengths, 0);
    attributePass(row, strengths, 1);
}
