// The score options of the sonoscriptor command end to end, with the
// stand-in engine writing a MIDI file of our own.
#include <gtest/gtest.h>

#include <filesystem>

#include <sndfile.h>

#include "tests/app/score/score_support.h"
#include "tests/app/starter_rig.h"
#include "tests/app/support.h"

namespace fs = std::filesystem;

namespace {

// A scratch folder with a stand-in engine, a recording and the MIDI file the engine "writes".
struct ScoreOutputs : StarterRig {
    MidiContent midi = songOf({{60, 90, 0, 32}, {64, 90, 32, 64}, {43, 90, 0, 64}});

    void SetUp() override {
        StarterRig::SetUp();
        midi.markers = {{0, "C"}};
        writeMidiFile(dir.path + "engine.mid", midi);
        ASSERT_TRUE(writeTones(dir.path + "other.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, testMelody(), 1.0));
    }

    CommandResult run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--tempo", "120"});
        return StarterRig::run(args, {"FAKE_MIDI=" + dir.path + "engine.mid"});
    }

    // The files the run left in the folder, besides the fixture's own.
    std::vector<std::string> written() {
        std::vector<std::string> names;
        for (const std::string &n : folderEntries(dir.path))
            if (n != "fake-engine" && n != "tmp" && n != "engine.mid" && n != "song.wav" && n != "other.wav")
                names.push_back(n);
        return names;
    }

    // The score is valid and holds the engine's notes.
    void expectScore(const std::string &name) {
        EXPECT_EQ(schemaProblems(dir.path + name), "");
        ReadScore r = readScore(dir.path + name);
        ASSERT_EQ(r.notes.size(), 3u);
        EXPECT_EQ(r.notes[0].key, 43);
        EXPECT_EQ(r.harmonies, std::vector<std::string>{"C major"});
    }
};

}  // namespace

TEST_F(ScoreOutputs, AScoreNameWritesTheScoreAlone) {
    CommandResult r = run({"song.wav", "-o", "song.musicxml"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("song.wav -> song.musicxml: 3 notes written"), std::string::npos) << r.out;
    EXPECT_EQ(written(), std::vector<std::string>{"song.musicxml"});
    expectScore("song.musicxml");
    EXPECT_TRUE(folderEntries(tmp).empty());
}

TEST_F(ScoreOutputs, MusicxmlOptionWritesBesideTheMidiFile) {
    CommandResult r = run({"song.wav", "--musicxml", "score.mxl"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("-> song.mid and score.mxl"), std::string::npos) << r.out;
    EXPECT_EQ(written(), (std::vector<std::string>{"score.mxl", "song.mid"}));
    EXPECT_EQ(fileText(dir.path + "song.mid"), fileText(dir.path + "engine.mid"));
}

TEST_F(ScoreOutputs, FormatChoosesTheFilesOfEachInput) {
    fs::create_directory(dir.path + "out");
    CommandResult r = run({"song.wav", "other.wav", "--format", "both", "-o", "out"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(folderEntries(dir.path + "out"),
              (std::vector<std::string>{"other.mid", "other.musicxml", "song.mid", "song.musicxml"}));
    r = run({"song.wav", "--format", "musicxml"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(written(), (std::vector<std::string>{"out", "song.musicxml"}));
    expectScore("song.musicxml");
}

TEST_F(ScoreOutputs, AnExistingScoreNeedsForce) {
    writeText(dir.path + "song.musicxml", "keep");
    CommandResult r = run({"song.wav", "--format", "both"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("song.musicxml already exists; add --force"), std::string::npos) << r.err;
    EXPECT_EQ(fileText(dir.path + "song.musicxml"), "keep");
    EXPECT_EQ(written(), std::vector<std::string>{"song.musicxml"});  // no MIDI file either
    r = run({"song.wav", "--format", "both", "--force"});
    ASSERT_EQ(r.code, 0) << r.err;
    expectScore("song.musicxml");
    r = run({"song.wav", "--musicxml", "song.wav", "--force"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("is one of the inputs"), std::string::npos) << r.err;
}

TEST_F(ScoreOutputs, ContradictionsAreRefused) {
    const std::vector<std::vector<std::string>> lines = {
        {"song.wav", "--format", "musicxml", "--musicxml", "a.musicxml"},
        {"song.wav", "-o", "a.musicxml", "--format", "midi"},
        {"song.wav", "-o", "a.mid", "--format", "musicxml"},
        {"song.wav", "-o", "a.musicxml", "--musicxml", "b.musicxml"},
        {"song.wav", "other.wav", "--musicxml", "b.musicxml"},
        {"song.wav", "--musicxml", "song.mid"},
        {"song.wav", "-o", "-", "--format", "both"},
        {"song.wav", "--format", "pdf"}};
    for (const auto &line : lines) {
        CommandResult r = run(line);
        EXPECT_EQ(r.code, 9) << line[2] << " " << r.err;
    }
    EXPECT_TRUE(written().empty());
}

TEST(ScoreWithTheEngine, ThePreludeAsAScore) {
    ScratchDir dir;
    CommandResult r = runStarter({"--engine", ENGINE_PATH, "-q", "--tempo", "66", std::string(SOURCE_DIR) +
                                  "/examples/prelude.wav", "-o", "prelude.musicxml", "--format", "both"},
                                 dir.path);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(schemaProblems(dir.path + "prelude.musicxml"), "");
    MidiContent midi;
    std::string error;
    ASSERT_TRUE(readMidiFile(dir.path + "prelude.mid", midi, error)) << error;
    ReadScore score = readScore(dir.path + "prelude.musicxml");
    EXPECT_EQ(score.problems, std::vector<std::string>{});
    EXPECT_EQ(score.fifths + " " + score.mode + " " + score.beats + "/" + score.beatType, "0 major 4/4");
    EXPECT_EQ(score.notes.size(), midi.notes.size());
    EXPECT_EQ(score.perMinute, std::vector<std::string>{"66"});
    EXPECT_EQ(score.harmonies, (std::vector<std::string>{"C major", "F major", "G major", "C major"}));
}
