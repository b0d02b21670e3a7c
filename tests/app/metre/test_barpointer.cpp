// The bar pointer on synthetic evidence: what each position of a bar is, the
// phase of the best path, and readings compared by how well they explain it.
#include <gtest/gtest.h>

#include "app/starter/metre/barpointer.h"

namespace {

constexpr int U = MetreUnitsPerBeat;

TEST(BarPointer, PlacesOfSimpleAndCompoundBars) {
    MetreChoice fourFour{U, 2, 4, 0, 0, 0}, sixEight{U, 3, 2, 0, 0, 0};
    EXPECT_EQ(placeInBar(fourFour, 0), BarPlace::Downbeat);
    EXPECT_EQ(placeInBar(fourFour, 2 * U), BarPlace::Beat);
    EXPECT_EQ(placeInBar(fourFour, U / 2), BarPlace::Part);
    EXPECT_EQ(placeInBar(fourFour, U / 4), BarPlace::Finer);
    EXPECT_EQ(placeInBar(fourFour, U / 3), BarPlace::Between);
    EXPECT_EQ(placeInBar(sixEight, U), BarPlace::Beat);
    EXPECT_EQ(placeInBar(sixEight, U / 3), BarPlace::Part);
    EXPECT_EQ(placeInBar(sixEight, 2 * U / 3), BarPlace::Part);
    EXPECT_EQ(placeInBar(sixEight, U / 6), BarPlace::Finer);
    EXPECT_EQ(placeInBar(sixEight, U / 2), BarPlace::Finer);
    EXPECT_EQ(placeInBar(sixEight, U / 4), BarPlace::Between);
}

// Accents of a bar of barBeats beats of U units: 4 on the downbeat (from unit `first`), 3 on
// the other beats, 2 on their halves, 0 elsewhere; the bass on the downbeats only.
void piece(int beats, int barBeats, int first, std::vector<double> &accents, std::vector<double> &bass) {
    accents.clear(), bass.clear();
    for (int k = 0; k < beats * U; ++k) {
        int j = ((k - first) % (barBeats * U) + barBeats * U) % (barBeats * U);
        accents.push_back(j == 0 ? 4 : j % U == 0 ? 3 : j % (U / 2) == 0 ? 2 : 0);
        bass.push_back(j == 0 ? 3 : 0);
    }
}

TEST(BarPointer, FindsThePhaseAndExplainsTheRightBarBest) {
    std::vector<double> accents, bass, change;  // no chords known
    piece(60, 3, 2 * U, accents, bass);
    BarPath three = followBarPointer(accents, bass, change, {U, 2, 3, 0, 0, 0});
    EXPECT_EQ(three.phase, 2 * U);
    EXPECT_GT(three.fit, followBarPointer(accents, bass, change, {U, 2, 4, 0, 0, 0}).fit);
    EXPECT_GT(three.fit, followBarPointer(accents, bass, change, {U, 2, 2, 0, 0, 0}).fit);
    // A beat of half the tracked one puts a beat where nothing sounds: a worse fit.
    EXPECT_GT(three.fit, followBarPointer(accents, bass, change, {U / 2, 2, 3, 0, 0, 0}).fit);
}

TEST(BarPointer, ALoudBassOnsetInsideTheBeatCostsTheMixtureLittle) {
    PlaceChances chance{{0.9, 0.8, 0.5, 0.2, 0.05}, {0.7, 0.5, 0.25, 0.1, 0.1}};
    ReadingModel gaussian, mixture{false, true};
    // What a low note (bass 3 standard deviations) costs at a place against a quiet bass there.
    auto cost = [&](BarPlace place, const ReadingModel &m) {
        return unitFit(place, chance, 0, -0.3, -1, 0, m) - unitFit(place, chance, 0, 3, -1, 0, m);
    };
    // On a sixteenth the narrow Gaussian of the finer parts makes it cost as much as several
    // bars of evidence; as one onset among few it costs about what its rarity says.
    EXPECT_GT(cost(BarPlace::Finer, gaussian), 10);
    EXPECT_GT(cost(BarPlace::Finer, mixture), 0);
    EXPECT_LT(cost(BarPlace::Finer, mixture), 3);
    // Rarer places still cost more, and downbeats carry the loud bass.
    EXPECT_LT(cost(BarPlace::Part, mixture), cost(BarPlace::Finer, mixture));
    EXPECT_LT(cost(BarPlace::Downbeat, mixture), cost(BarPlace::Beat, mixture));
}

TEST(BarPointer, RemeasuredSharesExpectSilentBeatsAndKeepThePhase) {
    std::vector<double> full, sparse, bass, change;
    piece(60, 3, U, full, bass);
    sparse = full;
    for (size_t k = 0; k < sparse.size(); ++k)  // every other bar's downbeat and beats silent
        if ((k + 2 * U) / (3 * U) % 2 == 1 && sparse[k] > 2)
            sparse[k] = -0.3;
    MetreChoice threeFour{U, 2, 3, 0, 0, 0};
    ReadingModel first, remeasured{false, false, true};
    BarPath sparseFirst = followBarPointer(sparse, bass, change, threeFour, {}, first);
    BarPath sparseAgain = followBarPointer(sparse, bass, change, threeFour, {}, remeasured);
    EXPECT_GT(sparseAgain.fit, sparseFirst.fit);
    EXPECT_LT(followBarPointer(full, bass, change, threeFour, {}, remeasured).fit,
              followBarPointer(full, bass, change, threeFour, {}, first).fit);
    EXPECT_EQ(sparseFirst.phase, U);
    EXPECT_EQ(sparseAgain.phase, U);
}

TEST(BarPointer, NothingToFollow) {
    BarPath p = followBarPointer({}, {}, {}, {U, 2, 4, 0, 0, 0});
    EXPECT_EQ(p.fit, 0);
    EXPECT_EQ(p.phase, 0);
}

}  // namespace
