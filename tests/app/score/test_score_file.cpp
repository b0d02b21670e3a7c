// Score files: every one valid against the MusicXML 4.0 schema, and read
// back (by a reader of our own, apart from the writer) to the same notes.
#include <gtest/gtest.h>

#include <random>

#include <zip.h>

#include "app/starter/score/score.h"
#include "app/starter/score/score_file.h"
#include "tests/app/score/score_support.h"
#include "tests/app/support.h"

namespace {

// Writes the score of m, checks it against the schema and reads it back; `text`, when given,
// receives the file's text.
ReadScore written(const MidiContent &m, const std::string &name = "score.musicxml", double resolution = 4,
                  std::string *text = nullptr) {
    ScratchDir dir;
    std::string path = dir.path + name, error;
    EXPECT_TRUE(writeScoreFile(m, {"title", resolution, false}, path, error)) << error;
    EXPECT_EQ(schemaProblems(path), "");
    ReadScore r = readScore(path);
    EXPECT_EQ(r.problems, std::vector<std::string>{});
    if (text)
        *text = fileText(path);
    return r;
}

// Notes on a grid of 4 ticks a step (songOf), in steps.
MidiNote note(int key, int64_t start, int64_t end) { return {key, 100, 4 * start, 4 * end}; }

// The notes expected back: steps in divisions, as the score's grid is the 16th here.
std::vector<ReadNote> expected(const std::vector<MidiNote> &notes, int64_t shift = 0) {
    std::vector<ReadNote> out;
    for (const MidiNote &n : notes)
        out.push_back({n.key, n.onTick / 4 - shift, (n.offTick - n.onTick) / 4, n.key >= 60 ? 1 : 2});
    std::sort(out.begin(), out.end());
    return out;
}

// The notes read back against those expected; `staves`: also each note's staff.
void expectSameNotes(const std::vector<ReadNote> &got, const std::vector<ReadNote> &want, bool staves = true) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].key, want[i].key) << "note " << i;
        EXPECT_EQ(got[i].onset, want[i].onset) << "note " << i;
        EXPECT_EQ(got[i].duration, want[i].duration) << "note " << i;
        if (staves) {
            EXPECT_EQ(got[i].staff, want[i].staff) << "note " << i;
        }
    }
}

// Random lines for both hands: chords of up to three notes, any lengths, rests between; each
// hand's lowest note moves at most a fourth at a time, the right hand's within E4-D#5, the left's
// within C2-B2.
std::vector<MidiNote> randomHands(std::mt19937 &rng, int64_t steps) {
    std::vector<MidiNote> notes;
    for (int low : {64, 36}) {
        int root = low + rng() % 12;
        for (int64_t at = low == 64 ? 0 : rng() % 5; at < steps;) {  // no pick-up
            int64_t length = 1 + rng() % 40;
            int size = 1 + rng() % 3;
            root = std::clamp(root + static_cast<int>(rng() % 11) - 5, low, low + 11);
            for (int k = 0; k < size; ++k)
                notes.push_back(note(root + 4 * k, at, at + length));
            at += length + rng() % 6;
        }
    }
    return notes;
}

}  // namespace

// The notes as written: a chord that falls silent before the next chord of its hand, one written
// value away and within a beat of its start, or released with a rest no longer than the shortest
// piece it would be tied from, is written to that chord (each hand of randomHands is one line).
std::vector<MidiNote> writtenToNextOnset(std::vector<MidiNote> notes, const ScoreGrid &grid) {
    for (MidiNote &n : notes) {
        int64_t next = -1;
        for (const MidiNote &o : notes)
            if ((o.key >= 60) == (n.key >= 60) && o.onTick > n.onTick && (next < 0 || o.onTick < next))
                next = o.onTick;
        if (next <= n.offTick || splitSpan(grid, n.onTick / 4, next / 4).size() != 1)
            continue;
        // Released: as sounded (its end on the nearest 16th) it is tied, and the rest is no longer
        // than the shortest of its tied pieces.
        int64_t end = (n.offTick + 2) / 4, shortest = next / 4 - end;
        auto sounded = splitSpan(grid, n.onTick / 4, end);
        for (const auto &[from, to] : sounded)
            shortest = std::min(shortest, to - from);
        if (next - n.onTick <= 4 * grid.countSteps || (sounded.size() > 1 && shortest == next / 4 - end))
            n.offTick = next;
    }
    return notes;
}

