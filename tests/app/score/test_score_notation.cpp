// Notation rules of the score: note values and ties, pitch spelling,
// staves and voices, chord names, the grid and the tempo marks.
#include <algorithm>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "app/starter/score/score.h"
#include "tests/app/score/score_support.h"

namespace {

using Spans = std::vector<std::pair<int64_t, int64_t>>;

ScoreGrid gridOf(int numerator, int denominatorPower, double resolution = 4) {
    ScoreGrid g;
    std::string error;
    EXPECT_TRUE(chooseGrid(songOf({}, numerator, denominatorPower), resolution, g, error)) << error;
    return g;
}

// Each chord of a voice starts where the one before it ends: the voice prints no rest.
void expectNoRests(const std::vector<VoiceChord> &voice) {
    for (size_t i = 1; i < voice.size(); ++i)
        EXPECT_EQ(voice[i].start, voice[i - 1].end) << "a rest before chord " << i;
}

std::string spelled(int key, int fifths, bool minor = false) {
    SpelledPitch p = spellKey(key, fifths, minor);
    std::string alter = p.alter == 2 ? "##" : p.alter == 1 ? "#" : p.alter == -1 ? "b" : p.alter == -2 ? "bb" : "";
    return std::string(1, p.step) + alter + std::to_string(p.octave);
}

}  // namespace

TEST(ScoreRhythm, SplitsWhereTheMetreAsks) {
    ScoreGrid common = gridOf(4, 2);  // 16ths: 16 steps a bar
    EXPECT_EQ(splitSpan(common, 0, 16), (Spans{{0, 16}}));             // whole
    EXPECT_EQ(splitSpan(common, 0, 12), (Spans{{0, 12}}));             // dotted half from the downbeat
    EXPECT_EQ(splitSpan(common, 8, 16), (Spans{{8, 16}}));             // half on beat 3
    EXPECT_EQ(splitSpan(common, 4, 12), (Spans{{4, 12}}));             // half on beat 2: quarter, half, quarter
    EXPECT_EQ(splitSpan(common, 4, 16), (Spans{{4, 16}}));             // and a dotted half
    EXPECT_EQ(splitSpan(common, 4, 12, true), (Spans{{4, 8}, {8, 12}}));  // but rests show the middle
    EXPECT_EQ(splitSpan(common, 6, 12), (Spans{{6, 8}, {8, 12}}));     // off the beat: tied over the middle
    EXPECT_EQ(splitSpan(common, 1, 8), (Spans{{1, 4}, {4, 8}}));       // dotted 8th + quarter
    EXPECT_EQ(splitSpan(common, 2, 6), (Spans{{2, 6}}));               // 8th, quarter, 8th: one quarter
    EXPECT_EQ(splitSpan(common, 10, 14), (Spans{{10, 14}}));           // in either half of the bar
    EXPECT_EQ(splitSpan(common, 6, 10), (Spans{{6, 8}, {8, 10}}));     // but over the middle: tied
    EXPECT_EQ(splitSpan(common, 2, 6, true), (Spans{{2, 4}, {4, 6}})); // and rests show the beat
    EXPECT_EQ(splitSpan(common, 2, 8), (Spans{{2, 8}}));               // 8th, dotted quarter to the middle
    EXPECT_EQ(splitSpan(common, 10, 16), (Spans{{10, 16}}));           // and to the bar line
    EXPECT_EQ(splitSpan(common, 2, 8, true), (Spans{{2, 4}, {4, 8}})); // not a rest
    EXPECT_EQ(splitSpan(common, 2, 10), (Spans{{2, 8}, {8, 10}}));     // over the middle: tied there
    EXPECT_EQ(splitSpan(gridOf(2, 2), 2, 8), (Spans{{2, 8}}));         // 2/4: the whole bar is a half
    EXPECT_EQ(splitSpan(common, 1, 5), (Spans{{1, 4}, {4, 5}}));       // a 16th late: tied
    EXPECT_EQ(splitSpan(common, 1, 3), (Spans{{1, 3}}));               // syncopation within a beat is kept
    EXPECT_EQ(splitSpan(common, 0, 5), (Spans{{0, 4}, {4, 5}}));       // no single value: split at the beat
    ScoreGrid waltz = gridOf(3, 2);
    EXPECT_EQ(splitSpan(waltz, 0, 12), (Spans{{0, 12}}));
    EXPECT_EQ(splitSpan(waltz, 4, 12), (Spans{{4, 12}}));              // half on beat 2 of 3/4: one note
    EXPECT_EQ(splitSpan(waltz, 6, 12), (Spans{{6, 8}, {8, 12}}));       // off the beat: the beat shows
    EXPECT_EQ(splitSpan(waltz, 6, 10), (Spans{{6, 10}}));              // 8th, quarter, 8th over beat 2
    EXPECT_EQ(splitSpan(waltz, 2, 8), (Spans{{2, 4}, {4, 8}}));        // 3/4 has no halves: the beat shows
    EXPECT_EQ(splitSpan(gridOf(2, 2), 4, 12), (Spans{{4, 8}, {8, 12}}));  // never over a bar line
    ScoreGrid jig = gridOf(6, 3);  // two dotted quarters of 6 steps
    EXPECT_EQ(jig.countSteps, 6);
    EXPECT_EQ(splitSpan(jig, 0, 12), (Spans{{0, 12}}));
    EXPECT_EQ(splitSpan(jig, 0, 4), (Spans{{0, 4}}));
    EXPECT_EQ(splitSpan(jig, 2, 8), (Spans{{2, 6}, {6, 8}}));
    EXPECT_EQ(splitSpan(jig, 3, 9), (Spans{{3, 6}, {6, 9}}));          // compound beats always show
    EXPECT_EQ(splitSpan(jig, 0, 10), (Spans{{0, 6}, {6, 10}}));
    ScoreGrid twelve = gridOf(12, 3);
    EXPECT_EQ(splitSpan(twelve, 0, 24), (Spans{{0, 24}}));            // dotted whole
    EXPECT_EQ(splitSpan(twelve, 6, 18), (Spans{{6, 12}, {12, 18}}));   // over the middle of the bar
    // A note held from beat 3 over 200000 bars of 3/4: cut at each bar line, as quickly as it is
    // long (it once read every step again for every bar, and recursed once a bar).
    constexpr int64_t Bars = 200000;
    Spans held = splitSpan(waltz, 8, Bars * 12 + 4);
    ASSERT_EQ(held.size(), static_cast<size_t>(Bars) + 1);
    EXPECT_EQ(held.front(), (std::pair<int64_t, int64_t>{8, 12}));
    EXPECT_EQ(held[Bars / 2], (std::pair<int64_t, int64_t>{Bars / 2 * 12, Bars / 2 * 12 + 12}));
    EXPECT_EQ(held.back(), (std::pair<int64_t, int64_t>{Bars * 12, Bars * 12 + 4}));
}

