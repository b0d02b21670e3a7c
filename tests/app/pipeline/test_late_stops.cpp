// Stops and cancels that come late in a file's way: the exit code and the
// sentences say what was written. The run happens in this process as main
// runs it, and the stage watcher plays the signal's part at the moment under
// test, raising the signal that the starter's own handlers then take.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "app/starter/cli/run_plan.h"
#include "app/starter/pipeline/pipeline.h"
#include "tests/app/starter_rig.h"

namespace fs = std::filesystem;

namespace {

// A Ctrl-C and a SIGTERM, raised on the calling thread (a worker, or a thread of the test), as the
// system may deliver them to any thread.
void pressCtrlC() {
    raise(SIGINT);
}
void terminate() {
    raise(SIGTERM);
}

struct LateStops : StarterRig {
    std::string out, err;

    void SetUp() override {
        StarterRig::SetUp();
        installSignalHandlers();
    }

    void TearDown() override {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ})
            signal(sig, SIG_DFL);
        forgetSignals();
        unsetenv("TMPDIR");
    }

    // Clears the flags between two runs in one test.
    void forgetSignals() {
        interruptCount = 0;
        terminateSignal = 0;
        stopRequested = false;
    }

    // Runs a command line (names relative to the scratch folder) with one worker; when the file
    // of that index enters the stage `when`, act is called.
    int runAt(std::vector<std::string> args, size_t index, Stage when, const std::function<void()> &act) {
        args.insert(args.end(), {"--quiet", "-j", "1"});
        StarterOptions options;
        RunPlan plan;
        std::string error, data = SOURCE_DIR "/data/";
        EXPECT_TRUE(parseCommandLine(args, data, options, error)) << error;
        for (std::string &input : options.inputs)
            input = dir.path + input;
        if (!options.output.empty())
            options.output = dir.path + options.output;
        options.enginePath = engine;
        EXPECT_TRUE(buildRunPlan(options, data, plan, error)) << error;
        setenv("TMPDIR", tmp.c_str(), 1);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int code = runBatch(plan, [&](size_t i, Stage stage) {
            if (i == index && stage == when)
                act();
        });
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return code;
    }
};

}  // namespace

// SIGTERM after the file was written: the file is complete, and the run says so.
TEST_F(LateStops, ATerminationAfterTheOutputsArePlacedEndsAsTheRunDid) {
    int code = runAt({"song.wav", "--tempo", "100", "--format", "both"}, 0, Stage::Done, terminate);
    EXPECT_EQ(code, 0) << err;
    EXPECT_NE(out.find("2 notes written"), std::string::npos) << out;
    EXPECT_EQ(err.find("no MIDI file was written"), std::string::npos) << err;
    EXPECT_TRUE(fs::exists(dir.path + "song.mid"));
    EXPECT_TRUE(fs::exists(dir.path + "song.musicxml"));
    EXPECT_TRUE(leftNothingBehind());
}

// SIGTERM as the last stage begins: nothing is written, and the sentence counts that file; in a
// batch, the files not yet started are counted apart, and those written are reported.
TEST_F(LateStops, ATerminationBeforeTheOutputsArePlacedWritesNothingAndSaysSo) {
    int code = runAt({"song.wav", "--tempo", "100"}, 0, Stage::Settling, terminate);
    EXPECT_EQ(code, 128 + SIGTERM);
    EXPECT_NE(err.find("no MIDI file was written for the 1 file in progress"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir.path + "song.mid"));
    fs::copy_file(song, dir.path + "b.wav");
    fs::copy_file(song, dir.path + "c.wav");
    forgetSignals();
    code = runAt({"song.wav", "b.wav", "c.wav", "--tempo", "100"}, 0, Stage::Done, terminate);
    EXPECT_EQ(code, 128 + SIGTERM);
    EXPECT_NE(out.find("song.wav -> "), std::string::npos) << out;
    EXPECT_NE(err.find("stopped at once; 2 files were not started"), std::string::npos) << err;
    EXPECT_TRUE(fs::exists(dir.path + "song.mid"));
    EXPECT_FALSE(fs::exists(dir.path + "b.mid"));
    EXPECT_TRUE(leftNothingBehind());
}

// A Ctrl-C while the notes are refined: the engine's notes are written as they are, and the
// summary and the exit code say the run was cancelled.
TEST_F(LateStops, ACancelWhileRefiningSaysTheNotesAreNotRefined) {
    int code = runAt({"song.wav", "--tempo", "100"}, 0, Stage::Refining, pressCtrlC);
    EXPECT_EQ(code, 1) << err;
    EXPECT_NE(out.find("the refinement was cancelled; the MIDI file holds the engine's 2 notes, not refined"),
              std::string::npos) << out;
    EXPECT_TRUE(fs::exists(dir.path + "song.mid"));
    EXPECT_TRUE(leftNothingBehind());
}

// A Ctrl-C as soon as the engine has said it is at 0 %: the summary gives the audio its notes
// cover, not 0 %; and the cancel notice promises only what the stages under way deliver.
TEST_F(LateStops, ACancelSummaryStatesWhatTheFileHolds) {
    setenv("FAKE_STEPS", "400", 1);
    std::thread presser;
    int code = runAt({"song.wav", "--tempo", "100"}, 0, Stage::RunningEngine, [&] {
        presser = std::thread([this] {
            if (waitForProgress(tmp, 30))
                pressCtrlC();
        });
    });
    presser.join();
    unsetenv("FAKE_STEPS");
    EXPECT_EQ(code, 1) << err;
    EXPECT_NE(out.find("cancelled after 1.0 s of the audio; the MIDI file keeps the 2 notes"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("0.0 s of audio"), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(dir.path + "song.mid"));
    std::remove((dir.path + "song.mid").c_str());
    forgetSignals();
    code = runAt({"song.wav"}, 0, Stage::FindingBeats, pressCtrlC);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(err.find("notes found so far"), std::string::npos) << err;
    EXPECT_NE(err.find("no MIDI file was written"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir.path + "song.mid"));
    EXPECT_TRUE(leftNothingBehind());
}