TEST(ScoreFile, RandomHandsComeBackNoteForNote) {
    std::mt19937 rng(18);
    const std::vector<std::pair<int, int>> metres = {{4, 2}, {3, 4}, {6, 3}, {5, 2}, {7, 3}, {12, 3}, {2, 1}};
    for (auto [numerator, power] : metres) {
        for (int round = 0; round < 3; ++round) {
            MidiContent m = songOf(randomHands(rng, 200), numerator, power);
            // A bar's steps: the 16th grid with the beat the time signature's note value.
            m.division = power <= 4 ? 4 * (16 >> power) : 4;
            ReadScore r = written(m);
            SCOPED_TRACE(std::to_string(numerator) + "/" + std::to_string(1 << power));
            ScoreGrid grid;
            std::string error;
            ASSERT_TRUE(chooseGrid(m, 4, grid, error));
            std::vector<ReadNote> want = expected(writtenToNextOnset(m.notes, grid));
            expectSameNotes(r.notes, want);
            int64_t bar = numerator * (16 >> power);
            for (int64_t length : r.measureLengths)
                EXPECT_EQ(length, bar);
            EXPECT_EQ(r.beats, std::to_string(numerator));
            EXPECT_EQ(r.beatType, std::to_string(1 << power));
        }
    }
}

TEST(ScoreFile, ShortNotesAreWrittenToTheNextOnsetOfTheirLine) {
    // 8ths sounding a 16th each, quarters sounding a 16th, a quarter released a little early, then
    // quarters with a quarter rest between, then a half note held seven 8ths and a half held three
    // quarters, then a dotted half released an 8th and one released a quarter before the next note:
    // notes within a beat of the next one are written to it, and those that sounded a third of their
    // value or less are staccato; a longer note only when as sounded it would be tied and the rest is
    // no longer than its shortest tied piece (a half tied to an 8th, then an 8th rest).
    MidiContent m = songOf({note(72, 0, 1), note(74, 2, 3), note(76, 4, 5), note(77, 6, 7),
                            note(79, 8, 9), note(77, 12, 13), note(76, 16, 17), note(74, 20, 23),
                            note(72, 24, 28), note(74, 32, 36), note(76, 40, 47), note(77, 48, 54),
                            note(79, 56, 60), note(81, 64, 74), note(79, 76, 80), note(77, 80, 88),
                            note(76, 92, 96)});
    ReadScore r = written(m);
    std::vector<int64_t> durations;
    for (const ReadNote &n : r.notes)
        durations.push_back(n.duration);
    EXPECT_EQ(durations, (std::vector<int64_t>{2, 2, 2, 2, 4, 4, 4, 4, 4, 4, 8, 6, 4, 12, 4, 8, 4}));
    EXPECT_EQ(r.staccatos, 3);
}

TEST(ScoreFile, AVoiceSilentForABarHidesItsRestUnderTheOtherVoice) {
    // Quarters over a note held for two bars in the treble staff; in bar 2 only the held note sounds.
    std::vector<MidiNote> notes = {note(64, 0, 32)};
    for (int64_t at = 0; at < 16; at += 4)
        notes.push_back(note(76 + at % 8, at, at + 4));
    std::string text;
    EXPECT_EQ(written(songOf(notes), "voices.musicxml", 4, &text).notes.size(), notes.size());
    size_t hidden = text.find("<note print-object=\"no\">");
    ASSERT_NE(hidden, std::string::npos);
    EXPECT_EQ(text.find("<rest measure=\"yes\"/>", hidden), text.find("<rest", hidden));
}

TEST(ScoreFile, ASecondVoiceEnteringAndLeavingWithinABarPrintsOnlyTheRestsBetweenItsNotes) {
    // Two 8ths under a tune of quarters, on beat 2 and after beat 3; in bar 2 the tune holds alone.
    std::vector<MidiNote> notes = {note(76, 0, 4),  note(74, 4, 8), note(67, 4, 6), note(72, 8, 12),
                                   note(67, 10, 12), note(71, 12, 16), note(72, 16, 32)};
    std::string text;
    EXPECT_EQ(written(songOf(notes), "voices.musicxml", 4, &text).notes.size(), notes.size());
    size_t bar2 = text.find("<measure number=\"2\"");
    ASSERT_NE(bar2, std::string::npos);
    std::string first = text.substr(0, bar2);
    // The second voice: a hidden quarter rest, G4, the gap between its notes as two printed 8th rests
    // (either side of beat 3), G4, a hidden quarter rest; the first voice has no rest and the empty
    // bass staff a whole-bar rest.
    EXPECT_EQ(countIn(first, "<note print-object=\"no\">"), 2u);
    EXPECT_EQ(countIn(first, "<rest/>"), 4u);
    EXPECT_EQ(countIn(first, "<rest measure=\"yes\"/>"), 1u);
    EXPECT_EQ(countIn(text.substr(bar2), "<voice>2</voice>"), 0u);
}