TEST(ScoreRhythm, AnEighthLateDottedQuarterFillingHalfABarIsOneNote) {
    // Two bars of a tune in 4/4 (a 16th is 4 ticks): G4, F#4 struck an 8th late and held to the middle
    // of the bar, a rest, D4; then F#4, G4 struck an 8th late and held over the middle, F#4, Eb4, F#4.
    std::vector<MidiNote> notes = {{67, 90, 0, 8},   {66, 90, 8, 32},   {62, 90, 48, 64},  {66, 90, 64, 72},
                                   {67, 90, 72, 104}, {66, 90, 104, 112}, {63, 90, 112, 120}, {66, 90, 120, 128}};
    MidiContent m = songOf(notes);
    Score s;
    std::string error, doc;
    ASSERT_TRUE(buildScore(m, 4, "t", s, error)) << error;
    ASSERT_EQ(s.measures.size(), 2u);
    auto lengths = [&](size_t measure) {
        std::vector<std::pair<int64_t, bool>> out;  // length, tied to the next
        for (const ScoreEvent &e : s.measures[measure].voices.at(0).events)
            out.push_back({e.length, e.tieToNext});
        return out;
    };
    // 8th, dotted quarter, quarter rest, quarter; the note held over the middle is tied only there.
    EXPECT_EQ(lengths(0), (std::vector<std::pair<int64_t, bool>>{{2, false}, {6, false}, {4, false}, {4, false}}));
    EXPECT_EQ(lengths(1), (std::vector<std::pair<int64_t, bool>>{
                              {2, false}, {6, true}, {2, false}, {2, false}, {2, false}, {2, false}}));
    ASSERT_TRUE(scoreDocument(s, doc, error)) << error;
    EXPECT_EQ(countIn(doc, "<tie type=\"start\"/>"), 1u);
    EXPECT_EQ(readScoreText(doc).notes.size(), notes.size());
}

TEST(ScoreRhythm, NoteValuesAndMetricLevels) {
    ScoreGrid g = gridOf(4, 2, 5);  // 32nds
    int type = -1, dots = -1;
    EXPECT_TRUE(noteValue(g, 32, type, dots));
    EXPECT_EQ(type, 0);
    EXPECT_EQ(dots, 0);
    EXPECT_TRUE(noteValue(g, 12, type, dots));  // dotted quarter
    EXPECT_EQ(type, 2);
    EXPECT_EQ(dots, 1);
    EXPECT_TRUE(noteValue(g, 1, type, dots));
    EXPECT_EQ(type, 5);
    EXPECT_FALSE(noteValue(g, 5, type, dots));
    EXPECT_FALSE(noteValue(g, 64, type, dots));  // longer than a whole note
    EXPECT_EQ(metricLevel(g, 0), 0);
    EXPECT_EQ(metricLevel(g, 16), 1);
    EXPECT_EQ(metricLevel(g, 8), 2);
    EXPECT_EQ(metricLevel(g, 4), 3);
    EXPECT_EQ(metricLevel(g, 1), 5);
}

