// The beats of a reading against their halves and against each other, and when a slow beat's
// halves are beats of their own.
#include <gtest/gtest.h>

#include "app/starter/metre/beat_track.h"
#include "app/starter/metre/metre.h"
#include "app/starter/metre/split.h"

namespace {

// Evidence of `beats` tracked beats: an onset of `beat` at every `every` units from unit 0 and
// of `half` halfway between them (0 elsewhere); the chroma one pitch class at a time, moving on
// every `chordEvery` units (0: no chroma).
MetreEvidence pulseEvidence(int beats, int every, double beat, double half, int chordEvery) {
    MetreEvidence e;
    size_t units = static_cast<size_t>(beats * MetreUnitsPerBeat);
    e.accents.assign(units, 0.0);
    e.bass.assign(units, 0.0);
    for (size_t k = 0; k < units; ++k) {
        int place = static_cast<int>(k) % every;
        e.accents[k] = place == 0 ? beat : place == every / 2 ? half : 0;
        e.bass[k] = place == 0 ? 1 : 0;
        if (chordEvery > 0) {
            std::array<double, 12> chroma{};
            chroma[static_cast<size_t>((static_cast<int>(k) / chordEvery) % 12)] = 1;
            addChroma(e, chroma);
        }
    }
    e.trackedTempo = 60;
    return e;
}

TEST(BeatHalves, HalvesLikeBeatsAreReadAsBeats) {
    // A reading of two tracked beats at 30 a minute over a pulse at 60 whose chords move every
    // tracked beat: the halves carry the same onsets and chord changes as the beats.
    MetreEvidence e = pulseEvidence(48, 12, 5, 5, 12);
    MetreChoice slow{24, 2, 4, 0, 0, 0};
    BeatHalves h = beatHalves(e, slow);
    EXPECT_DOUBLE_EQ(h.beatOnsets, 1);
    EXPECT_DOUBLE_EQ(h.halfOnsets, 1);
    EXPECT_NEAR(h.halfAccent, h.beatAccent, 1e-9);
    EXPECT_NEAR(h.halfChange, h.beatChange, 1e-9);
    EXPECT_GT(h.beatChange, 0.5);
    EXPECT_TRUE(halvesAreBeats(h, choiceTempo(slow, e.trackedTempo)));
    // The same evidence read at 100 a minute or faster is not split again.
    EXPECT_FALSE(halvesAreBeats(h, SplitBelowTempo));
    EXPECT_FALSE(halvesAreBeats(h, 0));
}

TEST(BeatHalves, ASlowBeatWithQuietHalvesOrStillChordsThereKeepsItsLevel) {
    MetreChoice beat{12, 2, 4, 0, 0, 0};
    // Chords moving at the halves too, but their onsets far weaker than the beats'.
    BeatHalves quiet = beatHalves(pulseEvidence(48, 12, 8, 1, 6), beat);
    EXPECT_NEAR(quiet.halfChange, quiet.beatChange, 1e-9);
    EXPECT_LT(quiet.halfAccent, quiet.beatAccent - SplitAccentShortfall);
    EXPECT_FALSE(halvesAreBeats(quiet, 60));
    // Onsets alike, but the chords move only on the beats.
    BeatHalves still = beatHalves(pulseEvidence(48, 12, 5, 5, 12), beat);
    EXPECT_LT(still.halfChange, still.beatChange - SplitChangeShortfall);
    EXPECT_FALSE(halvesAreBeats(still, 60));
    // No chroma: no chord changes measured, no evidence to split on.
    BeatHalves none = beatHalves(pulseEvidence(48, 12, 5, 5, 0), beat);
    EXPECT_DOUBLE_EQ(none.beatChange, 0);
    EXPECT_FALSE(halvesAreBeats(none, 60));
}

TEST(BeatHalves, AlternateBeatsAreCountedFromTheDownbeat) {
    // Loud onsets every other tracked beat, quiet ones between: with the downbeat on a loud one
    // the even beats are the loud ones; with it a beat later, the odd ones.
    MetreEvidence e = pulseEvidence(48, 24, 6, 2, 24);
    BeatHalves onLoud = beatHalves(e, MetreChoice{12, 2, 4, 24, 0, 0});
    BeatHalves onQuiet = beatHalves(e, MetreChoice{12, 2, 4, 12, 0, 0});
    EXPECT_GT(onLoud.evenAccent, onLoud.oddAccent);
    EXPECT_GT(onLoud.evenBass, onLoud.oddBass);
    EXPECT_NEAR(onQuiet.evenAccent, onLoud.oddAccent, 1e-9);
    EXPECT_NEAR(onQuiet.oddAccent, onLoud.evenAccent, 1e-9);
    // Too little evidence for a beat, or an odd beat: nothing measured.
    BeatHalves empty = beatHalves(pulseEvidence(1, 12, 5, 5, 12), MetreChoice{24, 2, 4, 0, 0, 0});
    EXPECT_DOUBLE_EQ(empty.beatOnsets + empty.halfOnsets + empty.beatChange, 0);
}

TEST(BeatHalves, AReadingsBeatsFollowTheGridFromItsPhase) {
    std::vector<double> grid{0, 1, 2, 4, 6};
    // Two tracked beats a beat, the downbeat a tracked beat and a half in: from unit 18 % 24 = 18.
    std::vector<double> beats = readingBeats(grid, MetreChoice{24, 2, 2, 18, 0, 0});
    ASSERT_EQ(beats.size(), 2u);
    EXPECT_NEAR(beats[0], 1.5, 1e-9);
    EXPECT_NEAR(beats[1], 5, 1e-9);
    EXPECT_EQ(readingBeats(grid, MetreChoice{12, 2, 4, 0, 0, 0}), grid);
    EXPECT_TRUE(readingBeats({1.0}, MetreChoice{12, 2, 4, 0, 0, 0}).empty());
}

}  // namespace