TEST(ScoreFile, AKeyHeldInOneHandIsStruckAgainByTheOther) {
    // The right hand holds E4-C5, then G4-D5, while the left hand's figure (C3, G3, E4, G3 in 8ths)
    // strikes E4 inside the first chord: the held E4 and the figure's are both written whole, each on
    // its own staff.
    std::vector<MidiNote> notes = {note(64, 0, 8), note(72, 0, 8), note(67, 8, 16), note(74, 8, 16)};
    for (int64_t at = 0; at < 16; at += 8)
        for (auto [key, step] : std::vector<std::pair<int, int64_t>>{{48, 0}, {55, 2}, {64, 4}, {55, 6}})
            notes.push_back(note(key, at + step, at + step + 2));
    ReadScore r = written(songOf(notes), "unison.musicxml");
    expectSameNotes(r.notes, expected(notes), false);
    for (const ReadNote &n : r.notes)
        if (n.key == 64) {
            EXPECT_EQ(n.staff, n.duration == 2 ? 2 : 1) << "E4 at " << n.onset;
        }

    // One hand striking the key it holds ends its note there; so does the other hand when the
    // holding staff strikes another note before the release.
    std::vector<MidiNote> one = {note(65, 0, 6), note(65, 2, 4), note(69, 4, 8)};
    expectSameNotes(written(songOf(one)).notes, {{65, 0, 2, 1}, {65, 2, 2, 1}, {69, 4, 4, 1}});
    std::vector<MidiNote> busy = {note(65, 0, 8), note(77, 0, 8), note(41, 0, 2), note(65, 2, 4), note(72, 4, 8),
                                  note(45, 4, 8)};
    ReadScore b = written(songOf(busy));
    ASSERT_EQ(b.notes.size(), busy.size());
    for (const ReadNote &n : b.notes)
        if (n.key == 65) {
            EXPECT_EQ(n.duration, 2) << "F4 at " << n.onset << " staff " << n.staff;
        }
}

TEST(ScoreFile, ATuneNoteTheOtherHandStrikesAgainStaysInTheTune) {
    // 12/8: the left hand's figure in 8ths (A♭2, E♭4, C4, E♭4, then B♭2, F4, D4, F4) under the tune's
    // C5 and B♭4, then F4, a dotted quarter struck with the figure's B♭2 and struck again by the
    // figure an 8th later: the tune's F4 stays in the treble staff, written whole, and the figure's
    // F4 in the bass staff; so does the figure's D4 after it.
    std::vector<MidiNote> notes = {note(72, 0, 12), note(70, 12, 24), note(65, 24, 30), note(68, 30, 36),
                                   note(74, 36, 42), note(72, 42, 46), note(70, 46, 48)};
    for (int64_t at = 0; at < 48; at += 8) {
        bool second = at >= 24;
        for (auto [key, step] : std::vector<std::pair<int, int64_t>>{{second ? 46 : 44, 0}, {second ? 65 : 63, 2},
                                                                     {second ? 62 : 60, 4}, {second ? 65 : 63, 6}})
            notes.push_back(note(key, at + step, at + step + 2));
    }
    MidiContent m = songOf(notes, 12, 3);
    m.division = 8;  // ticks per 8th, 4 per 16th
    ReadScore r = written(m, "tune.musicxml");
    expectSameNotes(r.notes, expected(notes), false);
    for (const ReadNote &n : r.notes)
        if (n.onset >= 24 && n.onset <= 28 && (n.key == 65 || n.key == 62)) {
            EXPECT_EQ(n.staff, n.duration == 6 ? 1 : 2) << n.key << " at " << n.onset;
        }
}

TEST(ScoreFile, AnEmptyTranscriptionIsOneBarOfRests) {
    ReadScore r = written(songOf({}));
    EXPECT_TRUE(r.notes.empty());
    EXPECT_EQ(r.measureLengths, (std::vector<int64_t>{16}));
}