TEST(ScoreGrid, FollowsTheResolutionAndTheMetre) {
    ScoreGrid g;
    std::string error;
    EXPECT_EQ(gridOf(4, 2, 3).resolution, 4);  // never coarser than 16ths
    EXPECT_EQ(gridOf(4, 2, 5).resolution, 5);
    EXPECT_EQ(gridOf(4, 2, 8).resolution, 6);  // at most 64ths
    EXPECT_EQ(gridOf(3, 6).resolution, 6);     // 3/64 needs 64ths
    EXPECT_EQ(gridOf(3, 6).barSteps, 3);
    EXPECT_EQ(gridOf(6, 3).divisions, 4);
    MidiContent smpte = songOf({});
    smpte.division = 0xE728;
    EXPECT_FALSE(chooseGrid(smpte, 4, g, error));
    EXPECT_NE(error.find("frames per second"), std::string::npos);
    // Ticks round to the nearest step: 4 ticks a step here.
    ScoreGrid common = gridOf(4, 2);
    EXPECT_EQ(stepOfTick(common, 16, 5), 1);
    EXPECT_EQ(stepOfTick(common, 16, 6), 2);
    EXPECT_EQ(stepOfTick(common, 16, -3), 0);
}

TEST(ScoreGrid, TheTempoMapKeepsEveryChangeAndTheLastEventAtAStep) {
    MidiContent m = songOf({});
    m.tempos = {{0, 500000}, {16, 495868}, {48, 600000}, {48, 500000}, {64, 0}};
    std::vector<TempoMark> map = tempoMap(m, gridOf(4, 2));
    ASSERT_EQ(map.size(), 3u);  // 120; 121 at beat 2; 100 then 120 on beat 4: 120 wins; no tempo of 0
    EXPECT_EQ(map[1].at, 4);
    EXPECT_NEAR(map[1].beatsPerMinute, 121, 0.01);
    EXPECT_EQ(map[2].at, 12);
    EXPECT_NEAR(map[2].beatsPerMinute, 120, 1e-9);
    m.tempos = {{32, 1000000}};
    map = tempoMap(m, gridOf(4, 2));
    ASSERT_EQ(map.size(), 2u);  // the MIDI default before the first event
    EXPECT_NEAR(map[0].beatsPerMinute, 120, 1e-9);
    EXPECT_NEAR(map[1].beatsPerMinute, 60, 1e-9);
}

// A tempo map of one tempo per beat (4 steps) from per-bar tempos, each beat's tempo moved by the
// given wobble pattern (shares, repeating).
std::vector<TempoMark> beatTempos(const std::vector<double> &bars, const std::vector<double> &wobble = {0}) {
    std::vector<TempoMark> map;
    for (size_t bar = 0; bar < bars.size(); ++bar)
        for (int beat = 0; beat < 4; ++beat) {
            size_t i = bar * 4 + beat;
            map.push_back({static_cast<int64_t>(i) * 4, bars[bar] * (1 + wobble[i % wobble.size()])});
        }
    return map;
}

ScoreTempo tempoOfBars(const std::vector<double> &bars, const std::vector<double> &wobble = {0}) {
    return copyistTempo(beatTempos(bars, wobble), layMeasures(gridOf(4, 2), 0, 16 * static_cast<int64_t>(bars.size())));
}

TEST(ScoreTempo, ASteadyPieceWithBeatToBeatWobbleGetsOneMark) {
    ScoreTempo t = tempoOfBars(std::vector<double>(16, 138), {0.015, -0.014, 0.029, -0.03, 0.0, 0.02, -0.025});
    ASSERT_EQ(t.marks.size(), 1u);
    EXPECT_EQ(t.marks[0].at, 0);
    EXPECT_NEAR(t.marks[0].beatsPerMinute, 138, 2);
    EXPECT_TRUE(t.words.empty());
    std::vector<double> accent(16, 120);
    accent[5] = 140;  // one bar pushed on does not move the tempo
    EXPECT_EQ(tempoOfBars(accent).marks.size(), 1u);
}