namespace {

// Tracked beats 2 s apart (30 a minute) over a pulse every half second whose chord moves
// with every onset: the tracked level is chosen, and its halves are beats.
BeatTrack halfSecondPulse(std::vector<double> &tracked) {
    BeatTrack t;
    t.hopSeconds = 0.01;
    t.regionEnd = 64;
    size_t hops = static_cast<size_t>(t.regionEnd / t.hopSeconds);
    t.onsetStrength.assign(hops, 1.0f);
    t.spectrum.chroma.assign(hops, {});
    t.spectrum.bassFlux.assign(hops, 0.0f);
    for (size_t h = 0; h < hops; ++h)
        t.spectrum.chroma[h][(h / 50 * 7) % 12] = 1;
    for (size_t h = 51; h < hops; h += 50)
        t.onsetStrength[h] = 10;
    tracked.clear();
    for (int i = 0; i < 31; ++i)
        tracked.push_back(0.5 + 2.0 * i);
    t.firstSound = 0.5;
    t.peak = 0.5;
    return t;
}

TEST(BeatHalves, TheSettingReadsASlowBeatWithBeatsAtItsHalvesAsTwo) {
    std::vector<double> tracked;
    BeatTrack t = halfSecondPulse(tracked);
    MetreInput split;
    split.splitSlowBeat = true;
    Metre today = findMetre(t, tracked, {}), two = findMetre(t, tracked, {}, split);
    ASSERT_GE(today.beats.size(), 2u);
    ASSERT_GE(two.beats.size(), 2u);
    EXPECT_NEAR(today.beats[1] - today.beats[0], 2.0, 1e-6);
    EXPECT_NEAR(two.beats[1] - two.beats[0], 1.0, 1e-6);
    EXPECT_GT(two.beats.size(), today.beats.size() * 3 / 2);
    EXPECT_TRUE(two.judged);
}

}  // namespace

TEST(PartsContrast, BeatsAgainstTheirHalvesOrThirds) {
    // Loud onsets every tracked beat, weaker ones at the halves, nothing at the thirds.
    MetreEvidence e = pulseEvidence(48, 12, 5, 1, 0);
    EXPECT_NEAR(partsContrast(e.accents, MetreChoice{12, 2, 4, 0, 0, 0}), 4, 1e-9);
    EXPECT_NEAR(partsContrast(e.accents, MetreChoice{12, 3, 2, 0, 0, 0}), 5, 1e-9);
    // Beats of two tracked beats: their halves are beats as loud as they are.
    EXPECT_NEAR(partsContrast(e.accents, MetreChoice{24, 2, 4, 0, 0, 0}), 0, 1e-9);
    // Beats placed on the halves: the parts stand above them.
    EXPECT_NEAR(partsContrast(e.accents, MetreChoice{12, 2, 4, 6, 0, 0}), -4, 1e-9);
    // No whole beat, or a beat that does not divide into its parts: nothing measured.
    EXPECT_DOUBLE_EQ(partsContrast(std::vector<double>(11, 1.0), MetreChoice{12, 2, 4, 0, 0, 0}), 0);
    EXPECT_DOUBLE_EQ(partsContrast(e.accents, MetreChoice{4, 3, 4, 0, 0, 0}), 0);
}
