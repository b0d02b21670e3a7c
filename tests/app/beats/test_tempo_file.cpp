// The tempo files the starter reads back against the engine following them:
// random files give the starter the values the engine spaces its frames by.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "app/starter/beats/beats.h"
#include "engine/engine.h"
#include "input/input.h"
#include "tests/app/support.h"

namespace {

// The fixed hop of the frames when no tempo value applies; no tempo value advances by it.
constexpr double FixedHop = 0.25;

// The tempo values the engine's frame loop takes from the file: one per frame (one frame
// per beat, one sample per millisecond), until the frames fall back to the fixed hop.
std::vector<uint16_t> valuesTheEngineFollows(const std::string &path, size_t limit) {
    settings.TempoFile = path;
    settings.VirtualSR = 1000;
    derived.framesPerBeat = 1;
    derived.samplesPerFrame = FixedHop;
    openTempoFile();
    std::vector<uint16_t> values;
    if (!inputFiles.tempo) return values;
    run = RunState{};
    run.tempoPace.framesSinceValue = derived.frameTempo.framesPerValue;
    for (size_t frame = 0; frame <= limit; ++frame) {
        const double before = run.framePosition;
        advanceFramePosition();
        const double advance = run.framePosition - before;
        if (advance == FixedHop) break;
        values.push_back(static_cast<uint16_t>(advance));
    }
    std::fclose(inputFiles.tempo);
    inputFiles.tempo = nullptr;
    settings.TempoFile.clear();
    return values;
}

// Random bytes, often with an end marker inside and often of odd length.
std::string randomTempoFile(std::mt19937 &random) {
    std::uniform_int_distribution<int> length(0, 24), byte(0, 255), coin(0, 3);
    std::string bytes;
    for (int n = length(random); n > 0; --n) bytes.push_back(static_cast<char>(coin(random) == 0 ? 0xFF : byte(random)));
    if (coin(random) == 0) bytes.insert(bytes.size() / 2 & ~size_t{1}, "\xFF\xFF", 2);
    return bytes;
}

TEST(TempoFile, TheStarterReadsTheValuesTheEngineFollows) {
    ScratchDir dir;
    const std::string path = dir.path + "tempo.bin";
    std::mt19937 random(14);
    for (int round = 0; round < 300; ++round) {
        const std::string bytes = randomTempoFile(random);
        writeText(path, bytes);
        std::vector<uint16_t> starter;
        ASSERT_TRUE(readTempoMap(path, starter));
        EXPECT_EQ(starter, valuesTheEngineFollows(path, bytes.size())) << "round " << round;
    }
}

TEST(TempoFile, WhatTheEngineDoesNotOpenTheStarterDoesNotRead) {
    ScratchDir dir;
    std::vector<uint16_t> values{1, 2};
    EXPECT_FALSE(readTempoMap(dir.path + "missing.bin", values));
    EXPECT_TRUE(values.empty());
    EXPECT_FALSE(readTempoMap(dir.path, values)) << "a folder";
    EXPECT_TRUE(valuesTheEngineFollows(dir.path, 4).empty());
}

}  // namespace
