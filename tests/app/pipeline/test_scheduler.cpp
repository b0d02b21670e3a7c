// The scheduler and the stages around the engine: several files are
// prepared at once, the long passes through the audio say how far they
// have got, and the engine runs outside the terminal's process group.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include <sndfile.h>

#include "app/starter/audio/audio.h"
#include "app/starter/audio/progress.h"
#include "app/starter/beats/beats.h"
#include "app/starter/pipeline/pipeline.h"
#include "tests/app/starter_rig.h"
#include "tests/app/support.h"

namespace {

using Clock = std::chrono::steady_clock;

// A steady beat of alternating notes, two a second, for seconds.
std::vector<ToneNote> steadyBeat(double seconds) {
    std::vector<ToneNote> notes;
    for (int i = 0; i < seconds * 2; ++i)
        notes.push_back({i % 2 ? 60 : 67, i * 0.5, 0.4});
    return notes;
}

// When each file entered each stage, as the workers report it.
struct StageTimes {
    std::mutex lock;
    std::map<std::pair<size_t, Stage>, Clock::time_point> at;

    void note(size_t index, Stage stage) {
        std::lock_guard<std::mutex> guard(lock);
        at[{index, stage}] = Clock::now();
    }
    // True when the beat finding of the two files ran at the same time.
    bool beatFindingOverlaps() {
        auto begin = [&](size_t i) { return at.at({i, Stage::FindingBeats}); };
        auto end = [&](size_t i) { return at.at({i, Stage::Done}); };
        return begin(0) < end(1) && begin(1) < end(0);
    }
};

struct Scheduler : StarterRig {
    // Lists the beats of two recordings with jobs workers; the stage times go to times.
    int listBeats(int jobs, StageTimes &times) {
        RunPlan plan;
        for (const char *name : {"a.wav", "b.wav"})
            plan.files.push_back(FilePlan{dir.path + name, "", "", true});
        plan.jobs = jobs;
        plan.beatsOnly = true;
        plan.quiet = true;
        testing::internal::CaptureStdout();
        int code = runBatch(plan, [&](size_t index, Stage stage) { times.note(index, stage); });
        std::string listings = testing::internal::GetCapturedStdout();
        EXPECT_EQ(std::count(listings.begin(), listings.end(), '#'), 2) << listings;
        return code;
    }
};

}  // namespace

TEST_F(Scheduler, TwoWorkersFindTheBeatsOfTwoFilesAtOnce) {
    for (const char *name : {"a.wav", "b.wav"})
        ASSERT_TRUE(writeTones(dir.path + name, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, steadyBeat(40), 40));
    StageTimes one, two;
    ASSERT_EQ(listBeats(1, one), 0);
    ASSERT_EQ(listBeats(2, two), 0);
    EXPECT_FALSE(one.beatFindingOverlaps()) << "one worker takes the files one after the other";
    EXPECT_TRUE(two.beatFindingOverlaps());
}

TEST_F(Scheduler, ConversionAndBeatFindingSayHowFarTheyHaveGot) {
    std::string flac = dir.path + "song.flac", wave = dir.path + "converted.wav", error;
    ASSERT_TRUE(writeTones(flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 2, steadyBeat(20), 20));
    std::atomic<double> fraction{0};
    setProgressSink(&fraction);
    ASSERT_EQ(convertForEngine(flac, wave, nullptr, error), Conversion::Done) << error;
    EXPECT_GT(fraction.load(), 0.9);
    fraction = 0;
    BeatTrack track;
    ASSERT_TRUE(trackBeats(wave, 0, 0, track, nullptr, error)) << error;
    EXPECT_GT(fraction.load(), 0.9);
    setProgressSink(nullptr);
}

// Workers check the outputs of several files in one folder at the same moment.
TEST_F(Scheduler, OutputsInOneFolderAreCheckedAtOnce) {
    RunPlan plan;
    std::atomic<int> refused{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w)
        workers.emplace_back([&, w] {
            for (int i = 0; i < 200; ++i) {
                if (checkOutput(dir.path + std::to_string(w) + ".mid", plan).kind != FailureKind::None)
                    ++refused;
            }
        });
    for (std::thread &t : workers)
        t.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(folderEntries(dir.path), (std::vector<std::string>{"fake-engine", "song.wav", "tmp"}));
}

// A Ctrl-C on the terminal goes to its foreground process group: the starter's, not the engine's.
TEST_F(Scheduler, TheEngineRunsInAProcessGroupOfItsOwn) {
    std::string wrapper = dir.path + "grouped-engine";
    writeText(wrapper, "#!/bin/sh\nread -r pid name state parent group rest < /proc/$$/stat\n"
                       "echo \"$pid $group\" > \"$GROUP_FILE\"\nexec '" + engine + "' \"$@\"\n");
    std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    Spawned s = spawnCommand({STARTER_PATH, "--engine", wrapper, "--tempo", "90", "song.wav"},
                             {"TMPDIR=" + tmp, "GROUP_FILE=" + dir.path + "group.txt"}, dir.path);
    CommandResult r = waitCommandFor(s, 20);
    ASSERT_EQ(r.code, 0) << r.err;
    long pid = 0, group = 0;
    ASSERT_EQ(std::sscanf(fileText(dir.path + "group.txt").c_str(), "%ld %ld", &pid, &group), 2);
    EXPECT_EQ(group, pid) << "the engine leads a group of its own";
    EXPECT_NE(group, static_cast<long>(s.pid)) << "spawnCommand makes the starter lead its group";
}

// The shares of the stages a job runs add up to the whole file, in order, each by its measured
// cost; a stage whose reports lag moves on by time, ever more slowly, and never past its end.
TEST(ProgressShare, StagesShareTheWholeFileByTheirCost) {
    FilePlan file;
    RunPlan plan;
    plan.tempoChoice = TempoChoice::Track;
    double lastEnd = 0;
    JobProgress p;
    for (Stage s : {Stage::Checking, Stage::Converting, Stage::FindingBeats, Stage::WritingSettings,
                    Stage::RunningEngine, Stage::Refining, Stage::Settling}) {
        planStageShare(file, plan, 180, false, s, p);
        EXPECT_NEAR(p.before, lastEnd, 1e-12) << int(s);
        lastEnd = p.before + p.span;
    }
    EXPECT_NEAR(lastEnd, 1.0, 1e-12);
    planStageShare(file, plan, 180, false, Stage::Refining, p);
    EXPECT_GT(p.span, 0.3) << "refining costs most";
    plan.raw = true;
    planStageShare(file, plan, 180, false, Stage::Refining, p);
    EXPECT_EQ(p.span, 0.0);
    EXPECT_NEAR(p.before, 1.0, 0.01);
    double previous = 0.2;
    for (double t = 0.05; t < 20; t += 0.05) {
        double share = fileShare(0.2, 0.5, 0, t, 2);
        if (t < 4) {
            EXPECT_GT(share, previous) << t;  // moving on up to twice the expected time
        }
        EXPECT_GE(share, previous) << t;
        EXPECT_LE(share, 0.7) << t;
        previous = share;
    }
    EXPECT_GT(previous, 0.69);
    EXPECT_DOUBLE_EQ(fileShare(0.2, 0.5, 0.8, 0.1, 2), 0.6) << "a report ahead of the time counts";
    EXPECT_DOUBLE_EQ(fileShare(0.2, 0.5, 0, 1, 2), 0.45) << "half the expected time: half the stage";
}
