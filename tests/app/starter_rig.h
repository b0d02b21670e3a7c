// A scratch folder with a stand-in engine, a private TMPDIR and a short
// recording: the set-up of the tests that run the sonoscriptor command, and
// the one way they start it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "app/starter/protocol/settings_file.h"
#include "tests/app/support.h"

struct StarterRig : ::testing::Test {
    ScratchDir dir;
    std::string engine, tmp, song;

    void SetUp() override {
        engine = writeFakeEngine(dir.path);
        tmp = dir.path + "tmp/";
        std::filesystem::create_directory(tmp);
        song = dir.path + "song.wav";
        ASSERT_TRUE(writeTones(song, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, testMelody(), 1.0));
    }

    // Starts the starter with the stand-in engine and the private TMPDIR, in the scratch folder.
    Spawned start(std::vector<std::string> args, std::vector<std::string> env = {}) {
        args.insert(args.begin(), {STARTER_PATH, "--engine", engine});
        env.push_back("TMPDIR=" + tmp);
        return spawnCommand(args, env, dir.path);
    }

    // Runs it to its end; a run that hangs is stopped after 60 s and gives -2.
    CommandResult run(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
        return waitCommandFor(start(args, env), 60);
    }

    // Whether the run removed every temporary file it made.
    bool leftNothingBehind() { return folderEntries(tmp).empty(); }

    // The settings the stand-in engine recorded (FAKE_RECORD=dir/record.txt) in the last run.
    SettingsList recorded() {
        SettingsList s;
        parseSettingsText(fileText(dir.path + "record.txt"), s);
        return s;
    }
};
