// Beats written in triplets: which beats take the grid of three or six, the
// values and brackets written in them, and the MIDI file's timing kept.
#include <random>

#include <gtest/gtest.h>

#include "app/starter/score/score.h"
#include "tests/app/score/score_support.h"
#include "tests/app/support.h"

namespace {

// A song of quarter-note beats at 48 ticks a beat (a 16th is 12 ticks, a triplet 8th 16, a sixth 8).
MidiContent tripletSong(const std::vector<MidiNote> &notes) {
    MidiContent m = songOf(notes);
    m.division = 48;
    return m;
}

// A line of notes, each held to the next onset; the last to `end`.
std::vector<MidiNote> line(const std::vector<int64_t> &onsets, int64_t end, int key = 60) {
    std::vector<MidiNote> notes;
    for (size_t i = 0; i < onsets.size(); ++i)
        notes.push_back({key + static_cast<int>(i % 5), 90, onsets[i], i + 1 < onsets.size() ? onsets[i + 1] : end, 0});
    return notes;
}

Score built(const MidiContent &m) {
    Score s;
    std::string error;
    EXPECT_TRUE(buildScore(m, 4, "t", s, error)) << error;
    return s;
}

const std::vector<ScoreEvent> &firstVoice(const Score &s, size_t measure = 0) {
    return s.measures.at(measure).voices.at(0).events;
}

// The (length, written type, dots, in triplets) of each event.
using Written = std::vector<std::tuple<int64_t, int, int, bool>>;
Written written(const std::vector<ScoreEvent> &events) {
    Written w;
    for (const ScoreEvent &e : events)
        w.push_back({e.length, e.typeLevel, e.dots, e.triplet});
    return w;
}

// The written document: schema-valid, read back with every note at its MIDI time.
std::string documentOf(const Score &s, const MidiContent &m) {
    std::string doc, error;
    EXPECT_TRUE(scoreDocument(s, doc, error)) << error;
    ScratchDir dir;
    writeText(dir.path + "t.musicxml", doc);
    EXPECT_EQ(schemaProblems(dir.path + "t.musicxml"), "");
    ReadScore read = readScoreText(doc);
    EXPECT_EQ(read.problems, std::vector<std::string>{});
    std::vector<std::pair<int64_t, int>> want, got;
    for (const MidiNote &n : m.notes)
        want.push_back({n.onTick * read.divisions, n.key});
    for (const ReadNote &n : read.notes)
        got.push_back({n.onset * m.division, n.key});
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    return doc;
}

}  // namespace

TEST(ScoreTriplets, ABeatOfTripletEighthsIsThreeEighthsInTheTimeOfTwo) {
    MidiContent m = tripletSong(line({0, 16, 32, 48, 96, 144}, 192));
    Score s = built(m);
    EXPECT_EQ(s.grid.tuplet, 3);
    EXPECT_EQ(s.grid.tripletBeats, (std::vector<int64_t>{0}));
    EXPECT_EQ(s.grid.divisions, 12);
    const std::vector<ScoreEvent> &e = firstVoice(s);
    EXPECT_EQ(written(e), (Written{{4, 3, 0, true}, {4, 3, 0, true}, {4, 3, 0, true},
                                   {12, 2, 0, false}, {12, 2, 0, false}, {12, 2, 0, false}}));
    EXPECT_TRUE(e[0].tripletStart && !e[0].tripletStop && !e[1].tripletStart && !e[1].tripletStop);
    EXPECT_TRUE(!e[2].tripletStart && e[2].tripletStop);
    std::string doc = documentOf(s, m);
    EXPECT_EQ(countIn(doc, "<actual-notes>3</actual-notes>"), 3u);
    EXPECT_EQ(countIn(doc, "<normal-type>eighth</normal-type>"), 3u);
    EXPECT_EQ(countIn(doc, "<tuplet type=\"start\" bracket=\"yes\"/>"), 1u);
    EXPECT_EQ(countIn(doc, "<tuplet type=\"stop\"/>"), 1u);
}

TEST(ScoreTriplets, StraightSixteenthsStayOnThePlainGridEvenWhenPlayedUnevenly) {
    MidiContent exact = tripletSong(line({0, 12, 24, 36, 48, 96, 144}, 192));
    MidiContent uneven = tripletSong(line({0, 13, 23, 37, 48, 96, 144}, 192));
    // An 8th played a little late lies as near a sixth as a 16th: the plain grid is kept.
    MidiContent late = tripletSong(line({0, 28, 48, 96, 144}, 192));
    for (const MidiContent &m : {exact, uneven, late}) {
        Score s = built(m);
        EXPECT_EQ(s.grid.tuplet, 1);
        EXPECT_TRUE(s.grid.tripletBeats.empty());
        std::string doc, error;
        ASSERT_TRUE(scoreDocument(s, doc, error));
        EXPECT_EQ(doc.find("time-modification"), std::string::npos);
    }
    EXPECT_EQ(written(firstVoice(built(uneven))), written(firstVoice(built(exact))));
}