TEST(ScoreFile, ALongNoteIsTiedOverTheBarlines) {
    MidiContent m = songOf({note(48, 2, 2 + 5 * 16), note(72, 0, 1)});
    ReadScore r = written(m);
    expectSameNotes(r.notes, expected(m.notes));
    EXPECT_EQ(r.measureLengths.size(), 6u);
}

TEST(ScoreFile, TheFilesPickUpBarIsAnImplicitMeasureAndSilenceStaysInTime) {
    // A 2/4 pick-up bar (8 steps), then 4/4 from tick 32: measure 0, then full bars, nothing moved.
    MidiContent m = songOf({note(67, 0, 8), note(72, 8, 24)});
    m.signatures = {{0, 2, 2}, {32, 4, 2}};
    ReadScore r = written(m);
    EXPECT_EQ(r.firstMeasureNumber, "0");
    EXPECT_TRUE(r.firstImplicit);
    EXPECT_EQ(r.measureLengths, (std::vector<int64_t>{8, 16}));
    expectSameNotes(r.notes, expected(m.notes));
    // Without a pick-up bar, beats of silence before the first note are rests of a full bar.
    r = written(songOf({note(67, 9, 12), note(72, 16, 32)}));
    EXPECT_EQ(r.firstMeasureNumber, "1");
    EXPECT_FALSE(r.firstImplicit);
    EXPECT_EQ(r.measureLengths, (std::vector<int64_t>{16, 16}));
}

// The rests a reader sees (not those with print-object="no") in measure `number` of MusicXML text.
int printedRests(const std::string &text, const std::string &number) {
    size_t from = text.find("<measure number=\"" + number + "\""), to = text.find("</measure>", from);
    int rests = 0;
    for (size_t at = text.find("<note", from); at < to; at = text.find("<note", at + 1))
        rests += text.compare(at, 24, "<note print-object=\"no\">") != 0 &&
                 text.find("<rest", at) < text.find("</note>", at);
    return rests;
}

TEST(ScoreFile, AStaffSilentInThePickUpBarPrintsNoRestThere) {
    // A piano's 2/4 pick-up played by the right hand alone, then by neither hand: the silent staves
    // print nothing, and the pick-up keeps its length.
    for (bool lead : {true, false}) {
        MidiContent m = songOf({note(72, 8, 24), note(48, 8, 24)});
        if (lead)
            m.notes.insert(m.notes.begin(), note(67, 0, 8));
        m.signatures = {{0, 2, 2}, {32, 4, 2}};
        ScratchDir dir;
        std::string path = dir.path + "pickup.musicxml", error;
        ASSERT_TRUE(writeScoreFile(m, {"title", 4, false}, path, error)) << error;
        EXPECT_EQ(schemaProblems(path), "");
        ReadScore r = readScore(path);
        EXPECT_EQ(r.problems, std::vector<std::string>{});
        EXPECT_EQ(r.measureLengths, (std::vector<int64_t>{8, 16}));
        expectSameNotes(r.notes, expected(m.notes));
        EXPECT_EQ(printedRests(fileText(path), "0"), 0) << (lead ? "right hand's lead-in" : "empty pick-up");
    }
}

TEST(ScoreFile, MetresOfThreeAndSixEights) {
    MidiContent waltz = songOf({note(55, 0, 12), note(67, 4, 12), note(71, 12, 24)}, 3, 2);
    ReadScore r = written(waltz);
    EXPECT_EQ(r.beats + "/" + r.beatType, "3/4");
    EXPECT_EQ(r.measureLengths, (std::vector<int64_t>{12, 12}));
    expectSameNotes(r.notes, expected(waltz.notes));
    MidiContent jig = songOf({note(62, 0, 6), note(66, 6, 8), note(69, 8, 12), note(74, 12, 24)}, 6, 3);
    jig.division = 8;  // ticks per 8th, 4 per 16th
    r = written(jig);
    EXPECT_EQ(r.beats + "/" + r.beatType, "6/8");
    EXPECT_EQ(r.measureLengths, (std::vector<int64_t>{12, 12}));
    expectSameNotes(r.notes, expected(jig.notes));
    EXPECT_EQ(r.perMinute, (std::vector<std::string>{"40"}));  // 120 8ths a minute: 40 dotted quarters
    // The same jig as MIDI counts it (the starter's refined file): 16 ticks and 1 s a quarter, 36 clocks a click.
    MidiContent counted = jig;
    counted.division = 16;
    counted.clocksPerClick = 36;
    counted.tempos = {{0, 1000000}};
    r = written(counted);
    EXPECT_EQ(r.measureLengths, (std::vector<int64_t>{12, 12}));
    expectSameNotes(r.notes, expected(counted.notes));
    EXPECT_EQ(r.perMinute, (std::vector<std::string>{"40"}));
}