TEST(ScoreTempo, AStepIsANewMarkAtItsBarAndADriftIsWrittenInWords) {
    std::vector<double> step(12, 120);
    std::fill(step.begin() + 6, step.end(), 90);
    ScoreTempo t = tempoOfBars(step);
    ASSERT_EQ(t.marks.size(), 2u);
    EXPECT_EQ(t.marks[1].at, 6 * 16);
    EXPECT_NEAR(t.marks[1].beatsPerMinute, 90, 1e-9);
    EXPECT_TRUE(t.words.empty());

    std::vector<double> rit = {120, 120, 120, 120, 120, 110, 100, 90, 84, 84, 84, 84};
    t = tempoOfBars(rit);
    ASSERT_EQ(t.words.size(), 1u);
    EXPECT_EQ(t.words[0].text, "rit.");
    EXPECT_EQ(t.words[0].at, 5 * 16);
    ASSERT_EQ(t.marks.size(), 2u);
    EXPECT_EQ(t.marks[1].at, 9 * 16) << "the mark stands where the tempo has settled";
    EXPECT_NEAR(t.marks[1].beatsPerMinute, 84, 1e-9);

    std::vector<double> ending = {100, 100, 100, 100, 100, 100, 100, 100, 93, 85, 76};
    t = tempoOfBars(ending);
    ASSERT_EQ(t.words.size(), 1u);
    EXPECT_EQ(t.words[0].at, 8 * 16);
    EXPECT_EQ(t.marks.size(), 1u) << "a closing rit. needs no mark after it";

    std::vector<double> even(16);  // slowing evenly from 120 to 82.5, about 2 % a bar
    for (size_t bar = 0; bar < even.size(); ++bar)
        even[bar] = 120 - 2.5 * static_cast<double>(bar);
    t = tempoOfBars(even);
    EXPECT_EQ(t.words.size(), 1u) << "one rit. for one even slowing";
    EXPECT_EQ(t.marks.size(), 1u);

    std::vector<double> accel = {80, 80, 80, 80, 86, 93, 100, 100, 100};
    t = tempoOfBars(accel);
    ASSERT_EQ(t.words.size(), 1u);
    EXPECT_EQ(t.words[0].text, "accel.");
}

TEST(ScoreTempo, ThePickUpsLeadInDoesNotSetTheFirstMark) {
    std::vector<TempoMark> map = {{0, 45}, {8, 120}};  // a slow lead-in before the first beat of a half-bar pick-up
    ScoreTempo t = copyistTempo(map, layMeasures(gridOf(4, 2), 8, 8 + 4 * 16));
    ASSERT_EQ(t.marks.size(), 1u);
    EXPECT_EQ(t.marks[0].at, 0);
    EXPECT_NEAR(t.marks[0].beatsPerMinute, 120, 1e-9);
}

TEST(ScoreTempo, NeverTwoMarksOrWordsInOneBar) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> jump(-0.25, 0.25);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<double> bars(20);
        double tempo = 100;
        for (double &b : bars)
            b = tempo = std::clamp(tempo * (1 + (random() % 3 == 0 ? jump(random) : 0)), 30.0, 300.0);
        ScoreTempo t = tempoOfBars(bars, {jump(random) / 5, jump(random) / 5});
        std::vector<int64_t> at;
        for (const TempoMark &m : t.marks)
            at.push_back(m.at / 16);
        for (const TempoWords &w : t.words)
            at.push_back(w.at / 16);
        std::sort(at.begin(), at.end());
        EXPECT_EQ(std::adjacent_find(at.begin(), at.end()), at.end()) << "trial " << trial;
        for (const TempoMark &m : t.marks)
            EXPECT_EQ(m.at % 16, 0) << "marks stand at bar lines";
    }
}

TEST(ScoreSpelling, FollowsTheKeySignature) {
    EXPECT_EQ(spelled(61, 0), "C#4");
    EXPECT_EQ(spelled(63, 0), "Eb4");
    EXPECT_EQ(spelled(70, 0), "Bb4");
    EXPECT_EQ(spelled(65, 1), "F4");     // G major's lowered seventh
    EXPECT_EQ(spelled(63, 2), "D#4");    // sharp keys: sharps
    EXPECT_EQ(spelled(61, -1), "Db4");   // flat keys: flats
    EXPECT_EQ(spelled(66, -3), "Gb4");
    EXPECT_EQ(spelled(68, 0, true), "G#4");   // A minor's raised seventh
    EXPECT_EQ(spelled(66, 0, true), "F#4");   // and sixth
    EXPECT_EQ(spelled(61, -1, true), "C#4");  // D minor's leading tone
    EXPECT_EQ(spelled(72, 7), "B#4");    // C# major: its own scale, over the octave line
    EXPECT_EQ(spelled(60, 7), "B#3");
    EXPECT_EQ(spelled(67, 7), "G4");     // chromatic notes without double sharps
    EXPECT_EQ(spelled(71, -7), "Cb5");   // Cb major
    EXPECT_EQ(spelled(64, -7), "Fb4");
    EXPECT_EQ(spelled(69, 7, true), "G##4");  // A# minor's leading tone
    EXPECT_EQ(spelled(67, -7, true), "G4");   // Ab minor's leading tone
    EXPECT_EQ(spelled(12, 7), "C0");     // B#-1 cannot be written: C0
}

TEST(ScoreSpelling, PrintsAccidentalsOncePerMeasure) {
    // F#, F, F in one bar of C major, then F# tied into the next bar and F# again there.
    MidiContent m = songOf({{66, 100, 0, 4}, {65, 100, 4, 8}, {65, 100, 8, 12}, {66, 100, 48, 80},
                            {66, 100, 80, 96}});
    Score s;
    std::string error;
    ASSERT_TRUE(buildScore(m, 4, "t", s, error)) << error;
    std::vector<std::string> marks;
    for (const ScoreMeasure &measure : s.measures)
        for (const ScoreVoice &v : measure.voices)
            for (const ScoreEvent &e : v.events)
                if (!e.keys.empty())
                    marks.push_back(e.accidentals[0].empty() ? "-" : e.accidentals[0]);
    EXPECT_EQ(marks, (std::vector<std::string>{"sharp", "natural", "-", "sharp", "-", "sharp"}));
}

