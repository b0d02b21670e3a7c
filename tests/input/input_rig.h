// Shared set-up of the settings-and-input tests: a fixture that starts from
// the default settings and releases what the set-up and the frame reader
// leave open, a WAV byte builder for hand-made headers, and a check for
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

inline void put16(std::string &out, uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

inline void put32(std::string &out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// Header fields of a hand-made WAV file.
struct WavLayout {
    int rate = 11025;
    int channels = 1;
    int bits = 16;
    int formatTag = 1;
    std::string riff = "RIFF";
    std::string waveFmt = "WAVEfmt ";
    int64_t riffSize = -1;    // -1: the size a correct writer puts there
    std::string extraChunk;   // bytes between the format chunk and "data"
};

// The whole file: 36-byte RIFF/format part, extraChunk, "data", its size, data.
inline std::string wavBytes(const WavLayout &w, const std::string &data) {
    const int align = w.channels * w.bits / 8;
    std::string out = w.riff;
    const uint32_t size = w.riffSize >= 0 ? static_cast<uint32_t>(w.riffSize)
                                          : static_cast<uint32_t>(36 + w.extraChunk.size() + data.size());
    put32(out, size);
    out += w.waveFmt;
    put32(out, 16);
    put16(out, static_cast<uint32_t>(w.formatTag));
    put16(out, static_cast<uint32_t>(w.channels));
    put32(out, static_cast<uint32_t>(w.rate));
    put32(out, static_cast<uint32_t>(w.rate * align));
    put16(out, static_cast<uint32_t>(align));
    put16(out, static_cast<uint32_t>(w.bits));
    out += w.extraChunk;
    out += "data";
    put32(out, static_cast<uint32_t>(data.size()));
    out += data;
    return out;
}

// Data bytes of 16-bit samples.
inline std::string pcm16(const std::vector<int> &samples) {
    std::string out;
    for (int s : samples) put16(out, static_cast<uint32_t>(s) & 0xFFFF);
    return out;
}

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
