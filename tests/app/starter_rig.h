// A scratch folder with a stand-in engine, a private TMPDIR and a short
// recording: the set-up of the tests that run the sonoscriptor command.
#pragma once

#include <filesystem>
#include <string>

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

    // The settings the stand-in engine recorded (FAKE_RECORD=dir/record.txt) in the last run.
    SettingsList recorded() {
        SettingsList s;
        parseSettingsText(fileText(dir.path + "record.txt"), s);
        return s;
    }
};