TEST(ScoreSpelling, AKeyChangeTakesEffectAtTheNextBarLine) {
    // G major, F major from the middle of bar 2: F# in bars 1 and 2 as the key has it, then Bb and
    // an F# that needs its sharp in bar 3.
    MidiContent m = songOf({{66, 100, 0, 16}, {66, 100, 64, 80}, {70, 100, 128, 144}, {66, 100, 144, 160}});
    m.keys = {{0, 1, 0}, {96, -1, 0}};
    Score s;
    std::string error;
    ASSERT_TRUE(buildScore(m, 4, "t", s, error)) << error;
    ASSERT_EQ(s.measures.size(), 3u);
    EXPECT_EQ(s.fifths, 1);
    EXPECT_EQ(s.measures[1].fifths, 1);
    EXPECT_EQ(s.measures[2].fifths, -1);
    std::vector<std::string> written;
    for (const ScoreMeasure &measure : s.measures)
        for (const ScoreVoice &v : measure.voices)
            for (const ScoreEvent &e : v.events)
                if (!e.keys.empty())
                    written.push_back(std::string(1, e.pitches[0].step) + std::to_string(e.pitches[0].alter) +
                                      (e.accidentals[0].empty() ? "" : " " + e.accidentals[0]));
    EXPECT_EQ(written, (std::vector<std::string>{"F1", "F1", "B-1", "F1 sharp"}));
    std::string document;
    ASSERT_TRUE(scoreDocument(s, document, error)) << error;
    EXPECT_EQ(countIn(document, "<key>"), 2u);
    EXPECT_EQ(countIn(document, "<fifths>-1</fifths>"), 1u);
    // Without key events the one key of the file holds throughout.
    m.keys.clear();
    m.keySignature = -2;
    ASSERT_TRUE(buildScore(m, 4, "t", s, error)) << error;
    for (const ScoreMeasure &measure : s.measures)
        EXPECT_EQ(measure.fifths, -2);
}

TEST(ScoreStaves, KeepsAHandsChordOnOneStaff) {
    std::vector<ScoreNote> notes = {{48, 0, 4}, {52, 0, 4}, {55, 0, 4}, {72, 0, 4}, {76, 0, 4},  // two hands
                                    {64, 4, 8}, {67, 4, 8}, {72, 4, 8},                           // E4-G4-C5
                                    {53, 8, 12}, {57, 8, 12}, {60, 8, 12},                        // F3-A3-C4
                                    {59, 12, 16}};
    splitStaves(notes);
    std::vector<int> staves;
    for (const ScoreNote &n : notes)
        staves.push_back(n.staff);
    EXPECT_EQ(staves, (std::vector<int>{2, 2, 2, 1, 1, 1, 1, 1, 2, 2, 2, 2}));
    char clef = 0;
    int octave = 0;
    EXPECT_EQ(chooseStaves({{40, 0, 1}}, 0, clef, octave), 2);       // a piano: two staves,
    EXPECT_EQ(chooseStaves({{67, 0, 4}, {62, 0, 4}}, 0, clef, octave), 2);  // for a chord, for two lines at once
    EXPECT_EQ(chooseStaves({{67, 0, 6}, {64, 4, 8}}, 0, clef, octave), 2);
    EXPECT_EQ(chooseStaves({{67, 0, 5}, {55, 4, 8}, {72, 8, 9}}, 0, clef, octave), 1);  // but for a tune in the treble
    EXPECT_EQ(clef, 'G');
    EXPECT_EQ(chooseStaves({{55, 0, 1}, {90, 0, 1}}, 73, clef, octave), 1);
    EXPECT_EQ(clef, 'G');
    EXPECT_EQ(chooseStaves({{30, 0, 1}, {64, 0, 1}}, 32, clef, octave), 1);
    EXPECT_EQ(clef, 'F');
    EXPECT_EQ(octave, 0);
    // A guitar reads from one treble staff an octave above its sound; a reduction led by one, with
    // more notes at once than six strings, from a pianist's two staves.
    EXPECT_EQ(chooseStaves({{40, 0, 1}, {80, 0, 1}}, 24, clef, octave), 1);
    EXPECT_EQ(clef, 'G');
    EXPECT_EQ(octave, -1);
    std::vector<ScoreNote> band;
    for (int key : {36, 48, 55, 60, 64, 67, 72})
        band.push_back({key, 0, 4});
    EXPECT_EQ(chooseStaves(band, 26, clef, octave), 2);
    EXPECT_EQ(octave, 0);
}

