// MIDI in, score out: a MIDI file given as the input gets its score from the
// writer of every run, and nothing else; what makes no sense with it is refused.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/app/score/score_support.h"
#include "tests/app/starter_rig.h"
#include "tests/app/support.h"

namespace fs = std::filesystem;

namespace {

// A scratch folder with the stand-in engine, a recording and a MIDI file of three notes over two bars.
struct MidiInput : StarterRig {
    MidiContent midi = songOf({{60, 90, 0, 32}, {64, 90, 32, 96}, {43, 90, 0, 96}}, 3, 2);

    void SetUp() override {
        StarterRig::SetUp();
        writeMidiFile(dir.path + "piece.mid", midi);
    }

    // The score holds the MIDI file's notes, at the same times, in its metre.
    void expectTheNotes(const std::string &name) {
        EXPECT_EQ(schemaProblems(dir.path + name), "");
        ReadScore score = readScore(dir.path + name);
        EXPECT_EQ(score.problems, std::vector<std::string>{});
        EXPECT_EQ(score.beats + "/" + score.beatType, "3/4");
        ASSERT_EQ(score.notes.size(), 3u);
        const std::vector<std::pair<int, int64_t>> sounding = {{43, 0}, {60, 0}, {64, 32}};  // key, tick
        for (size_t i = 0; i < sounding.size(); ++i) {
            EXPECT_EQ(score.notes[i].key, sounding[i].first);
            EXPECT_EQ(score.notes[i].onset * midi.division, sounding[i].second * score.divisions);
        }
    }

    // The score of `notes` written from a recording the stand-in engine transcribes as them, and
    // from their MIDI file: the two are the same text, which is returned.
    std::string sameScoreFromAudioAndMidi(const MidiContent &notes) {
        writeMidiFile(dir.path + "engine.mid", notes);
        CommandResult r = run({"--tempo", "120", "song.wav", "--format", "both"}, {"FAKE_MIDI=" + dir.path + "engine.mid"});
        EXPECT_EQ(r.code, 0) << r.err;
        fs::rename(dir.path + "song.musicxml", dir.path + "from-audio.musicxml");
        r = run({"song.mid"});
        EXPECT_EQ(r.code, 0) << r.err;
        std::string score = fileText(dir.path + "song.musicxml");
        EXPECT_EQ(score, fileText(dir.path + "from-audio.musicxml"));
        return score;
    }
};

}  // namespace

