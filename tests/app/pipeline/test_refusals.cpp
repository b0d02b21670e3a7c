// Inputs and command lines the starter must refuse at once, without hanging,
// exhausting memory or losing a file: pipes, damaged headers, settings that
// would reach the engine as something else, outputs that appear meanwhile.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include <sndfile.h>
#include <sys/stat.h>

#include "tests/app/starter_rig.h"
#include "tests/app/support.h"

namespace fs = std::filesystem;

namespace {

// The starter's rig: runs with the stand-in engine and the private TMPDIR.
struct Refusals : StarterRig {};

TEST_F(Refusals, PipesAndDevicesAreNoInputsAndNoSettingsFiles) {
    ASSERT_EQ(mkfifo((dir.path + "pipe").c_str(), 0600), 0);
    CommandResult r = run({"pipe"});
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
    for (const std::string &settings : {dir.path + "pipe", std::string("/dev/zero")}) {
        r = run({"--settings", settings, "song.wav"});
        EXPECT_EQ(r.code, 9) << settings << r.err;
        EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
    }
    writeText(dir.path + "huge.txt", std::string(1500000, '\n') + "KeyMin=30\n");
    r = run({"--settings", "huge.txt", "song.wav"});
    EXPECT_EQ(r.code, 9);
    EXPECT_NE(r.err.find("larger than 1 MB"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir.path + "song.mid"));
}

TEST_F(Refusals, HeaderClaimingOneHertzIsRefusedWithinBoundedMemory) {
    ASSERT_TRUE(writeTones(dir.path + "one.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 1, {}, 20000));
    std::vector<std::string> args = {"/bin/sh", "-c", "exec \"$0\" \"$@\"", STARTER_PATH, "--engine", engine, "one.wav"};
#if !defined(__SANITIZE_ADDRESS__)
    args[2] = "ulimit -v 2000000 && " + args[2];  // 2 GB (AddressSanitizer needs more address space)
#endif
    CommandResult r = waitCommandFor(spawnCommand(args, {"TMPDIR=" + tmp}, dir.path), 20);
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.err.find("sample rate of 1 Hz"), std::string::npos) << r.err;
    EXPECT_EQ(folderEntries(tmp).size(), 0u);
}

// SIGTERM and SIGHUP stop a long conversion at once, like a second Ctrl-C.
TEST_F(Refusals, TerminationStopsAConversionAtOnce) {
    // 40 minutes at 1000 Hz: some seconds of conversion to 44100 Hz.
    ASSERT_TRUE(writeTones(dir.path + "long.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1000, 1, testMelody(), 2400));
    for (int sig : {SIGTERM, SIGHUP}) {
        Spawned s = start({"--tempo", "100", "long.wav"});
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        auto sent = std::chrono::steady_clock::now();
        kill(s.pid, sig);
        CommandResult r = waitCommandFor(s, 20);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
        EXPECT_EQ(r.code, 128 + sig) << r.err;
        EXPECT_LT(seconds, 2.0) << "signal " << sig;
        EXPECT_EQ(folderEntries(tmp).size(), 0u);
        EXPECT_FALSE(fs::exists(dir.path + "long.mid"));
    }
}

// Without --force an output that appears while the engine runs is kept, and the run fails.
TEST_F(Refusals, OutputCreatedDuringTheRunIsNotReplaced) {
    Spawned s = start({"song.wav"}, {"FAKE_STEPS=40", "FAKE_DELAY=0.05"});
    ASSERT_TRUE(waitForProgress(tmp, 10));
    writeText(dir.path + "song.mid", "someone else's");
    CommandResult r = waitCommandFor(s, 20);
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("appeared while"), std::string::npos) << r.err;
    EXPECT_EQ(fileText(dir.path + "song.mid"), "someone else's");
}

TEST_F(Refusals, ValuesThatWouldReadAsAnotherKeyOrBeCut) {
    CommandResult r = run({"--set", "Transpose=0MidiFile=x", "song.wav"});
    EXPECT_EQ(r.code, 9);
    EXPECT_NE(r.err.find("would read it as MidiFile"), std::string::npos) << r.err;
    r = run({"--set", "KeyMin=3" + std::string(300, '0'), "song.wav"});
    EXPECT_EQ(r.code, 9);
    EXPECT_NE(r.err.find("longer than the engine reads"), std::string::npos) << r.err;
    writeText(dir.path + "cut.txt", "ExePath=/" + std::string(300, 'x') + "/\n");
    r = run({"--settings", "cut.txt", "song.wav"});
    EXPECT_EQ(r.code, 9);
    EXPECT_NE(r.err.find("would be cut"), std::string::npos) << r.err;
    EXPECT_EQ(folderEntries(dir.path), (std::vector<std::string>{"cut.txt", "fake-engine", "song.wav", "tmp"}));
}

TEST_F(Refusals, TemposTheEngineCannotUse) {
    writeText(dir.path + "zero.map", std::string("\xf4\x01\x00\x00\xf4\x01", 6));  // 500, 0, 500 ms
    for (std::vector<std::string> args : {std::vector<std::string>{"--tempo", "12000000"}, {"--tempo", "3.5"},
                                          {"--set", "Tempo=1001"}, {"--tempo-map", "zero.map"}}) {
        args.push_back("song.wav");
        CommandResult r = run(args);
        EXPECT_EQ(r.code, 9) << args[0] << " " << args[1];
        EXPECT_TRUE(r.err.find("3.6 to 1000") != std::string::npos || r.err.find("lasts 0 ms") != std::string::npos)
            << r.err;
    }
    EXPECT_EQ(run({"--tempo", "1000", "song.wav"}).code, 0);
    EXPECT_EQ(run({"--tempo", "3.6", "--force", "song.wav"}).code, 0);
}

}  // namespace