// The staff of each note of `notes` after splitStaves, in order.
std::vector<int> stavesOf(std::vector<ScoreNote> notes) {
    splitStaves(notes);
    std::vector<int> staves;
    for (const ScoreNote &n : notes)
        staves.push_back(n.staff);
    return staves;
}

TEST(ScoreStaves, HandsFollowTheirLines) {
    // An Alberti bass C3-G3-E3-G3, then G3-D4-B3-D4 and F3-C4-A3-C4 under a melody held each bar.
    std::vector<ScoreNote> alberti;
    for (int bar = 0; bar < 3; ++bar) {
        int root = std::vector<int>{48, 55, 53}[bar];
        alberti.push_back({76 + bar, bar * 16, bar * 16 + 16});
        for (int i = 0; i < 4; ++i)
            alberti.push_back({root + std::vector<int>{0, 7, 4, 7}[i], bar * 16 + i * 4, bar * 16 + i * 4 + 4});
    }
    std::sort(alberti.begin(), alberti.end(), [](const ScoreNote &a, const ScoreNote &b) { return a.start < b.start; });
    std::vector<int> want;
    for (const ScoreNote &n : alberti)
        want.push_back(n.key >= 76 ? 1 : 2);
    EXPECT_EQ(stavesOf(alberti), want);
    // A melody note struck with the left hand's chord F3-A3-C4 stays in the right hand.
    EXPECT_EQ(stavesOf({{53, 0, 8}, {57, 0, 8}, {60, 0, 8}, {69, 0, 4}, {67, 4, 8},
                        {53, 8, 16}, {57, 8, 16}, {60, 8, 16}, {65, 8, 16}}),
              (std::vector<int>{2, 2, 2, 1, 1, 2, 2, 2, 1}));
    // Bass, then an accompaniment just below middle C under a melody near it stays in the left hand.
    EXPECT_EQ(stavesOf({{40, 0, 4}, {67, 0, 8}, {55, 4, 8}, {59, 4, 8}, {43, 8, 12}, {64, 8, 16},
                        {55, 12, 16}, {59, 12, 16}, {65, 16, 24}, {40, 16, 20}, {57, 20, 24}, {60, 20, 24}}),
              (std::vector<int>{2, 1, 2, 2, 2, 1, 2, 2, 1, 2, 2, 2}));
}

TEST(ScoreStaves, AFigureStaysInOneHand) {
    // A broken chord A3-E3-A4-C4-E4 in 16ths under the right hand's held C5, twice, then a bar of
    // G2-D3-G3-B3-D4 under B4: the figure's top notes stay in the left hand with the rest of it.
    std::vector<ScoreNote> notes;
    const std::vector<std::vector<int>> figures = {{57, 52, 69, 60, 64}, {43, 50, 55, 59, 62}};
    for (int bar = 0; bar < 2; ++bar) {
        notes.push_back({bar == 0 ? 72 : 71, bar * 16, bar * 16 + 16});
        for (int i = 0; i < 16; ++i) {
            int key = figures[bar][i % 5];
            notes.push_back({key, bar * 16 + i, bar * 16 + i + 1});
        }
    }
    std::sort(notes.begin(), notes.end(), [](const ScoreNote &a, const ScoreNote &b) {
        return a.start != b.start ? a.start < b.start : a.key > b.key;
    });
    std::vector<int> want;
    for (const ScoreNote &n : notes)
        want.push_back(n.end - n.start == 16 ? 1 : 2);
    EXPECT_EQ(stavesOf(notes), want);
    // A melody and a bass taking turns, each held over the other's note, keep their own hands.
    EXPECT_EQ(stavesOf({{76, 0, 5}, {45, 4, 9}, {74, 8, 13}, {43, 12, 17}, {72, 16, 20}}),
              (std::vector<int>{1, 2, 1, 2, 1}));
    // A tune A4-F#4 walking down to D4 and E4, struck with left-hand notes an octave or more below
    // (D3, then a held A3): the tune's D4 and E4 stay in the right hand.
    EXPECT_EQ(stavesOf({{69, 0, 4}, {54, 0, 8}, {66, 4, 8}, {62, 8, 12}, {50, 8, 12}, {64, 12, 16},
                        {57, 12, 20}, {66, 16, 20}, {67, 20, 24}, {45, 20, 24}}),
              (std::vector<int>{1, 2, 1, 1, 2, 1, 2, 1, 1, 2}));
    // A left-hand chord's top note a fifth under the tune's last note, the next key a third below
    // it, is the chord's: B3-E3 with D4 after G#4 stays in the left hand.
    EXPECT_EQ(stavesOf({{69, 0, 4}, {40, 0, 4}, {68, 4, 8}, {62, 8, 12}, {59, 8, 12}, {52, 8, 12}}),
              (std::vector<int>{1, 2, 1, 2, 2, 2}));
}

