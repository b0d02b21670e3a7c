// The stages' seams: a stage given values, checked on the value it returns. What writing the
// settings returns must be what the engine reads in the files it wrote (read here with the
// engine's own line reader and tempo-file reader), so that no later stage reads them back;
// a failure is a kind with its cause, and only the command line makes its sentence.
#include <gtest/gtest.h>

#include <filesystem>

#include <sndfile.h>

#include "app/starter/cli/failures.h"
#include "app/starter/cli/run_plan.h"
#include "app/starter/pipeline/stages.h"
#include "app/starter/protocol/engine_process.h"
#include "app/starter/protocol/status.h"
#include "app/starter/protocol/settings_check.h"
#include "input/input.h"
#include "tests/app/support.h"

namespace {

// The engine's reading of a settings file it would be given.
Settings engineFileReading(const std::string &path) {
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
    std::string input;
    EngineAudio audio;
    RunPlan plan;

    void SetUp() override {
        input = dir.file("take.wav");
        ASSERT_TRUE(writeTones(input, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, testMelody(), 12));
        audio.wave = input;
        plan.dataDir = dir.path + "/";
        ask({});
    }

    // The plan of these settings over the starter's defaults.
    void ask(const SettingsList &asked) {
        SettingsList settings = starterDefaults();
        for (const SettingsEntry &e : asked)
            setSetting(settings, e.key, e.value);
        readPlanSettings(settings, plan);
    }

    // Writes the settings of the beats found; the stage's value, checked against the engine's reading.
    EngineFiles written(const BeatsFound &beats, const TuningFound &tuning = {}) {
        Staged<EngineFiles> r = stageWriteSettings(audio, beats, plan, dir.path + "/", tuning);
        EXPECT_TRUE(r.ok()) << failureSentence(r.failure);
        const EngineFiles &f = r.value;
        Settings read = engineFileReading(f.settingsPath);
        EXPECT_TRUE(sameSettings(f.settings.engine, read)) << f.settings.text;
        EXPECT_EQ(f.tempoPath, read.TempoFile);
        return f;
    }

    // A tempo plan that follows beats 0.6 s apart from a downbeat 0.3 s before the audio.
    static BeatsFound trackedBeats() {
        BeatsFound beats;
        beats.ran = true;
        TempoPlan &plan = beats.tempo;
        plan.tracked = true;
        plan.tempo = 99.86;
        plan.startPoint = -0.3;
        plan.endPoint = 11.5;
        plan.numerator = 3;
        plan.denominatorPower = 2;
        plan.map = {600, 600, 601, 599, TempoMapEnd};
        return beats;
    }
};

TEST_F(StageValues, TrackedBeatsHandOnWhatTheEngineReads) {
    EngineFiles f = written(trackedBeats());
    EXPECT_EQ(f.tempoMap, engineTempoValues(f.tempoPath));
    EXPECT_EQ(f.tempoMap, (std::vector<uint16_t>{600, 600, 601, 599}));
    EXPECT_LE(f.settings.region.start, 0);  // the grid starts on the downbeat before the audio
    EXPECT_EQ(f.settings.region.end, 11.5);
    EXPECT_EQ(f.settings.engine.TimeSignatureNumerator, 3);
    EXPECT_EQ(f.settings.engine.Tempo, 99.86);
}

TEST_F(StageValues, TheRegionAndMapAskedForAreHandedOnAsTheEngineReadsThem) {
    // An end asked for stays; a given tempo map is followed as it is.
    std::string map = dir.file("given.map");
    ASSERT_TRUE(writeTempoMap(map, {500, 520, TempoMapEnd}));
    ask({{"EntireWave", "0"}, {"StartPoint", "1.25"}, {"EndPoint", "9.5"}, {"Tempo", "96.5"}, {"TempoFile", map}});
    ASSERT_EQ(plan.tempoChoice, TempoChoice::Map);
    EngineFiles f = written(BeatsFound{});
    EXPECT_EQ(f.settings.region.start, 1.25);
    EXPECT_EQ(f.settings.region.end, 9.5);
    EXPECT_EQ(f.tempoMap, (std::vector<uint16_t>{500, 520}));

    // The tracked plan ends the region where the beats were tracked, unless an end was asked for.
    ask({{"StartPoint", "1.25"}, {"EntireWave", "0"}});
    EXPECT_EQ(written(trackedBeats()).settings.region.end, 11.5);
    ask({{"StartPoint", "1.25"}, {"EndPoint", "9.5"}, {"EntireWave", "0"}});
    EXPECT_EQ(written(trackedBeats()).settings.region.end, 9.5);
}

TEST_F(StageValues, WholeFileAndNoTempoAreTheEngineDefaults) {
    ask({{"EntireWave", "1"}, {"StartPoint", "3"}});
    EngineFiles f = written(BeatsFound{});
    EXPECT_EQ(f.settings.region.start, 0);
    EXPECT_EQ(f.settings.region.end, 0);
    EXPECT_EQ(f.settings.engine.Tempo, 120);
    EXPECT_TRUE(f.tempoPath.empty());
    EXPECT_TRUE(f.tempoMap.empty());
}

TEST_F(StageValues, TheEngineHearsTheRecordingAtItsOwnTuningUnlessAPitchIsAsked) {
    // The take at A = 440 Hz keeps the engine's default.
    TuningFound tuning = stageTuning(audio, plan);
    EXPECT_EQ(tuning.referencePitch, 440);
    EXPECT_EQ(written(BeatsFound{}, tuning).settings.engine.ReferencePitch, 440);
    // Fifteen cents flat: the engine and the attack evidence take A = 436 Hz.
    std::vector<ToneNote> flat = testMelody();
    for (ToneNote &n : flat)
        n.cents = -15;
    ASSERT_TRUE(writeTones(input, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, flat, 12));
    tuning = stageTuning(audio, plan);
    EXPECT_TRUE(tuning.measured);
    EXPECT_EQ(tuning.referencePitch, 436);
    EngineFiles f = written(BeatsFound{}, tuning);
    EXPECT_EQ(f.settings.engine.ReferencePitch, 436);
    EXPECT_NE(f.settings.text.find("ReferencePitch=436"), std::string::npos) << f.settings.text;
    // A reference asked for, or an instrument's records, are taken as they are.
    ask({{"ReferencePitch", "441"}});
    EXPECT_EQ(stageTuning(audio, plan).referencePitch, 440);
    EXPECT_EQ(written(BeatsFound{}, stageTuning(audio, plan)).settings.engine.ReferencePitch, 441);
    ask({{"Filter", "0"}});
    EXPECT_FALSE(stageTuning(audio, plan).measured);
}

TEST_F(StageValues, TheCheckHandsOnTheAudioOrWhyItEnds) {
    plan.beatsOnly = true;  // no outputs to check
    Staged<Workspace> checked = stageCheck(FilePlan{input, "", "", true}, plan);
    ASSERT_TRUE(checked.ok()) << failureSentence(checked.failure);
    EXPECT_EQ(checked.value.source, input);
    EXPECT_NEAR(checked.value.audio.seconds, 12, 1e-9);
    Staged<EngineAudio> converted = stageConvert(checked.value);
    EXPECT_TRUE(converted.ok());
    EXPECT_EQ(converted.value.wave, input);  // a 16-bit WAV is read as it is
    removeTempDir(checked.value.tempDir);

    // A start past the end is a failure with both times; the sentence is the command line's.
    ask({{"EntireWave", "0"}, {"StartPoint", "20"}});
    checked = stageCheck(FilePlan{input, "", "", true}, plan);
    removeTempDir(checked.value.tempDir);
    ASSERT_EQ(checked.failure.kind, FailureKind::StartBeyondEnd);
    EXPECT_EQ(checked.failure.start, 20);
    EXPECT_NEAR(checked.failure.length, 12, 1e-9);
    EXPECT_EQ(failureCode(checked.failure), 9);
    EXPECT_EQ(failureSentence(checked.failure), "The start 20 s lies beyond the end of the recording, which is 12 s "
                                                "long; give --start a time before its end.");
}

TEST_F(StageValues, TheCheckSaysWhyAFileIsNoAudio) {
    plan.beatsOnly = true;
    // What examined the audio hands on a kind; the command line's sentences are those of before.
    auto refusal = [&](const std::string &path) {
        Staged<Workspace> checked = stageCheck(FilePlan{path, "", "", true}, plan);
        removeTempDir(checked.value.tempDir);
        EXPECT_EQ(failureCode(checked.failure), 4) << path;
        return checked.failure;
    };
    writeText(dir.file("notes.wav"), std::string(5000, 'x'));
    Failure f = refusal(dir.file("notes.wav"));
    ASSERT_EQ(f.kind, FailureKind::NotAudio);
    EXPECT_EQ(failureSentence(f), "The file is not audio that can be read (" + f.cause + "); give a WAV, FLAC or "
                                  "Ogg recording.");
    ASSERT_TRUE(writeTones(dir.file("empty.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, {}, 0));
    EXPECT_EQ(failureSentence(refusal(dir.file("empty.wav"))), "The file holds no audio; give a WAV, FLAC or Ogg "
                                                               "recording.");
    ASSERT_TRUE(writeTones(dir.file("slow.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 500, 1, {}, 1));
    EXPECT_EQ(failureSentence(refusal(dir.file("slow.wav"))),
              "The file claims a sample rate of 500 Hz, outside the 1000 to 768000 Hz of real recordings (is its "
              "header damaged?); give a WAV, FLAC or Ogg recording.");
}

TEST_F(StageValues, OnlyAFileThatCannotBeReadIsSentBackToBeExported) {
    audio.wave = dir.file("text.wav");
    writeText(audio.wave, "not audio at all");
    Staged<BeatsFound> found = stageFindBeats(audio, plan);
    ASSERT_EQ(found.failure.kind, FailureKind::BeatsUnreadable);
    EXPECT_EQ(failureCode(found.failure), 4);
    EXPECT_EQ(failureSentence(found.failure), "The file cannot be read for its beats (" + found.failure.cause +
                                              "); export it as a WAV, FLAC or Ogg file.");

    // A tracker or spectrum that cannot be set up is this program's fault: no advice to export the
    // file again, and the failure carries no words of a lower layer.
    for (BeatFailure kind : {BeatFailure::TrackerSetUp, BeatFailure::SpectrumSetUp}) {
        Failure setUp = beatFailure(audio.wave, kind, "");
        EXPECT_EQ(failureCode(setUp), 8);
        EXPECT_EQ(failureSentence(setUp).find("export"), std::string::npos);
        EXPECT_NE(failureSentence(setUp).find("report it"), std::string::npos);
    }
    // So is a resampler that cannot be set up for a rate the check let through (it was worded as
    // a file to export again, with exit code 4).
    Failure resampler = failureOf(FailureKind::Unresampled, audio.wave, "invalid rate");
    EXPECT_EQ(failureCode(resampler), 8);
    EXPECT_EQ(failureSentence(resampler), "The file cannot be resampled (invalid rate); this is a fault of "
                                          "sonoscriptor, not of the file: please report it with the recording.");
    EXPECT_EQ(failureSentence(beatFailure(audio.wave, BeatFailure::TrackerSetUp, "")),
              "The file cannot be analysed for its beats (the beat tracker could not be set up); this is a fault of "
              "sonoscriptor, not of the file: please report it with the recording, or give the tempo with --tempo.");
}

}  // namespace

namespace {

TEST_F(StageValues, TheMetreFromNotesRunsTheEngineFirstAlongTheTrackedBeats) {
    plan.enginePath = ENGINE_PATH;
    plan.dataDir = std::string(SOURCE_DIR) + "/data/";
    Staged<BeatsFound> plain = stageFindBeats(audio, plan, dir.path + "/");
    ASSERT_TRUE(plain.ok());
    ASSERT_TRUE(plain.value.tempo.tracked);
    EXPECT_FALSE(std::filesystem::exists(dir.file("first-out.mid")));
    plan.metreFromNotes = true;
    Staged<BeatsFound> found = stageFindBeats(audio, plan, dir.path + "/");
    ASSERT_TRUE(found.ok());
    // The engine ran along the tracked beats and wrote notes; the plan still follows those beats.
    EXPECT_TRUE(std::filesystem::exists(dir.file("first-out.mid")));
    EXPECT_TRUE(found.value.tempo.tracked);
    EXPECT_FALSE(found.value.tempo.beats.empty());
    // Without a folder for it, no first run.
    Staged<BeatsFound> without = stageFindBeats(audio, plan);
    EXPECT_EQ(without.value.tempo.beats, plain.value.tempo.beats);
}

}  // namespace

// How an engine run ended, told from its exit code and its status file's last line. A cancel request
// written just as the engine wrote its final line takes that line's place; the engine had ended with
// success and its MIDI file is whole, so the run goes on with it rather than blame the engine.
TEST(EngineEnding, TellsEachWayAnEngineEnds) {
    StatusLine success = parseStatus("100,48,72,0,0");
    StatusLine failure = parseStatus("-3.015,128,-1,8,0");
    StatusLine cancelRequest = parseStatus("-1");
    StatusLine progress = parseStatus("42.5,48,72,8,0");
    ASSERT_EQ(success.kind, StatusKind::Success);
    ASSERT_EQ(cancelRequest.kind, StatusKind::Control);
    EXPECT_EQ(engineEnding(0, false, success, true, false), FailureKind::None);
    EXPECT_EQ(engineEnding(0, false, success, false, false), FailureKind::NoEngineMidi);
    EXPECT_EQ(engineEnding(1, false, failure, true, true), FailureKind::None);  // cancelled part-way
    // Cancelled with no cancel asked: the status file was removed under the engine.
    EXPECT_EQ(engineEnding(1, false, failure, true, false), FailureKind::EngineStoppedUnasked);
    EXPECT_EQ(engineEnding(3, false, failure, false, false), FailureKind::EngineCode);
    EXPECT_EQ(engineEnding(42, false, StatusLine{}, false, false), FailureKind::UnknownEngineCode);
    EXPECT_EQ(engineEnding(137, true, progress, false, true), FailureKind::EngineSignalled);
    // An engine that never took the launch token leaves the starter's own lines.
    EXPECT_EQ(engineEnding(0, false, StatusLine{}, false, false), FailureKind::NoLaunchToken);
    EXPECT_EQ(engineEnding(0, false, progress, true, false), FailureKind::NoLaunchToken);
    EXPECT_EQ(engineEnding(0, false, cancelRequest, true, false), FailureKind::NoLaunchToken);
    // The cancel request in place of the final line of an engine that ended with success.
    EXPECT_EQ(engineEnding(0, false, cancelRequest, true, true), FailureKind::None);
    EXPECT_EQ(engineEnding(0, false, cancelRequest, false, true), FailureKind::NoEngineMidi);
}
