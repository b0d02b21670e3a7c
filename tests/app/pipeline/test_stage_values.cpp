// The stages' seams: a stage given values, checked on the values it hands on. What writing
// the settings hands on must be what the engine reads in the files it wrote (read here with
// the engine's own line reader and tempo-file reader), so that no later stage reads them back;
// a beat-tracking failure is judged by its kind, not by its words.
#include <gtest/gtest.h>

#include <sndfile.h>

#include "app/starter/cli/messages.h"
#include "app/starter/pipeline/stages.h"
#include "input/input.h"
#include "tests/app/support.h"

namespace {

// The engine's reading of a settings file it would be given.
Settings engineReading(const std::string &path) {
    std::vector<std::string> lines;
    EXPECT_TRUE(readTextLines(path.c_str(), lines)) << path;
    Settings s = defaultSettings();
    for (const std::string &line : lines)
        applySettingsLineTo(s, line);
    return s;
}

// The tempo values the engine follows in a tempo file.
std::vector<uint16_t> engineTempoValues(const std::string &path) {
    std::vector<uint16_t> values;
    EXPECT_TRUE(readTempoValues(path, values)) << path;
    return values;
}

class StageValues : public ::testing::Test {
protected:
    TempDir dir;
    Job job;
    BatchConfig config;

    void SetUp() override {
        job.input = dir.file("take.wav");
        ASSERT_TRUE(writeTones(job.input, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, testMelody(), 12));
        job.workspace.tempDir = dir.path + "/";
        job.audio.wave = job.input;
        config.dataDir = dir.path + "/";
        config.settings = {{"VirtualSR", "11025"}, {"Resolution", "4"}};
    }

    // A tempo plan that follows beats 0.6 s apart from a downbeat 0.3 s before the audio.
    static TempoPlan trackedPlan() {
        TempoPlan plan;
        plan.tracked = true;
        plan.tempo = 99.86;
        plan.startPoint = -0.3;
        plan.endPoint = 11.5;
        plan.numerator = 3;
        plan.denominatorPower = 2;
        plan.map = {600, 600, 601, 599, TempoMapEnd};
        return plan;
    }
};

TEST_F(StageValues, TrackedBeatsHandOnWhatTheEngineReads) {
    job.beats.tempo = trackedPlan();
    ASSERT_TRUE(stageWriteSettings(job, config)) << job.outcome.message;
    Settings read = engineReading(job.files.settingsPath);
    EXPECT_EQ(job.files.region.start, read.StartPoint);
    EXPECT_EQ(job.files.region.end, read.EndPoint);
    EXPECT_EQ(job.files.tempo, read.Tempo);
    EXPECT_EQ(job.files.tempoPath, read.TempoFile);
    EXPECT_EQ(job.files.tempoMap, engineTempoValues(job.files.tempoPath));
    EXPECT_EQ(job.files.tempoMap, (std::vector<uint16_t>{600, 600, 601, 599}));
    EXPECT_LE(job.files.region.start, 0);  // the grid starts on the downbeat before the audio
}

TEST_F(StageValues, TheRegionAndMapAskedForAreHandedOnAsTheEngineReadsThem) {
    // An end asked for stays; a given tempo map is followed as it is.
    std::string map = dir.file("given.map");
    ASSERT_TRUE(writeTempoMap(map, {500, 520, TempoMapEnd}));
    config.settings.push_back({"EntireWave", "0"});
    config.settings.push_back({"StartPoint", "1.25"});
    config.settings.push_back({"EndPoint", "9.5"});
    config.settings.push_back({"Tempo", "96.5"});
    config.settings.push_back({"TempoFile", map});
    ASSERT_TRUE(stageWriteSettings(job, config)) << job.outcome.message;
    Settings read = engineReading(job.files.settingsPath);
    EXPECT_EQ(job.files.region.start, read.StartPoint);
    EXPECT_EQ(job.files.region.end, read.EndPoint);
    EXPECT_EQ(job.files.region.start, 1.25);
    EXPECT_EQ(job.files.tempo, read.Tempo);
    EXPECT_EQ(job.files.tempoPath, read.TempoFile);
    EXPECT_EQ(job.files.tempoMap, (std::vector<uint16_t>{500, 520}));

    // The tracked plan ends the region where the beats were tracked, unless an end was asked for.
    Job tracked = job;
    tracked.beats.tempo = trackedPlan();
    config.settings = {{"StartPoint", "1.25"}, {"EntireWave", "0"}};
    ASSERT_TRUE(stageWriteSettings(tracked, config)) << tracked.outcome.message;
    EXPECT_EQ(tracked.files.region.end, 11.5);
    EXPECT_EQ(tracked.files.region.end, engineReading(tracked.files.settingsPath).EndPoint);
}

TEST_F(StageValues, WholeFileAndNoTempoAreTheEngineDefaults) {
    config.settings.push_back({"EntireWave", "1"});
    config.settings.push_back({"StartPoint", "3"});
    ASSERT_TRUE(stageWriteSettings(job, config)) << job.outcome.message;
    EXPECT_EQ(job.files.region.start, 0);
    EXPECT_EQ(job.files.region.end, 0);
    EXPECT_EQ(job.files.tempo, engineReading(job.files.settingsPath).Tempo);
    EXPECT_TRUE(job.files.tempoPath.empty());
    EXPECT_TRUE(job.files.tempoMap.empty());
}

TEST(BeatFailures, OnlyAFileThatCannotBeReadIsSentBackToBeExported) {
    TempDir dir;
    writeText(dir.file("text.wav"), "not audio at all");
    BeatTrack track;
    std::string error;
    BeatFailure failure = BeatFailure::SetUp;
    ASSERT_FALSE(trackBeats(dir.file("text.wav"), 0, 0, track, nullptr, error, &failure));
    EXPECT_EQ(failure, BeatFailure::Unreadable);
    EXPECT_EQ(beatFailureCode(failure), 4);
    EXPECT_EQ(beatFailureSentence(failure, error), "The file " + error + "; export it as a WAV, FLAC or Ogg file.");

    // A tracker that cannot be set up is this program's fault: no advice to export the file again.
    const std::string setUp = "cannot be analysed for its beats (the beat tracker could not be set up)";
    EXPECT_EQ(beatFailureCode(BeatFailure::SetUp), 8);
    EXPECT_EQ(beatFailureSentence(BeatFailure::SetUp, setUp).find("export"), std::string::npos);
    EXPECT_NE(beatFailureSentence(BeatFailure::SetUp, setUp).find("report it"), std::string::npos);
}

}  // namespace
