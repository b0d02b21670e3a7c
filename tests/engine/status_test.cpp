// Status file: the final and progress lines, progress pacing, and the polls
// that let the run go on or cancel it.
#include <chrono>
#include <ctime>
#include <regex>
#include <thread>

#include "engine/engine.h"
#include "input/input.h"
#include "midi/midi.h"
#include "tests/engine/engine_fixture.h"

namespace {

class StatusTest : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        resetSettings();
        run = RunState{};
        run.statusPath = dir.file("status.txt");
        writer = WriterState{};
        tracker.keys = nullptr;
        tracker.lowestKeyWritten = 128;
        tracker.highestKeyWritten = -1;
    }
    void TearDown() override { resetSettings(); }

    std::string status() const { return readFile(run.statusPath); }

    // Runs reportProgress while the wall-clock second stays the same as in
    // `lastReportTime`; false if the second changed meanwhile.
    bool reportWithinTheSameSecond() {
        time_t before = std::time(nullptr);
        run.lastReportTime = before;
        reportProgress();
        return std::time(nullptr) == before;
    }
};

TEST_F(StatusTest, FinalLineOfASuccessfulRun) {
    tracker.lowestKeyWritten = 60;
    tracker.highestKeyWritten = 72;
    settings.KeySignature = -3;
    run.detectedMode = 1;
    EXPECT_EQ(finalStatusLine(0, 0), "100,60,72,-3,1");
}

TEST_F(StatusTest, FinalLineOfOtherCodesCarriesCodeAndDetail) {
    EXPECT_EQ(finalStatusLine(1, 0), "-1.000,128,-1,8,0");
    EXPECT_EQ(finalStatusLine(5, 22), "-5.022,128,-1,8,0");
    EXPECT_EQ(finalStatusLine(6, 30), "-6.030,128,-1,8,0");
    EXPECT_EQ(finalStatusLine(7, 27), "-7.027,128,-1,8,0");
    EXPECT_EQ(finalStatusLine(2, 16), "-2.016,128,-1,8,0");
    EXPECT_EQ(finalStatusLine(3, 6), "-3.006,128,-1,8,0");
}

TEST_F(StatusTest, ProgressLineCarriesNoKeyYet) {
    run.progressPercent = 12.5f;
    settings.KeySignature = -3;
    run.detectedMode = 1;
    EXPECT_EQ(progressLine(), "12.500000,128,-1,8,0");
    tracker.lowestKeyWritten = 60;
    tracker.highestKeyWritten = 72;
    run.progressPercent = 0;
    EXPECT_EQ(progressLine(), "0.000000,60,72,8,0");
}

TEST_F(StatusTest, ProgressIsWrittenAtMostOncePerSecond) {
    writeFile(run.statusPath, "0");
    for (int attempt = 0; attempt < 3 && !reportWithinTheSameSecond(); ++attempt) writeFile(run.statusPath, "0");
    EXPECT_EQ(status(), "0");

    writeFile(run.statusPath, "0 followed by a much longer text than any progress line");
    run.progressPercent = 40.0f;
    run.lastReportTime = std::time(nullptr) - 5;
    reportProgress();
    EXPECT_EQ(status(), "40.000000,128,-1,8,0") << "the file is emptied before the line is written";
    EXPECT_GE(run.lastReportTime, std::time(nullptr) - 1);
}

TEST_F(StatusTest, PollReadsTheLeadingInteger) {
    const struct {
        const char *text;
        int value;
    } cases[] = {
        {"0", 0}, {"  42\n", 42}, {"junk", 42}, {"", 42}, {"- 1", 42}, {"-10", -10}, {"+3 more", 3}, {"7,8,9", 7},
        {"12.500000,60,72,8,0", 12},
    };
    writeFile(run.statusPath, "0");
    for (const auto &c : cases) {
        writeFile(run.statusPath, c.text);
        pollStatus();
        EXPECT_EQ(run.controlValue, c.value) << "\"" << c.text << "\"";
    }
}

TEST_F(StatusTest, PollOfMinusOneCancels) {
    for (const char *text : {"-1", "-1 junk", "\n  -1\n"}) {
        writeFile(run.statusPath, text);
        EXPECT_EXIT(pollStatus(), ::testing::ExitedWithCode(1), "") << "\"" << text << "\"";
        EXPECT_EQ(status(), "-1.000,128,-1,8,0");
    }
}

