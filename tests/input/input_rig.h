// Shared set-up of the settings-and-input tests: a fixture that starts from
// the default settings and releases what the set-up and the frame reader
// leave open, the shared WAV writer under its input-test names, and a check for
// calls that end the run through the finish routine.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "input/input.h"
#include "tests/support/support.h"

namespace input_rig {

// The WAV writer of tests/support, under the names the input tests use.
using ::WavLayout;
using ::pcm16;
using ::wavBytes;

// The first field of a final status line for a code and detail ("-7.025").
inline std::string statusCode(int code, int detail) {
    char text[32];
    std::snprintf(text, sizeof text, "-%d.%03d", code, detail);
    return text;
}

// Closes and frees what the set-up and the frame reader leave behind.
inline void releaseInput() {
    if (inputFiles.wave) std::fclose(inputFiles.wave);
    if (inputFiles.tempo) std::fclose(inputFiles.tempo);
    inputFiles.wave = inputFiles.tempo = nullptr;
    std::free(inputFiles.frameBytes);
    inputFiles.frameBytes = nullptr;
    std::free(derived.allowedKeys);
    derived.allowedKeys = nullptr;
}

class InputTest : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        releaseInput();
        run = RunState{};
        resetSettings();
    }

    void TearDown() override {
        releaseInput();
        resetSettings();
        run = RunState{};
    }

    // Writes the settings text beside the other files and returns its path.
    std::string settingsFile(const std::string &text, const std::string &name = "settings.txt") {
        writeFile(dir.file(name), text);
        return dir.file(name);
    }

    // Runs the whole set-up on `wav` with the given extra settings lines.
    void setUp(const std::string &wav, const std::string &lines = "") {
        std::string text = "WaveFile=" + wav + "\nMidiFile=" + dir.file("out.mid") + "\n" + lines;
        setupAnalysis(settingsFile(text).c_str());
    }

    // A status file for a child that ends through the finish routine.
    std::string prepareFinishStatus() {
        run.statusPath = dir.file("finish-status.txt");
        std::remove(run.statusPath.c_str());
        return run.statusPath;
    }

    // First field of the final status line the child wrote.
    static std::string finishedWith(const std::string &statusPath) {
        std::string line = readFile(statusPath);
        return line.substr(0, line.find(','));
    }
};

}  // namespace input_rig

// Expects the statement to end the run through the finish routine with the
// code (exit code) and the detail (final status line).
#define EXPECT_FINISH(statement, code, detail)                                       \
    do {                                                                             \
        const std::string finishStatus_ = prepareFinishStatus();                    \
        EXPECT_EXIT(statement, ::testing::ExitedWithCode(code), "");                \
        EXPECT_EQ(finishedWith(finishStatus_), input_rig::statusCode(code, detail)); \
    } while (0)