TEST(ScoreFile, KeysOfSevenSharpsAndSevenFlats) {
    std::vector<MidiNote> chromatic;
    for (int k = 0; k < 24; ++k)
        chromatic.push_back(note(48 + k, k * 2, k * 2 + 2));
    for (int fifths : {7, -7}) {
        for (int mode : {0, 1}) {
            MidiContent m = songOf(chromatic);
            m.keySignature = fifths;
            m.mode = mode;
            ReadScore r = written(m);
            EXPECT_EQ(r.fifths, std::to_string(fifths));
            EXPECT_EQ(r.mode, mode ? "minor" : "major");
            // The spelling sounds the same keys (one line rising across both staves: its staves
            // are the hands' business).
            expectSameNotes(r.notes, expected(m.notes), false);
        }
    }
}

TEST(ScoreFile, NotesFarOutsideTheStaves) {
    MidiContent m = songOf({note(21, 0, 4), note(108, 0, 4), note(127, 4, 8), note(5, 8, 12)});
    ReadScore r = written(m);
    ASSERT_EQ(r.notes.size(), 4u);
    EXPECT_EQ(r.notes[0].key, 21);
    EXPECT_EQ(r.notes[1].key, 108);
    EXPECT_EQ(r.notes[2].key, 127);
    EXPECT_EQ(r.notes[3].key, 17);  // below the first written octave: an octave up
}

TEST(ScoreFile, TempoChangesAndChordSymbols) {
    // Bars of 64 ticks: 118 after a wobble, 100 from bar 4, then slowing over the last three bars.
    MidiContent m = songOf({note(60, 0, 11 * 16)});  // eleven bars
    m.tempos = {{0, 500000}, {16, 497512}, {32, 508475}, {256, 600000}, {320, 606061},
                {512, 652174}, {576, 714286}, {640, 789474}};
    m.markers = {{0, "C"}, {64, "C"}, {128, "Am"}, {192, "G7"}, {200, "N.C."}};
    ReadScore r = written(m);
    EXPECT_EQ(r.perMinute, (std::vector<std::string>{"118", "99"}));  // the first bars; a step to 100, then 99
    EXPECT_EQ(r.tempoWords, (std::vector<std::string>{"rit."}));
    EXPECT_EQ(r.harmonies, (std::vector<std::string>{"C major", "A minor", "G dominant"}));
}

TEST(ScoreFile, FinerGridsAndNotesOffTheGrid) {
    // 32nds asked for; ticks between the steps are snapped to the nearest.
    MidiContent m = songOf({{64, 100, 0, 2}, {67, 100, 3, 9}, {72, 100, 9, 64}});
    ReadScore r = written(m, "fine.xml", 5);
    EXPECT_EQ(r.divisions, 8);
    ASSERT_EQ(r.notes.size(), 3u);
    EXPECT_EQ(r.notes[1].onset, 2);  // tick 3 is 1.5 32nds in and rounds up to 2
    EXPECT_EQ(r.notes[2].onset, 5);  // tick 9 is 4.5 32nds in and rounds up to 5
    EXPECT_EQ(r.notes[1].duration, 3);
}