TEST(ScoreTriplets, SwungPairsAndSixToABeat) {
    // Swing: a quarter and an 8th under each beat's bracket.
    MidiContent swing = tripletSong(line({0, 32, 48, 80, 96, 128, 144, 176}, 192));
    Score s = built(swing);
    EXPECT_EQ(s.grid.tripletBeats, (std::vector<int64_t>{0, 12, 24, 36}));
    Written pair = {{8, 2, 0, true}, {4, 3, 0, true}};
    Written bar;
    for (int beat = 0; beat < 4; ++beat)
        bar.insert(bar.end(), pair.begin(), pair.end());
    EXPECT_EQ(written(firstVoice(s)), bar);
    documentOf(s, swing);
    // Six notes to the beat: six 16ths under one bracket, then a plain beat of 16ths.
    MidiContent six = tripletSong(line({0, 8, 16, 24, 32, 40, 48, 60, 72, 84, 96}, 192));
    s = built(six);
    EXPECT_EQ(s.grid.tripletBeats, (std::vector<int64_t>{0}));
    Written w = written(firstVoice(s));
    ASSERT_EQ(w.size(), 11u);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(w[i], (std::tuple<int64_t, int, int, bool>{2, 4, 0, true})) << i;
    for (size_t i = 6; i < 10; ++i)
        EXPECT_EQ(w[i], (std::tuple<int64_t, int, int, bool>{3, 4, 0, false})) << i;
    documentOf(s, six);
}

TEST(ScoreTriplets, ANoteLeavingATripletBeatIsTiedAtTheBeat) {
    // The third triplet 8th is held to the middle of the plain second beat; the third beat's first
    // third and the fourth beat's first half are rests, each written in its beat's values.
    MidiContent m = tripletSong({{60, 90, 0, 16, 0}, {62, 90, 16, 32, 0}, {64, 90, 32, 72, 0},
                                 {65, 90, 72, 96, 0}, {67, 90, 112, 128, 0}, {69, 90, 128, 144, 0},
                                 {71, 90, 168, 192, 0}});
    Score s = built(m);
    EXPECT_EQ(s.grid.tripletBeats, (std::vector<int64_t>{0, 24}));
    const std::vector<ScoreEvent> &e = firstVoice(s);
    EXPECT_EQ(written(e), (Written{{4, 3, 0, true}, {4, 3, 0, true}, {4, 3, 0, true}, {6, 3, 0, false},
                                   {6, 3, 0, false}, {4, 3, 0, true}, {4, 3, 0, true}, {4, 3, 0, true},
                                   {6, 3, 0, false}, {6, 3, 0, false}}));
    EXPECT_TRUE(e[2].tieToNext && e[3].tieFromPrevious && !e[3].triplet);
    EXPECT_TRUE(e[5].keys.empty() && e[5].tripletStart && e[7].tripletStop && e[8].keys.empty());
    std::string doc = documentOf(s, m);
    EXPECT_EQ(countIn(doc, "<tuplet type=\"start\""), 2u);
}

TEST(ScoreTriplets, CompoundMetresAndAFineGridKeepTheirBeats) {
    // 6/8 is counted in dotted quarters already: its 8ths are never written as triplets.
    MidiContent jig = tripletSong(line({0, 24, 48, 72, 96, 120}, 144));
    jig.numerator = 6;
    jig.denominatorPower = 3;
    EXPECT_EQ(built(jig).grid.tuplet, 1);
    // A beat of triplets on a grid of 32nds: thirds of its steps; the plain beats keep their 32nds.
    MidiContent m = tripletSong(line({0, 16, 32, 48, 54, 60, 96, 144}, 192));
    Score s;
    std::string error;
    ASSERT_TRUE(buildScore(m, 5, "t", s, error)) << error;
    EXPECT_EQ(s.grid.tripletBeats, (std::vector<int64_t>{0}));
    EXPECT_EQ(written(firstVoice(s)), (Written{{8, 3, 0, true}, {8, 3, 0, true}, {8, 3, 0, true},
                                               {3, 5, 0, false}, {3, 5, 0, false}, {18, 3, 1, false},
                                               {24, 2, 0, false}, {24, 2, 0, false}}));
    documentOf(s, m);
}

