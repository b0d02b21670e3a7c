// Key detection from the pitch-class totals of the piece.
#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>

#include "analysis/analysis.h"
#include "engine/engine.h"
#include "input/input.h"

namespace {

struct DetectedKey {
    int keySignature;
    int mode;
    int detectedMode;
};

// Detects the key from totals given as (pitch class, total) pairs.
DetectedKey detect(std::initializer_list<std::pair<int, int64_t>> totals) {
    resetSettings();
    settings.KeySignature = 8;
    settings.MajorMinor = 0;
    run = RunState{};
    run.detectedMode = -1;
    for (int64_t &t : analysis.PitchClassTotals) t = 0;
    for (const auto &[pitchClass, total] : totals) analysis.PitchClassTotals[pitchClass] = total;
    detectPieceKey();
    DetectedKey result{settings.KeySignature, settings.MajorMinor, run.detectedMode};
    for (int64_t &t : analysis.PitchClassTotals) t = 0;
    resetSettings();
    return result;
}

void expectKey(const DetectedKey &key, int keySignature, int mode) {
    EXPECT_EQ(key.keySignature, keySignature);
    EXPECT_EQ(key.mode, mode);
    EXPECT_EQ(key.detectedMode, mode);
}

TEST(KeyDetection, NoNoteMaterialIsCMajor) { expectKey(detect({}), 0, 0); }

TEST(KeyDetection, AWithEAndCIsAMinor) {
    // C, F and G major tie on their scales; A minor scores 142.
    expectKey(detect({{9, 100}, {4, 60}, {0, 50}}), 0, 1);
}

TEST(KeyDetection, MinorKeysTakeTheSignatureOfTheirRelativeMajor) {
    expectKey(detect({{3, 100}, {10, 60}, {6, 50}}), -6, 1);  // E flat minor, six flats
    expectKey(detect({{4, 100}, {11, 60}, {7, 50}}), 1, 1);   // E minor
    expectKey(detect({{1, 100}, {8, 60}, {4, 50}}), 4, 1);    // C sharp minor
}

TEST(KeyDetection, MajorKeysFromTheirTonicTriad) {
    expectKey(detect({{7, 100}, {11, 50}, {2, 60}}), 1, 0);   // G major
    expectKey(detect({{6, 100}, {10, 50}, {1, 60}}), -6, 0);  // G flat major
    expectKey(detect({{11, 100}, {3, 50}, {6, 60}}), 5, 0);   // B major
    expectKey(detect({{1, 100}, {5, 50}, {8, 60}}), -5, 0);   // D flat major
}

TEST(KeyDetection, EqualScoresKeepTheLowerTonic) {
    // D flat major and G flat major both gather 130 on their scales and score 61.
    expectKey(detect({{1, 30}, {3, 20}, {5, 30}, {6, 30}, {8, 20}}), -5, 0);
}

TEST(KeyDetection, TotalsBeyondThirtyTwoBitsAreSummedExactly) {
    // The A minor example (A 100, E 60, C 50) scaled by 2 x 10^7: the scale sums exceed 2^32.
    expectKey(detect({{9, 2000000000}, {4, 1200000000}, {0, 1000000000}}), 0, 1);
    expectKey(detect({{0, 3000000000}, {4, 3000000000}, {7, 3000000000}}), 0, 0);
}

}  // namespace
