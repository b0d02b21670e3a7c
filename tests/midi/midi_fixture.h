// Shared fixture of the MIDI output tests: the writer on a temporary file,
// hand-set settings and derived values, a reader of the track body and a
// stream that fails after a given number of bytes.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "input/input.h"
#include "midi/midi.h"
#include "tests/support/support.h"

// One event of a track body, with its absolute time in ticks.
using BodyEvent = TrackEvent;

// Events of a track body (running status resolved). Only the event kinds the
// writer produces are understood; anything else fails the test.
inline std::vector<BodyEvent> parseBody(const std::string &d) {
    std::string problem;
    std::vector<BodyEvent> events = readTrackEvents(d, problem);
    if (!problem.empty()) ADD_FAILURE() << problem;
    for (const BodyEvent &e : events) {
        if (e.type == 0xFF && e.meta != 0x06) ADD_FAILURE() << "unexpected meta event at tick " << e.tick;
        if (e.type == 0xC0) ADD_FAILURE() << "unexpected program change at tick " << e.tick;
    }
    return events;
}

inline std::vector<BodyEvent> noteEvents(const std::vector<BodyEvent> &all) {
    std::vector<BodyEvent> notes;
    for (const BodyEvent &e : all)
        if (e.type == 0x80 || e.type == 0x90) notes.push_back(e);
    return notes;
}

// Compact form of note events for comparisons: "on 60 @0 v15".
inline std::string describeEvents(const std::vector<BodyEvent> &events) {
    std::string out;
    for (const BodyEvent &e : events) {
        if (!out.empty()) out += ", ";
        if (e.type == 0xFF)
            out += "marker " + e.text + " @" + std::to_string(e.tick);
        else
            out += std::string(e.type == 0x90 ? "on " : "off ") + std::to_string(e.note) + " @" +
                   std::to_string(e.tick) + " v" + std::to_string(e.velocity);
    }
    return out;
}

inline std::string hexBytes(const std::string &d) {
    std::string out;
    char part[4];
    for (unsigned char c : d) {
        std::snprintf(part, sizeof part, "%02X ", c);
        out += part;
    }
    return out;
}

inline std::string bytesOf(std::initializer_list<int> list) {
    std::string out;
    for (int b : list) out.push_back(static_cast<char>(b));
    return out;
}

// A stream whose writes succeed for `limit` bytes in all and then fail (as on
// a full disk); optional failures of seeking and closing.
struct FailingSink {
    size_t limit;
    size_t written = 0;
    bool canSeek = true;
    bool closeFails = false;
};

inline FILE *openFailingStream(FailingSink &sink, bool buffered) {
    cookie_io_functions_t io{};
    io.write = [](void *cookie, const char *, size_t size) -> ssize_t {
        FailingSink &s = *static_cast<FailingSink *>(cookie);
        if (s.written >= s.limit) {
            errno = ENOSPC;
            return 0;
        }
        size_t taken = std::min(size, s.limit - s.written);
        s.written += taken;
        return static_cast<ssize_t>(taken);
    };
    if (sink.canSeek)
        io.seek = [](void *, off64_t *position, int) -> int {
            *position = 0;
            return 0;
        };
    io.close = [](void *cookie) -> int { return static_cast<FailingSink *>(cookie)->closeFails ? -1 : 0; };
    FILE *file = fopencookie(&sink, "w", io);
    if (file && !buffered) std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

// Settings and derived values of a 44100 Hz mono 16-bit input, as the set-up
// leaves them for the given grid and tempo.
inline void setTimeBase(float resolution, int denominator, int numerator, double tempo, float speedPercent,
                        int sensitivity = 1) {
    Settings &s = settings;
    Derived &d = derived;
    s.Rate = s.VirtualSR = 44100;
    s.Tracks = 1;
    s.BitsPerSample = 16;
    d.inputStride = 2;
    s.Resolution = resolution;
    s.TimeSignatureDenominator = denominator;
    s.TimeSignatureNumerator = numerator;
    s.Tempo = tempo;
    s.Sensitivity = sensitivity;
    d.beatsPerSecond = tempo * 0.016666666666666666;
    d.framesPerStep = 1 << sensitivity;
    d.framesPerBeat = std::pow(2.0, sensitivity + static_cast<double>(resolution)) / std::pow(2.0, denominator);
    d.samplesPerFrame = s.VirtualSR / (d.framesPerBeat * d.beatsPerSecond);
    d.stepsPerBar = static_cast<int>(std::pow(2.0, resolution) / std::pow(2.0, denominator) * numerator + 0.5);
    s.Speed = d.speedFactor = static_cast<float>(speedPercent * 0.01);
}

// Writer on a temporary file, settings as after a default set-up with
// velocities taken unscaled (gain factor 1).
class MidiOutputTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path;
    char chordName[4] = {};  // the block chord handed to the tracker and the writer

    // Sets the block chord (at most 3 characters, NUL-padded) and returns it.
    const char *chord(const char *name) {
        std::memset(chordName, 0, sizeof chordName);
        std::memcpy(chordName, name, strnlen(name, 3));
        return chordName;
    }

    void SetUp() override {
        resetSettings();
        run = RunState{};
        run.statusPath = dir.file("status.txt");
        settings.KeyMin = 24;
        settings.KeyMax = 96;
        settings.PitchMode = 16;
        settings.Channel = 0;
        settings.Patch = 0;
        settings.KeySignature = 8;
        settings.MinimumLength = 2;
        settings.Gain = derived.gainFactor = 1.0f;
        derived.fixedVelocity = 32;
        derived.rhythmNote = 60;
        derived.keyColumns = settings.KeyMax + 1;
        setTimeBase(3.0f, 2, 4, 120.0, 100.0f);
        path = dir.file("out.mid");
        settings.MidiFile = path;
        writer = WriterState{};
        writer.midi = std::fopen(path.c_str(), "wb");
        ASSERT_NE(writer.midi, nullptr);
        resetWriter();
    }

    void TearDown() override {
        if (writer.midi) std::fclose(writer.midi);
        writer.midi = nullptr;
        std::free(tracker.keys);
        tracker.keys = nullptr;
        resetSettings();
    }

    // Everything written so far.
    std::string written() {
        std::fflush(writer.midi);
        return readFile(path);
    }
};
