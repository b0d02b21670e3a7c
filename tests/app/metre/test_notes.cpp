// The engine's notes as evidence of the metre, on synthetic note lists of a
// known bar: what each evidence marks, and what it changes in the choice.
#include <gtest/gtest.h>

#include "app/starter/metre/choice.h"
#include "app/starter/metre/notes.h"

namespace {

constexpr int U = MetreUnitsPerBeat;

// Beats every half second from 0, slightly uneven.
std::vector<double> beatsOf(int count) {
    std::vector<double> beats;
    for (int i = 0; i < count; ++i)
        beats.push_back(0.5 * i + (i % 2 ? 0.02 : 0));
    return beats;
}

// A piece of barBeats beats a bar, the first downbeat on beat `first`: a long bass note on each
// downbeat (C and G in turn, a new chord each bar), a short melody note on every beat whose pitch
// class is the beat's place in the bar, and one on every half beat.
std::vector<HeardNote> notesOf(const std::vector<double> &beats, int barBeats, int first) {
    std::vector<HeardNote> notes;
    for (size_t i = 0; i + 1 < beats.size(); ++i) {
        int place = (static_cast<int>(i) - first + 100 * barBeats) % barBeats;
        double at = beats[i], mid = (beats[i] + beats[i + 1]) / 2;
        int bar = (static_cast<int>(i) - first + 100 * barBeats) / barBeats;
        if (place == 0)
            notes.push_back({at, beats[std::min(i + static_cast<size_t>(barBeats), beats.size() - 1)] - 0.01,
                             bar % 2 ? 43 : 36});
        notes.push_back({at, mid - 0.01, 72 + 2 * place});
        notes.push_back({mid, beats[i + 1] - 0.01, 79});
    }
    return notes;
}

TEST(NoteEvidence, UnitsAreTheInverseOfUnitTimes) {
    std::vector<double> beats = beatsOf(10);
    for (long k : {-6L, 0L, 5L, 13L, 60L, 107L, 115L})
        EXPECT_NEAR(unitAt(beats, unitTime(beats, k)), static_cast<double>(k), 1e-9) << k;
}

TEST(NoteEvidence, BassAndLongNotesMarkTheDownbeats) {
    std::vector<double> beats = beatsOf(31);
    NoteEvidence e = noteEvidence(notesOf(beats, 3, 1), beats);
    size_t units = 30 * U + 1;
    ASSERT_EQ(e.bass.size(), units);
    ASSERT_EQ(e.lengths.size(), units);
    ASSERT_EQ(e.chromaSums.size(), units + 1);
    for (int bar = 0; bar < 9; ++bar) {
        size_t down = static_cast<size_t>((1 + 3 * bar) * U);
        // The bass note starts on the downbeat; on the other beats the melody starts above the
        // bass still sounding.
        EXPECT_GT(e.bass[down], 1) << bar;
        EXPECT_LT(e.bass[down + U], 0) << bar;
        EXPECT_GT(e.lengths[down], e.lengths[down + U] + 1) << bar;
        EXPECT_NEAR(e.lengths[down + U / 2], e.lengths[down + U], 0.01) << bar;
        EXPECT_LT(e.lengths[down + 1], 0) << bar;
    }
    // Before the first bass note nothing sounds below the melody: it is the bass there.
    EXPECT_GT(e.bass[0], 1);
    // A note of no length, or one out of order, changes nothing.
    std::vector<HeardNote> notes = notesOf(beats, 3, 1);
    notes.insert(notes.begin(), HeardNote{5.0, 5.0, 20});
    EXPECT_EQ(noteEvidence(notes, beats).bass, e.bass);
    EXPECT_TRUE(noteEvidence({}, beats).bass.empty());
}

TEST(NoteEvidence, ThePatternRepeatsAtItsBar) {
    std::vector<double> beats = beatsOf(49);
    NoteEvidence e = noteEvidence(notesOf(beats, 3, 0), beats);
    double bar = patternRepeat(e, 3 * U), twoBars = patternRepeat(e, 6 * U);
    EXPECT_GT(twoBars, 0.95);  // the bass alternates: two bars are the pattern's period
    EXPECT_GT(bar, 0.7);
    EXPECT_GT(bar, patternRepeat(e, 2 * U) + 0.1);
    EXPECT_GT(bar, patternRepeat(e, 4 * U) + 0.1);
    EXPECT_LT(patternRepeat(e, U / 3), 0.05);  // nothing starts a third of a beat after anything
    EXPECT_EQ(patternRepeat(NoteEvidence{}, U), 0);
}

// Evidence of a piece whose accents and spectrum say nothing of the bar: the same accent on
// every tracked beat, a weaker one on every half, no bass onsets, one chroma throughout.
MetreEvidence flatEvidence(int trackedBeats) {
    MetreEvidence e;
    std::array<double, 12> chroma{};
    chroma[0] = 1;
    for (int k = 0; k <= (trackedBeats - 1) * U; ++k) {
        e.accents.push_back(k % U == 0 ? 3 : k % (U / 2) == 0 ? 1 : 0);
        e.bass.push_back(0);
        addChroma(e, chroma);
    }
    e.trackedTempo = 80;
    return e;
}

TEST(MetreChoice, TheNotesFindTheBarAndItsPhaseWhereTheAccentsCannot) {
    std::vector<double> beats = beatsOf(61);
    MetreEvidence e = flatEvidence(61);
    MetreChoice plain = chooseMetre(e, {});
    EXPECT_EQ(plain.barBeats, 4);
    e.notes = noteEvidence(notesOf(beats, 3, 2), beats);
    MetreChoice c = chooseMetre(e, {});
    EXPECT_EQ(c.beatUnits, U);
    EXPECT_EQ(c.parts, 2);
    EXPECT_EQ(c.barBeats, 3);
    EXPECT_EQ(c.phase, 2 * U);
}

TEST(MetreChoice, NotesAlikeOnEveryBeatLeaveTheReadingAsItWas) {
    // A bass note and the same chord on every tracked beat: nothing marks a bar or a faster level.
    std::vector<double> beats = beatsOf(61);
    MetreEvidence e = flatEvidence(61);
    MetreChoice plain = chooseMetre(e, {});
    std::vector<HeardNote> notes;
    for (size_t i = 0; i + 1 < beats.size(); ++i)
        notes.push_back({beats[i], beats[i + 1] - 0.01, 48}), notes.push_back({beats[i], beats[i] + 0.1, 72});
    e.notes = noteEvidence(notes, beats);
    MetreChoice c = chooseMetre(e, {});
    EXPECT_EQ(c.beatUnits, plain.beatUnits);
    EXPECT_EQ(c.barBeats, plain.barBeats);
    EXPECT_EQ(c.parts, plain.parts);
}

}  // namespace