TEST(ScoreVoices, TwoVoicesAtMostTheUpperFirst) {
    // A held low note under a running line, and a chord of equal notes.
    std::vector<ScoreNote> notes = {{72, 0, 2}, {60, 0, 16}, {74, 2, 4}, {76, 4, 8}, {79, 4, 8}};
    auto voices = assignVoices(notes, 1);
    ASSERT_EQ(voices[0].size(), 3u);
    EXPECT_EQ(voices[0][2].keys, (std::vector<int>{79, 76}));
    ASSERT_EQ(voices[1].size(), 1u);
    EXPECT_EQ(voices[1][0].keys, (std::vector<int>{60}));
    // A note held one step into the next one ends where it starts: one voice.
    voices = assignVoices({{60, 0, 5}, {64, 0, 5}, {62, 4, 8}, {65, 8, 12}}, 1);
    ASSERT_EQ(voices[0].size(), 3u);
    EXPECT_EQ(voices[0][0].end, 4);
    EXPECT_TRUE(voices[1].empty());
    // A line whose notes ring two steps into the next stays one voice; a held bass under it keeps its own.
    voices = assignVoices({{67, 0, 6}, {65, 4, 10}, {64, 8, 14}, {60, 12, 16}}, 1);
    ASSERT_EQ(voices[0].size(), 4u);
    EXPECT_TRUE(voices[1].empty());
    EXPECT_EQ(voices[0][1].end, 8);
    voices = assignVoices({{48, 0, 16}, {67, 0, 6}, {65, 4, 10}, {64, 8, 16}}, 1);
    ASSERT_EQ(voices[1].size(), 1u);
    EXPECT_EQ(voices[1][0].end, 16);
    // A bass and a tune struck together further apart than one hand reaches are two lines, each in its
    // own voice (a guitar's thumb and fingers); within reach they are one chord.
    voices = assignVoices({{76, 0, 4}, {40, 0, 4}, {74, 4, 8}, {48, 4, 8}, {72, 8, 16}, {45, 8, 16}}, 1);
    ASSERT_EQ(voices[0].size(), 3u);
    ASSERT_EQ(voices[1].size(), 3u);
    EXPECT_EQ(voices[0][1].keys, std::vector<int>{74});
    EXPECT_EQ(voices[1][2].keys, std::vector<int>{45});
    voices = assignVoices({{64, 0, 4}, {40, 0, 4}}, 1);
    EXPECT_EQ(voices[0].size(), 1u);
    EXPECT_TRUE(voices[1].empty());
    // A third line cuts short the voice that ends first.
    notes = {{60, 0, 16}, {64, 0, 8}, {67, 2, 6}};
    voices = assignVoices(notes, 1);
    ASSERT_EQ(voices[0].size() + voices[1].size(), 3u);
    int64_t ends = 0;
    for (auto &v : voices)
        for (auto &c : v)
            ends += c.keys[0] == 64 ? c.end : 0;
    EXPECT_EQ(ends, 2);
}

TEST(ScoreVoices, AnAccompanimentStruckWithTheTuneFillsItsOwnLine) {
    // A tune E5-D5-C5 over an accompaniment in quarters and eighths; at D5 the accompaniment's G4-C4
    // is struck with the tune and as long: it continues the accompaniment's voice, which prints no rest.
    std::vector<ScoreNote> notes = {{76, 0, 8},  {67, 0, 4},  {60, 0, 4},  {67, 4, 8},  {59, 4, 8},
                                    {74, 8, 12}, {67, 8, 12}, {60, 8, 12}, {72, 12, 16}, {65, 12, 14},
                                    {59, 12, 14}, {64, 14, 16}, {60, 14, 16}};
    auto voices = assignVoices(notes, 1);
    ASSERT_EQ(voices[0].size(), 3u);
    EXPECT_EQ(voices[0][1].keys, std::vector<int>{74});
    ASSERT_EQ(voices[1].size(), 5u);
    expectNoRests(voices[1]);
    EXPECT_EQ(voices[1][2].keys, (std::vector<int>{67, 60}));
    // Where the accompaniment is silent after the chord, the chord stays whole with the tune.
    notes.erase(notes.begin() + 9, notes.end());
    voices = assignVoices(notes, 1);
    ASSERT_EQ(voices[0].size(), 3u);
    EXPECT_EQ(voices[0][1].keys, (std::vector<int>{74, 67, 60}));
}

TEST(ScoreVoices, AFiguresNoteStruckAsTheTuneFallsSilentStaysInTheFigure) {
    // A figure of 16ths (C5, A4, E5, C5, ...) under the tune's G6, released a 16th before F6: the
    // figure's E5 struck where both voices fall silent goes first to the tune's voice, then back to the
    // figure's, whose line it continues; the tune's voice keeps G6 and F6.
    std::vector<ScoreNote> notes = {{91, 0, 7}, {89, 8, 12}};
    for (int64_t at = 0; at < 12; ++at)
        notes.push_back({std::vector<int>{72, 69, 76}[at % 3], at, at + 1});
    std::sort(notes.begin(), notes.end(), [](const ScoreNote &a, const ScoreNote &b) {
        return a.start != b.start ? a.start < b.start : a.key > b.key;
    });
    auto voices = assignVoices(notes, 1);
    ASSERT_EQ(voices[0].size(), 2u);
    EXPECT_EQ(voices[0][1].keys, std::vector<int>{89});
    ASSERT_EQ(voices[1].size(), 12u);
    expectNoRests(voices[1]);
}

