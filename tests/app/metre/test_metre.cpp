// From tracked beats to the written beats, the downbeats and the engine's beats:
// compound time split in eighths, a pick-up before the first downbeat, the
// bounds a given time signature sets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/starter/beats/beats.h"
#include "app/starter/metre/metre.h"

namespace {

// Tracked beats `period` apart from `first`, with onsets of the given strengths in turn
// (1 between them), 10 ms hops; the first sound at `sound`.
BeatTrack accentedTrack(double first, double period, int count, const std::vector<float> &accents, double sound,
                        std::vector<double> &tracked) {
    BeatTrack t;
    t.hopSeconds = 0.01;
    t.regionEnd = first + period * count + 1;
    t.onsetStrength.assign(static_cast<size_t>(t.regionEnd / t.hopSeconds), 1.0f);
    tracked.clear();
    for (int i = 0; i < count; ++i) {
        tracked.push_back(first + i * period);
        t.onsetStrength.at(static_cast<size_t>(tracked.back() / t.hopSeconds + 0.5) + 1) = accents[i % accents.size()];
    }
    t.firstSound = sound;
    t.peak = 0.5;
    return t;
}

TEST(Metre, SixEightFromEighthsSplitsEachDottedBeatForTheEngine) {
    std::vector<double> tracked;
    BeatTrack t = accentedTrack(0.5, 0.2, 96, {10, 3, 3, 6, 3, 3}, 0.5, tracked);
    Metre m = findMetre(t, tracked, {});
    ASSERT_TRUE(m.judged);
    EXPECT_EQ(m.numerator, 6);
    EXPECT_EQ(m.denominatorPower, 3);
    ASSERT_GE(m.beats.size(), 30u);
    EXPECT_NEAR(m.beats[0], 0.5, 1e-9);
    EXPECT_NEAR(m.beats[1] - m.beats[0], 0.6, 1e-9);
    EXPECT_EQ(m.gridBeats.size(), 3 * m.beats.size());
    EXPECT_NEAR(m.gridBeats[1] - m.gridBeats[0], 0.2, 1e-9);
    for (size_t i = 0; i < m.beats.size(); ++i)
        EXPECT_EQ(m.downbeats[i], i % 2 == 0) << i;
}

// Bass onsets on the downbeats and a new chord (C major, then G major) from each,
// `bar` seconds apart from `first`.
void addBars(BeatTrack &t, double first, double bar) {
    size_t hops = t.onsetStrength.size();
    t.spectrum.bassFlux.assign(hops, 0.0f);
    t.spectrum.chroma.assign(hops, {});
    for (size_t h = 0; h < hops; ++h) {
        double at = static_cast<double>(h) * t.hopSeconds - first;
        long b = static_cast<long>(std::floor(at / bar));
        for (int p : (b % 2 == 0 ? std::vector<int>{0, 4, 7} : std::vector<int>{7, 11, 2}))
            t.spectrum.chroma[h][static_cast<size_t>(p)] = 1;
        if (std::fabs(at - std::round(at / bar) * bar) < 0.005)
            t.spectrum.bassFlux[h + 1 < hops ? h + 1 : h] = 5;
    }
}

TEST(Metre, APickUpStartsTheGridABarEarlierInSilence) {
    // 3/4 at 120: the music starts on the third beat; bars start at 1.5 s, 3 s, ... with
    // the bass and a new chord.
    std::vector<double> tracked;
    BeatTrack t = accentedTrack(1.0, 0.5, 48, {2, 4, 2}, 1.0, tracked);
    addBars(t, 1.5, 1.5);
    Metre m = findMetre(t, tracked, {});
    EXPECT_EQ(m.numerator, 3);
    ASSERT_GE(m.beats.size(), 6u);
    EXPECT_NEAR(m.beats[0], 0.0, 1e-9);
    EXPECT_TRUE(m.downbeats[0]);
    EXPECT_NEAR(m.beats[3], 1.5, 1e-9);
    EXPECT_TRUE(m.downbeats[3]);
    EXPECT_FALSE(m.downbeats[2]);
    EXPECT_EQ(m.gridBeats, m.beats);
}

// Onsets of the given strengths at `share` of each tracked beat (0 < share < 1), on top of a track.
void addOffBeats(BeatTrack &t, const std::vector<double> &tracked, double share, float strength) {
    for (size_t i = 0; i + 1 < tracked.size(); ++i) {
        double at = tracked[i] + share * (tracked[i + 1] - tracked[i]);
        t.onsetStrength.at(static_cast<size_t>(at / t.hopSeconds + 0.5) + 1) = strength;
    }
}

// A faint, repeatable noise under the onsets, as recordings have between their attacks.
void addNoise(BeatTrack &t) {
    uint32_t state = 7;
    for (float &v : t.onsetStrength) {
        state = state * 1664525u + 1013904223u;
        v += static_cast<float>(state >> 8) / 16777216.0f;
    }
}

TEST(Metre, AFourBeatBarIsReadFromTheHalfAfterTheFirstSoundWhereThePickUpWouldBeHalfOrMore) {
    // 4/4 (given) at 120 whose bars (the loudest accent, the bass, a new chord) start on the
    // third tracked beat: the first sound at 1 s is half a bar before a downbeat.
    std::vector<double> tracked;
    BeatTrack t = accentedTrack(1.0, 0.5, 64, {6, 4, 10, 4}, 1.0, tracked);
    addBars(t, 2.0, 2.0);
    addNoise(t);
    MetreBounds four = boundsOf(4, 2);
    MetreInput longPickup;
    longPickup.shortPickup = false;
    Metre plain = findMetre(t, tracked, four, longPickup);
    ASSERT_EQ(plain.numerator, 4);
    ASSERT_GE(plain.beats.size(), 8u);
    EXPECT_NEAR(plain.beats[0], 0.0, 1e-9);
    EXPECT_TRUE(plain.downbeats[0]);
    EXPECT_NEAR(plain.beats[4], 2.0, 1e-9);
    EXPECT_TRUE(plain.downbeats[4]);
    Metre m = findMetre(t, tracked, four);
    ASSERT_EQ(m.numerator, 4);
    ASSERT_GE(m.beats.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_NEAR(m.beats[i], 1.0 + 0.5 * static_cast<double>(i), 1e-9) << i;
        EXPECT_EQ(m.downbeats[i], i % 4 == 0) << i;
    }
    // A pick-up of one beat is shorter than half the bar: it is kept.
    BeatTrack late = t;
    late.firstSound = 1.5;
    EXPECT_EQ(findMetre(late, tracked, four).downbeats, findMetre(late, tracked, four, longPickup).downbeats);
    EXPECT_EQ(findMetre(late, tracked, four).beats, findMetre(late, tracked, four, longPickup).beats);
}

TEST(Metre, AnAccentedClickTrackInThreeFourGivesThreeFourOnItsDownbeats) {
    // 3/4 at 100, the accent on every third click from the second one; eighths between.
    std::vector<double> tracked;
    BeatTrack t = accentedTrack(0.6, 0.6, 48, {4, 10, 4}, 0.6, tracked);
    addOffBeats(t, tracked, 0.5, 2);
    addBars(t, 1.2, 1.8);
    addNoise(t);
    Metre m = findMetre(t, tracked, {});
    ASSERT_TRUE(m.judged);
    EXPECT_EQ(m.numerator, 3);
    EXPECT_EQ(m.denominatorPower, 2);
    EXPECT_FALSE(m.weak);
    ASSERT_GE(m.beats.size(), 45u);
    EXPECT_NEAR(m.beats[1] - m.beats[0], 0.6, 1e-9);
    for (size_t i = 0; i < m.beats.size(); ++i) {
        if (m.beats[i] > 0.7) {
            EXPECT_EQ(m.downbeats[i], std::lround((m.beats[i] - 1.2) / 0.6) % 3 == 0) << m.beats[i];
        }
    }
}

TEST(Metre, TheDumpHoldsEveryReadingAndTheChosenOneWritesWhatTheMetreWrites) {
    std::vector<double> tracked;
    BeatTrack t = accentedTrack(0.6, 0.6, 48, {4, 10, 4}, 0.6, tracked);
    addOffBeats(t, tracked, 0.5, 2);
    addBars(t, 1.2, 1.8);
    addNoise(t);
    std::string path = testing::TempDir() + "metre_dump.jsonl";
    std::remove(path.c_str());
    MetreInput input;
    input.dumpPath = path;
    Metre m = findMetre(t, tracked, {}, input);
    Metre plain = findMetre(t, tracked, {});
    EXPECT_EQ(m.beats, plain.beats);
    EXPECT_EQ(m.downbeats, plain.downbeats);
    std::ifstream in(path);
    std::string line, chosen;
    int lines = 0, chosenLines = 0;
    while (std::getline(in, line)) {
        ++lines;
        EXPECT_EQ(line.rfind("{\"chosen\": ", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() - 2), "}}") << line;
        if (line.rfind("{\"chosen\": true", 0) == 0)
            chosen = line, ++chosenLines;
    }
    std::remove(path.c_str());
    EXPECT_GT(lines, 36);  // the readings at their best phases and at their other ones
    ASSERT_EQ(chosenLines, 1);
    // The chosen reading's line gives the beat, bar and first downbeat the metre writes.
    double first = -1;
    for (size_t i = 0; i < m.beats.size() && first < 0; ++i)
        if (m.downbeats[i])
            first = m.beats[i];
    char expect[200];
    std::snprintf(expect, sizeof expect, "\"bpm\": %.4f, \"numerator\": %d, \"firstDownbeat\": %.4f,",
                  medianTempo(m.beats), m.numerator, first);
    EXPECT_NE(chosen.find(expect), std::string::npos) << chosen << "\n" << expect;
}

TEST(Metre, AGivenTimeSignatureBoundsTheBar) {
    std::vector<double> tracked;
    BeatTrack t = accentedTrack(1.0, 0.5, 48, {10, 2, 2}, 1.0, tracked);
    EXPECT_EQ(findMetre(t, tracked, boundsOf(4, 2)).numerator, 4);
    EXPECT_EQ(boundsOf(6, 3).barBeats, 2);
    EXPECT_EQ(boundsOf(6, 3).parts, 3);
    EXPECT_EQ(boundsOf(3, 3).parts, 2);  // 3/8: three beats of an eighth
    EXPECT_EQ(boundsOf(0, 2).barBeats, 0);
    EXPECT_EQ(boundsOf(100, 2).barBeats, 0);
}

TEST(Metre, TooFewBeatsKeepFourFourFromTheFirstBeat) {
    std::vector<double> tracked;
    BeatTrack t = accentedTrack(1.0, 0.5, 6, {10, 2, 2}, 1.0, tracked);
    Metre m = findMetre(t, tracked, {});
    EXPECT_FALSE(m.judged);
    EXPECT_EQ(m.numerator, 4);
    EXPECT_EQ(m.beats, tracked);
    EXPECT_TRUE(m.downbeats[0]);
    EXPECT_TRUE(m.downbeats[4]);
    EXPECT_TRUE(findMetre(t, {}, {}).beats.empty());
}

TEST(Metre, BeatsAtRatioFollowTheTrackedBeatsInProportion) {
    std::vector<double> tracked{0, 1, 3, 4};
    std::vector<double> threeQuarters = beatsAtRatio(tracked, 0.75), fourThirds = beatsAtRatio(tracked, 4.0 / 3.0);
    ASSERT_EQ(threeQuarters.size(), 5u);
    const double expected[] = {0, 0.75, 2, 3.25, 4};
    for (size_t i = 0; i < 5; ++i)
        EXPECT_NEAR(threeQuarters[i], expected[i], 1e-9) << i;
    ASSERT_EQ(fourThirds.size(), 3u);
    EXPECT_NEAR(fourThirds[1], 1 + 2.0 / 3.0, 1e-9);
    EXPECT_NEAR(fourThirds[2], 3 + 2.0 / 3.0, 1e-9);
    EXPECT_TRUE(beatsAtRatio({1.0}, 0.75).empty());
    EXPECT_TRUE(beatsAtRatio(tracked, 0).empty());
}

// Beats every `seconds` from 0, n of them.
std::vector<double> evenBeats(double seconds, int n) {
    std::vector<double> beats;
    for (int i = 0; i < n; ++i)
        beats.push_back(i * seconds);
    return beats;
}

TEST(Metre, AFoldedPulseTakesTheBeatWithinAnOctaveOfTempos) {
    // 100 a minute: the pulse itself.
    FoldedPulse at = foldPulse(evenBeats(0.6, 9));
    EXPECT_EQ(at.beats, evenBeats(0.6, 9));
    EXPECT_EQ(at.beatUnits, MetreUnitsPerBeat);
    // 160 a minute: every other beat, the chooser left to place them.
    FoldedPulse fast = foldPulse(evenBeats(0.375, 9));
    EXPECT_EQ(fast.beats.size(), 9u);
    EXPECT_EQ(fast.beatUnits, 2 * MetreUnitsPerBeat);
    // 30 a minute: twice halved, to 120 with beats between beats.
    FoldedPulse slow = foldPulse(evenBeats(2, 5));
    ASSERT_EQ(slow.beats.size(), 17u);
    for (size_t i = 0; i < slow.beats.size(); ++i)
        EXPECT_NEAR(slow.beats[i], 0.5 * static_cast<double>(i), 1e-9) << i;
    EXPECT_EQ(slow.beatUnits, MetreUnitsPerBeat);
    // Near the edges of the octave: 72 and 139 a minute kept, 141 taken two at a time, 69 halved.
    EXPECT_EQ(foldPulse(evenBeats(60.0 / 72, 5)).beats.size(), 5u);
    EXPECT_EQ(foldPulse(evenBeats(60.0 / 72, 5)).beatUnits, MetreUnitsPerBeat);
    EXPECT_EQ(foldPulse(evenBeats(60.0 / 139, 5)).beatUnits, MetreUnitsPerBeat);
    EXPECT_EQ(foldPulse(evenBeats(60.0 / 141, 5)).beatUnits, 2 * MetreUnitsPerBeat);
    EXPECT_EQ(foldPulse(evenBeats(60.0 / 69, 5)).beats.size(), 9u);
    // 600 a minute: every other beat twice, to 150, then the beat two of those.
    FoldedPulse fastest = foldPulse(evenBeats(0.1, 9));
    EXPECT_EQ(fastest.beats.size(), 3u);
    EXPECT_EQ(fastest.beatUnits, 2 * MetreUnitsPerBeat);
    // Too short to have a tempo: as it is.
    EXPECT_EQ(foldPulse({1.0}).beats, std::vector<double>{1.0});
    EXPECT_TRUE(foldPulse({}).beats.empty());
}

TEST(Metre, AQuarterBeatUnderATrackedDottedEighthIsReadAlongFourThirdsOfIt) {
    // 4/4 at 120 from 1 s, the downbeats loudest, a new chord and the bass on each; the tracker
    // took the dotted eighths (0.375 s), whose levels miss the quarter.
    std::vector<double> quarters;
    BeatTrack t = accentedTrack(1.0, 0.5, 64, {10, 4, 6, 4}, 1.0, quarters);
    addBars(t, 1.0, 2.0);
    addNoise(t);
    std::vector<double> tracked;
    for (double at = 1.0; at <= quarters.back() + 1e-9; at += 0.375)
        tracked.push_back(at);
    Metre plain = findMetre(t, tracked, {});
    ASSERT_GE(plain.beats.size(), 2u);
    EXPECT_GT(std::fabs(plain.beats[1] - plain.beats[0] - 0.5), 0.05);
    MetreInput input;
    input.fourThirds = true;
    Metre m = findMetre(t, tracked, {}, input);
    ASSERT_TRUE(m.judged);
    EXPECT_EQ(m.numerator, 4);
    EXPECT_EQ(m.denominatorPower, 2);
    ASSERT_GE(m.beats.size(), 60u);
    for (size_t i = 0; i < m.beats.size(); ++i) {
        EXPECT_NEAR(m.beats[i], 1.0 + 0.5 * static_cast<double>(i), 1e-9) << i;
        EXPECT_EQ(m.downbeats[i], i % 4 == 0) << i;
    }
    // A compound bar in the settings keeps the tracked pulse's levels.
    EXPECT_EQ(findMetre(t, tracked, boundsOf(6, 3), input).beats, findMetre(t, tracked, boundsOf(6, 3)).beats);
}

}  // namespace