TEST(ScoreTriplets, RandomLinesOverPlainAndTripletBeatsComeBackAtTheirTimes) {
    // Four bars of a tune over a bass: each beat of the tune in 16ths, thirds or sixths, its notes
    // released early at random; the bass struck on beats and half beats, held up to three beats.
    std::mt19937 rng(25);
    for (int trial = 0; trial < 12; ++trial) {
        std::vector<int64_t> onsets;
        for (int64_t beat = 0; beat < 16; ++beat) {
            int kind = static_cast<int>(rng() % 3);
            int64_t unit = kind == 0 ? 12 : kind == 1 ? 16 : 8;
            for (int64_t at = 0; at < 48; at += unit)
                if (at == 0 || (kind > 0 && at % 16 == 0) || rng() % 2)
                    onsets.push_back(48 * beat + at);
        }
        std::vector<MidiNote> notes;
        for (size_t i = 0; i < onsets.size(); ++i) {
            int64_t next = i + 1 < onsets.size() ? onsets[i + 1] : 768;
            int64_t gap = (next - onsets[i]) % 16 == 0 ? 8 : 12;  // a sixth or a 16th early, or none
            int64_t end = next - (next - onsets[i] > gap && rng() % 2 ? gap : 0);
            notes.push_back({67 + static_cast<int>(rng() % 12), 90, onsets[i], end, 0});
        }
        for (int64_t at = 0; at < 768;) {
            int64_t length = 24 * (1 + static_cast<int64_t>(rng() % 6));
            notes.push_back({36 + static_cast<int>(rng() % 12), 90, at, std::min<int64_t>(at + length, 768), 1});
            at += length;
        }
        MidiContent m = tripletSong(notes);
        Score s = built(m);
        EXPECT_EQ(s.grid.tuplet, 3);
        std::string doc = documentOf(s, m);
        EXPECT_EQ(countIn(doc, "<tuplet type=\"start\""), countIn(doc, "<tuplet type=\"stop\"/>")) << trial;
    }
}

TEST(ScoreTriplets, EachVoiceTakesTripletsOnlyWhereItStrikesThem) {
    // The bass plays triplet 8ths on beats 2 and 4 and quarters elsewhere; over it the treble holds a
    // chord from the middle of beat 2 to five sixths into beat 4 (sequenced with the triplets' gate).
    std::vector<MidiNote> notes = {{40, 90, 0, 48, 1},    {43, 90, 48, 64, 1},   {47, 90, 64, 80, 1},
                                   {43, 90, 80, 96, 1},   {40, 90, 96, 144, 1},  {43, 90, 144, 160, 1},
                                   {47, 90, 160, 176, 1}, {43, 90, 176, 192, 1}, {72, 90, 72, 184, 0},
                                   {76, 90, 72, 184, 0}};
    MidiContent m = tripletSong(notes);
    Score s = built(m);
    ASSERT_EQ(s.grid.tripletBeats, (std::vector<int64_t>{12, 36}));
    auto voiceOf = [&](int staff) -> const std::vector<ScoreEvent> & {
        for (const ScoreVoice &v : s.measures.at(0).voices)
            if (v.staff == staff && v.voice == 1)
                return v.events;
        ADD_FAILURE() << "no voice on staff " << staff;
        return s.measures.at(0).voices.at(0).events;
    };
    // The treble is written as the plain grid writes it: a dotted quarter rest, the chord as an 8th
    // tied to a quarter tied to a dotted 8th (released on the nearest 16th), a 16th rest.
    EXPECT_EQ(written(voiceOf(1)), (Written{{18, 2, 1, false}, {6, 3, 0, false}, {12, 2, 0, false},
                                           {9, 3, 1, false}, {3, 4, 0, false}}));
    const std::vector<ScoreEvent> &bass = voiceOf(2);
    EXPECT_EQ(written(bass), (Written{{12, 2, 0, false}, {4, 3, 0, true}, {4, 3, 0, true}, {4, 3, 0, true},
                                      {12, 2, 0, false}, {4, 3, 0, true}, {4, 3, 0, true}, {4, 3, 0, true}}));
    std::string doc = documentOf(s, m);
    EXPECT_EQ(countIn(doc, "<tie type=\"start\"/>"), 4u);  // two ties of two keys
    EXPECT_EQ(countIn(doc, "<tuplet type=\"start\" bracket=\"yes\"/>"), 2u);
    EXPECT_EQ(countIn(doc, "<actual-notes>3</actual-notes>"), 6u);

    // A triplet the treble strikes itself in beat 4 puts that beat of the treble in triplets, and only
    // that beat: the chord is cut at its last third.
    notes[8].offTick = notes[9].offTick = 176;
    notes.push_back({79, 90, 176, 192, 0});
    m = tripletSong(notes);
    s = built(m);
    EXPECT_EQ(written(voiceOf(1)), (Written{{18, 2, 1, false}, {6, 3, 0, false}, {12, 2, 0, false},
                                           {8, 2, 0, true}, {4, 3, 0, true}}));
    documentOf(s, m);
}