TEST_F(MidiInput, TheScoreIsWrittenBesideItAndTheInputIsLeftAsItIs) {
    const std::string before = fileText(dir.path + "piece.mid");
    CommandResult r = run({"piece.mid", "--force"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("piece.mid -> piece.musicxml: score of 3 notes in 2 bars."), std::string::npos) << r.out;
    expectTheNotes("piece.musicxml");
    EXPECT_EQ(fileText(dir.path + "piece.mid"), before);
    EXPECT_TRUE(leftNothingBehind());
    // Known by its header, whatever its name; and never by way of the engine.
    fs::copy_file(dir.path + "piece.mid", dir.path + "piece.dat");
    r = runStarter({"--engine", "/nonexistent", "piece.dat", "-o", "dat.musicxml"}, dir.path);
    ASSERT_EQ(r.code, 0) << r.err;
    expectTheNotes("dat.musicxml");
}

TEST_F(MidiInput, NoTempoAndNoTimeSignatureGiveTheMidiDefaults) {
    // One track: a middle C held a whole beat (96 ticks), the end of the track; no meta events.
    writeText(dir.path + "bare.mid", std::string("MThd\0\0\0\6\0\0\0\1\0\x60", 14) +
                                         std::string("MTrk\0\0\0\x0c\0\x90\x3c\x64\x60\x80\x3c\x40\0\xff\x2f\0", 20));
    CommandResult r = run({"bare.mid"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("no tempo, so the score is at 120 beats per minute"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("no time signature, so the score is in 4/4 time"), std::string::npos) << r.out;
    ReadScore score = readScore(dir.path + "bare.musicxml");
    EXPECT_EQ(score.beats + "/" + score.beatType, "4/4");
    EXPECT_EQ(score.perMinute, std::vector<std::string>{"120"});
    ASSERT_EQ(score.notes.size(), 1u);
    EXPECT_EQ(score.notes[0].duration, score.divisions);
}

TEST_F(MidiInput, ItsDivisionCountsQuarterNotesInEveryMetre) {
    // Three 8ths and a dotted quarter in 6/8, with the 24 clocks a click most programs write.
    MidiContent jig = songOf({{60, 90, 0, 8}, {62, 90, 8, 16}, {64, 90, 16, 24}, {67, 90, 24, 48}}, 6, 3);
    writeMidiFile(dir.path + "jig.mid", jig);
    CommandResult r = run({"jig.mid"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("score of 4 notes in 1 bar."), std::string::npos) << r.out;
    ReadScore score = readScore(dir.path + "jig.musicxml");
    EXPECT_EQ(score.beats + "/" + score.beatType, "6/8");
    ASSERT_EQ(score.notes.size(), 4u);
    for (size_t i = 0; i < jig.notes.size(); ++i) {
        EXPECT_EQ(score.notes[i].onset * jig.division, jig.notes[i].onTick * score.divisions) << i;
        EXPECT_EQ(score.notes[i].duration * jig.division,
                  (jig.notes[i].offTick - jig.notes[i].onTick) * score.divisions) << i;
    }
}

TEST_F(MidiInput, KeyChangesAreWrittenAndAMetreNotFollowedIsNamed) {
    // Two bars of 3/4 in D major, then 4/4 in Bb major from tick 96 * 2 (division 16).
    MidiContent m = songOf({{66, 90, 0, 48}, {66, 90, 48, 96}, {70, 90, 96, 160}, {66, 90, 160, 224}}, 4, 2);
    m.signatures = {{0, 3, 2}, {96, 4, 2}};
    m.keys = {{0, 2, 0}, {96, -2, 0}};
    writeMidiFile(dir.path + "changes.mid", m);
    CommandResult r = run({"changes.mid"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("The file changes its time signature (also 3/4); the score is written in its last, 4/4, "
                         "throughout, so its bar lines may differ from the file's."),
              std::string::npos)
        << r.out;
    EXPECT_EQ(schemaProblems(dir.path + "changes.musicxml"), "");
    std::string text = fileText(dir.path + "changes.musicxml");
    EXPECT_EQ(countIn(text, "<key>"), 2u);
    EXPECT_NE(text.find("<fifths>-2</fifths>"), std::string::npos);
    // One metre, one key: nothing said.
    r = run({"piece.mid"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find("time signature"), std::string::npos) << r.out;
    EXPECT_EQ(countIn(fileText(dir.path + "piece.musicxml"), "<key>"), 1u);
}

TEST_F(MidiInput, TheSameNotesGiveTheSameScoreAsTheAudioPath) {
    sameScoreFromAudioAndMidi(midi);
    expectTheNotes("song.musicxml");
}

TEST_F(MidiInput, TripletsAreWrittenAlikeFromAudioAndFromMidi) {
    MidiContent swing = songOf({});
    swing.division = 48;  // a swung pair a beat, then a beat of triplet 8ths
    for (int64_t beat = 0; beat < 3; ++beat) {
        swing.notes.push_back({60 + static_cast<int>(beat), 90, 48 * beat, 48 * beat + 32, 0});
        swing.notes.push_back({64, 90, 48 * beat + 32, 48 * beat + 48, 0});
    }
    for (int64_t third = 0; third < 3; ++third)
        swing.notes.push_back({67 + static_cast<int>(third), 90, 144 + 16 * third, 160 + 16 * third, 0});
    EXPECT_EQ(countIn(sameScoreFromAudioAndMidi(swing), "<tuplet type=\"start\""), 4u);
}

TEST(MidiInputWithTheEngine, ThePreludesMidiFileGivesItsScoreAgain) {
    ScratchDir dir;
    CommandResult r = runStarter({"--engine", ENGINE_PATH, "-q", std::string(SOURCE_DIR) + "/examples/prelude.wav",
                                  "-o", "prelude.musicxml", "--format", "both"}, dir.path);
    ASSERT_EQ(r.code, 0) << r.err;
    fs::rename(dir.path + "prelude.musicxml", dir.path + "from-audio.musicxml");
    r = runStarter({"prelude.mid"}, dir.path);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(schemaProblems(dir.path + "prelude.musicxml"), "");
    EXPECT_EQ(fileText(dir.path + "prelude.musicxml"), fileText(dir.path + "from-audio.musicxml"));
}

TEST_F(MidiInput, ADamagedFileEndsWithASentence) {
    const std::vector<std::pair<std::string, std::string>> files = {
        {"cut.mid", std::string("MThd\0\0\0\6\0\0\0\1\0\x60MTrk\0\0\0\4\0\x90", 24)},
        {"short.mid", "MTh"}};
    for (const auto &[name, bytes] : files) {
        writeText(dir.path + name, bytes);
        CommandResult r = run({name});
        EXPECT_EQ(r.code, 4) << name;
        EXPECT_NE(r.err.find(name + ": The MIDI file cannot be read ("), std::string::npos) << r.err;
    }
    EXPECT_NE(run({"cut.mid"}).err.find("(a track event is cut short"), std::string::npos);
    EXPECT_TRUE(leftNothingBehind());
}

// Two notes eleven thousand hours apart at 120 beats a minute: a score of them would fill millions
// of empty measures, so none is written.
TEST_F(MidiInput, AFileCutShortAtAnEventBoundaryIsScoredAndSaidToBeCutShort) {
    // The track announces more bytes than the file holds, and its end is lost: the note that was
    // read is scored, and the summary says the file is not whole.
    writeText(dir.path + "cut.mid",
              std::string("MThd\0\0\0\6\0\0\0\1\0\x60MTrk\0\0\0\x20\0\x90\x3c\x64\x60\x80\x3c\x40", 30));
    CommandResult r = run({"cut.mid"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("score of 1 note in 1 bar."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("The file is not whole (a track is cut short or has no end): the score holds what could "
                         "be read."),
              std::string::npos)
        << r.out;
    r = run({"piece.mid"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find("not whole"), std::string::npos) << r.out;
}

TEST_F(MidiInput, NotesTooFarApartForAScoreAreRefused) {
    writeText(dir.path + "far.mid", std::string("MThd\0\0\0\6\0\0\0\1\0\x60MTrk\0\0\0\x17", 22) +
                                        std::string("\0\x90\x3c\x64\x60\x80\x3c\x40\xff\xff\xff\x7f\x90\x3e\x64"
                                                    "\x60\x80\x3e\x40\0\xff\x2f\0", 23));
    CommandResult r = run({"far.mid"});
    EXPECT_EQ(r.code, 5) << r.err;
    EXPECT_NE(r.err.find("could not be written: its notes would fill more than 100000 measures."), std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(dir.path + "far.musicxml"));
    EXPECT_TRUE(leftNothingBehind());
}

TEST_F(MidiInput, WhatMakesNoSenseWithItIsRefused) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> lines = {
        {{"piece.mid", "-o", "x.mid"}, "piece.mid is a MIDI file already, so there is nothing to transcribe"},
        {{"piece.mid", "-o", "piece.mid", "--force"}, "Drop -o piece.mid"},
        {{"piece.mid", "--format", "both"}, "Drop --format both"},
        {{"piece.mid", "--tempo", "90"}, "Drop --tempo"},
        {{"song.wav", "piece.mid", "--start", "1"}, "Drop --start"},
        {{"piece.mid", "--transpose", "2"}, "Drop --transpose"},
        {{"piece.mid", "--raw"}, "Drop --raw"}};
    const std::string before = fileText(dir.path + "piece.mid");
    for (const auto &[line, words] : lines) {
        CommandResult r = run(line);
        EXPECT_EQ(r.code, 9) << line[2];
        EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
    }
    EXPECT_EQ(fileText(dir.path + "piece.mid"), before);
    EXPECT_EQ(folderEntries(dir.path), (std::vector<std::string>{"fake-engine", "piece.mid", "song.wav", "tmp"}));
}