TEST_F(StatusTest, PollOfAMissingOrUnreadableFileCancels) {
    EXPECT_EXIT(pollStatus(), ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(status(), "-1.000,128,-1,8,0");
    run.statusPath = dir.file("folder");
    ASSERT_EQ(mkdir(run.statusPath.c_str(), 0755), 0);
    EXPECT_EXIT(pollStatus(), ::testing::ExitedWithCode(1), "");
}

// --- Runs of the engine binary --------------------------------------------

TEST(StatusRun, TextNotStartingWithAnIntegerLetsTheRunGoOn) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    dir.prepare("", "go on");
    EXPECT_EQ(dir.runEngine(), 0);
    EXPECT_EQ(dir.status(), "100,128,-1,0,0");
}

TEST(StatusRun, MinusOneFollowedByTextCancels) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0);
    dir.prepare("", "-1 please stop");
    EXPECT_EQ(dir.runEngine(), 1);
    EXPECT_EQ(dir.status(), "-1.000,128,-1,0,0");
    expectCompleteMidi(dir.midiPath());
}

TEST(StatusRun, LongRunReportsProgressAndStopsOnRequest) {
    EngineDir dir;
    // A fine grid keeps even a fast engine busy for seconds, past its first progress line.
    writeLongToneWav(dir.wavPath(), 300);
    dir.prepare("Tempo=480\nResolution=6\n");
    Spawned engine = startEngine({dir.settingsPath(), dir.statusPath(), "+"});
    std::string line = "0";
    for (int i = 0; i < 150 && (line == "0" || line.empty()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        line = dir.status();
    }
    writeFile(dir.statusPath(), "-1");
    EXPECT_EQ(waitEngine(engine), 1);
    EXPECT_TRUE(std::regex_match(line, std::regex(R"([0-9]+\.[0-9]{6},(128,-1|[0-9]+,[0-9]+),8,0)"))) << line;
    EXPECT_EQ(firstField(dir.status()), "-1.000");
}

// A FIFO or a device as status file is never opened, written or removed: each poll
// reads it as a file that cannot be opened, so the first one cancels the run.
TEST(StatusRun, SpecialStatusFileCancelsWithoutBeingTouched) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0, 0.5);
    dir.prepare();
    unlink(dir.statusPath().c_str());
    ASSERT_EQ(mkfifo(dir.statusPath().c_str(), 0600), 0);
    for (const std::string &status : {dir.statusPath(), std::string("/dev/null")}) {
        unlink(dir.midiPath().c_str());
        Spawned engine = startEngine({dir.settingsPath(), status, "+"});
        EXPECT_EQ(waitEngineFor(engine, 20), 1) << status;
        expectCompleteMidi(dir.midiPath());
        struct stat st;
        ASSERT_EQ(stat(status.c_str(), &st), 0) << status;
        EXPECT_TRUE(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) << status;
    }
}

}  // namespace

// A status path that names a file the run reads (the WAV input, the settings file, the tempo
// file) is never written or removed: the run goes on, and that file keeps its bytes.
TEST(StatusRun, StatusPathNamingAnInputIsNeverWritten) {
    EngineDir dir;
    writeToneWav(dir.wavPath(), 1.0, 0.2, 0.8);
    writeFile(dir.file("tempo.bin"), std::string("\xF4\x01\xF4\x01\xFF\xFF", 6));
    dir.prepare("TempoFile=" + dir.file("tempo.bin") + "\n");
    for (const std::string &status : {dir.wavPath(), dir.settingsPath(), dir.file("tempo.bin")}) {
        const std::string before = readFile(status);
        unlink(dir.midiPath().c_str());
        EXPECT_EQ(waitEngine(startEngine({dir.settingsPath(), status, "+"})), 0) << status;
        EXPECT_TRUE(readFile(status) == before) << status << " was written as the status file";
        expectCompleteMidi(dir.midiPath());
    }
    // Nor when the run fails before its first frame (a missing tempo file does not matter; a
    // WAV header the engine does not read does).
    writeFile(dir.file("bad.wav"), std::string(5000, 'x'));
    writeFile(dir.settingsPath(), "WaveFile=" + dir.file("bad.wav") + "\nMidiFile=" + dir.midiPath() + "\n");
    EXPECT_EQ(waitEngine(startEngine({dir.settingsPath(), dir.file("bad.wav"), "+"})), 4);
    EXPECT_EQ(readFile(dir.file("bad.wav")), std::string(5000, 'x'));
}