TEST(ScoreFile, CompressedScoreHasItsContainer) {
    ScratchDir dir;
    std::string path = dir.path + "song.mxl", error;
    MidiContent m = songOf({note(67, 0, 4), note(72, 4, 8)});
    ASSERT_TRUE(writeScoreFile(m, {"song", 4, true}, path, error)) << error;
    int code = 0;
    zip_t *zip = zip_open(path.c_str(), ZIP_RDONLY, &code);
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(zip_get_num_entries(zip, 0), 3);
    zip_stat_t st;
    ASSERT_EQ(zip_stat_index(zip, 0, 0, &st), 0);
    EXPECT_STREQ(st.name, "mimetype");
    EXPECT_EQ(st.comp_method, ZIP_CM_STORE);
    auto entry = [&](const char *name) {
        zip_stat_t s;
        zip_file_t *f = zip_fopen(zip, name, 0);
        std::string bytes;
        if (f && zip_stat(zip, name, 0, &s) == 0) {
            bytes.resize(s.size);
            zip_fread(f, bytes.data(), s.size);
        }
        if (f)
            zip_fclose(f);
        return bytes;
    };
    EXPECT_EQ(entry("mimetype"), "application/vnd.recordare.musicxml");
    writeText(dir.path + "container.xml", entry("META-INF/container.xml"));
    writeText(dir.path + "score.musicxml", entry("score.musicxml"));
    zip_close(zip);
    EXPECT_EQ(schemaProblems(dir.path + "container.xml", "container.xsd"), "");
    EXPECT_NE(fileText(dir.path + "container.xml").find("full-path=\"score.musicxml\""), std::string::npos);
    EXPECT_EQ(schemaProblems(dir.path + "score.musicxml"), "");
    expectSameNotes(readScore(dir.path + "score.musicxml").notes, expected(m.notes));
}

TEST(ScoreFile, ReportsWhatCannotBeWritten) {
    std::string error;
    EXPECT_FALSE(writeScoreFile(songOf({}), {"t", 4, false}, "/nonexistent/folder/x.musicxml", error));
    EXPECT_NE(error.find("writing the file failed"), std::string::npos);
    EXPECT_FALSE(writeScoreFile(songOf({}), {"t", 4, true}, "/nonexistent/folder/x.mxl", error));
    MidiContent endless = songOf({{60, 100, 0, int64_t{1} << 40}});
    EXPECT_FALSE(writeScoreFile(endless, {"t", 4, false}, "/tmp/unused.musicxml", error));
    EXPECT_NE(error.find("measures"), std::string::npos);
    EXPECT_TRUE(isScoreFileName("a/B.MusicXML") && isScoreFileName("x.xml") && isScoreFileName("y.MXL"));
    EXPECT_FALSE(isScoreFileName("song.mid") || isScoreFileName("musicxml"));
    EXPECT_EQ(scoreTitle("/music/Für Elise.wav"), "Für Elise");
    EXPECT_EQ(scoreTitle("bad\xff\n.wav"), "bad?");
}

TEST(ScoreFile, DynamicsMarkAClearChangeOnceAndNotEveryNote) {
    // Four bars of soft quarters with an accent on each bar line, then four loud bars with a soft
    // note in each: one p at the start and one f where the loud playing begins.
    std::vector<MidiNote> notes;
    for (int64_t bar = 0; bar < 8; ++bar)
        for (int64_t beat = 0; beat < 4; ++beat) {
            int velocity = bar < 4 ? (beat == 0 ? 80 : 45) : (beat == 2 ? 70 : 110);
            notes.push_back({67, velocity, 4 * (16 * bar + 4 * beat), 4 * (16 * bar + 4 * beat + 4)});
        }
    ScratchDir dir;
    std::string path = dir.path + "dynamics.musicxml", error;
    ASSERT_TRUE(writeScoreFile(songOf(notes), {"title", 4, false}, path, error)) << error;
    EXPECT_EQ(schemaProblems(path), "");
    std::string text = fileText(path);
    std::erase_if(text, [](char c) { return c == ' ' || c == '\n'; });
    size_t marks = 0;
    for (size_t at = text.find("<dynamics>"); at != std::string::npos; at = text.find("<dynamics>", at + 1))
        ++marks;
    EXPECT_EQ(marks, 2u);
    size_t p = text.find("<dynamics><p/></dynamics>"), f = text.find("<dynamics><f/></dynamics>");
    ASSERT_NE(p, std::string::npos);
    ASSERT_NE(f, std::string::npos);
    EXPECT_LT(p, text.find("<measurenumber=\"2\""));
    EXPECT_GT(f, text.find("<measurenumber=\"5\""));
    EXPECT_LT(f, text.find("<measurenumber=\"6\""));
    // One velocity throughout (the engine's own files) has no marks.
    for (MidiNote &n : notes)
        n.velocity = 127;
    ASSERT_TRUE(writeScoreFile(songOf(notes), {"title", 4, false}, path, error)) << error;
    EXPECT_EQ(fileText(path).find("<dynamics>"), std::string::npos);
}