TEST(ScoreVoices, RandomLinesKeepEveryStrikeInTwoOrderedVoices) {
    // A tune over an accompaniment that is sometimes struck with it: every strike is in one voice
    // once, and each voice's chords follow each other without overlapping.
    std::mt19937 rng(36);
    for (int round = 0; round < 200; ++round) {
        std::vector<ScoreNote> notes;
        for (int64_t at = 0; at < 64; at += 1 + static_cast<int64_t>(rng() % 4)) {
            int64_t length = 1 + static_cast<int64_t>(rng() % 6);
            for (int k = 0, size = static_cast<int>(rng() % 4); k < size; ++k) {
                int64_t own = rng() % 2 ? length : 1 + static_cast<int64_t>(rng() % 6);  // struck with the rest or not
                notes.push_back({52 + static_cast<int>(rng() % 30), at, at + own});
            }
        }
        std::sort(notes.begin(), notes.end(), [](const ScoreNote &a, const ScoreNote &b) {
            return a.start != b.start ? a.start < b.start : a.key > b.key;
        });
        notes.erase(std::unique(notes.begin(), notes.end(),
                                [](const ScoreNote &a, const ScoreNote &b) { return a.start == b.start && a.key == b.key; }),
                    notes.end());
        std::multiset<std::pair<int64_t, int>> strikes, written;
        for (const ScoreNote &n : notes)
            strikes.insert({n.start, n.key});
        for (const auto &voice : assignVoices(notes, 1))
            for (size_t i = 0; i < voice.size(); ++i) {
                EXPECT_TRUE(i == 0 || voice[i - 1].end <= voice[i].start) << "round " << round;
                EXPECT_LT(voice[i].start, voice[i].end);
                for (int key : voice[i].keys)
                    written.insert({voice[i].start, key});
            }
        EXPECT_EQ(written, strikes) << "round " << round;
    }
}

TEST(ScoreVoices, AKeyStruckAgainIsNotHeldOverItsRestrike) {
    // D4 held over a bar, a C4-A3 chord and D3, D2 of other lengths struck with it, then D3 and D2
    // struck again: the short notes join a chord, but no chord may hold a key past its next strike.
    std::vector<ScoreNote> notes = {{62, 0, 15}, {60, 0, 3}, {57, 0, 3}, {50, 0, 1}, {38, 0, 2},
                                    {60, 3, 4},  {57, 3, 4}, {50, 3, 4}, {38, 3, 4}, {50, 4, 5}, {38, 4, 6}};
    auto voices = assignVoices(notes, 1);
    size_t keys = 0;
    for (const auto &voice : voices)
        for (const VoiceChord &c : voice)
            for (int key : c.keys) {
                ++keys;
                for (const ScoreNote &n : notes)
                    EXPECT_FALSE(n.key == key && n.start > c.start && n.start < c.end)
                        << key << " held from " << c.start << " to " << c.end << " over its strike at " << n.start;
            }
    EXPECT_EQ(keys, notes.size());
    // D4 keeps its length in one voice; the short notes join the chord nearest their length.
    ASSERT_FALSE(voices[0].empty());
    EXPECT_EQ(voices[0][0].keys, std::vector<int>{62});
    EXPECT_EQ(voices[0][0].end, 15);
}

TEST(ScoreChords, ReadsTheEnginesChordNames) {
    ChordSymbol c;
    ASSERT_TRUE(parseChordName("F#m", c));
    EXPECT_EQ(c.rootStep, 'F');
    EXPECT_EQ(c.rootAlter, 1);
    EXPECT_EQ(c.kind, "minor");
    ASSERT_TRUE(parseChordName("Dbm", c));
    EXPECT_EQ(c.rootStep, 'D');
    EXPECT_EQ(c.rootAlter, -1);
    ASSERT_TRUE(parseChordName("Bb", c));
    EXPECT_EQ(c.rootAlter, -1);
    EXPECT_EQ(c.kind, "major");
    ASSERT_TRUE(parseChordName("G7", c));
    EXPECT_EQ(c.kind, "dominant");
    ASSERT_TRUE(parseChordName("Dm7/A", c));
    EXPECT_EQ(c.kind, "minor-seventh");
    EXPECT_EQ(c.bassStep, 'A');
    EXPECT_FALSE(parseChordName("", c));
    EXPECT_FALSE(parseChordName("N.C.", c));
    EXPECT_FALSE(parseChordName("Cxyz", c));
    EXPECT_FALSE(parseChordName("C/H", c));
}
