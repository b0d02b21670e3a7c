// Shared set-up of the benchmarks: a short WAV file and a settings file in a
// temporary folder, the engine's own set-up, working buffers and tables.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

#include "analysis/analysis.h"
#include "engine/engine.h"
#include "input/input.h"

namespace bench_setup {

inline void put(std::string &out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A 16-bit PCM file of `seconds` holding an A minor triad with a few
// harmonics each, the same on every channel.
inline void writeChordWav(const std::string &path, int rate, int channels, double seconds) {
    const double notes[] = {220.0, 261.63, 329.63};
    const size_t frames = static_cast<size_t>(rate * seconds);
    std::string data;
    data.reserve(frames * channels * 2);
    for (size_t i = 0; i < frames; ++i) {
        double v = 0;
        for (double f : notes)
            for (int h = 1; h <= 4; ++h) v += 2500.0 / h * std::sin(2 * M_PI * f * h * i / rate + h);
        const auto s = static_cast<int16_t>(std::lround(v));
        for (int c = 0; c < channels; ++c) put(data, static_cast<uint16_t>(s), 2);
    }
    std::string out = "RIFF";
    put(out, static_cast<uint32_t>(36 + data.size()), 4);
    out += "WAVEfmt ";
    put(out, 16, 4);
    put(out, 1, 2);
    put(out, channels, 2);
    put(out, rate, 4);
    put(out, rate * channels * 2, 4);
    put(out, channels * 2, 2);
    put(out, 16, 2);
    out += "data";
    put(out, static_cast<uint32_t>(data.size()), 4);
    out += data;
    std::ofstream(path, std::ios::binary) << out;
}

// The engine's set-up for a WAV file at `rate` Hz with `channels` channels and
// the given extra settings lines; buffers allocated and tables built.
class Run {
public:
    Run(int rate, int channels, const std::string &extraSettings = "") {
        char pattern[] = "/tmp/sonoscriptor-bench-XXXXXX";
        dir_ = mkdtemp(pattern);
        const std::string wave = dir_ + "/input.wav", settingsPath = dir_ + "/settings.txt";
        writeChordWav(wave, rate, channels, 6.0);
        std::ofstream(settingsPath) << "WaveFile=" << wave << "\nMidiFile=" << dir_ << "/output.mid\n" << extraSettings;
        run = RunState{};
        setupAnalysis(settingsPath.c_str());
        prepareRun();
        buildTriadTable();
        run.CurrentRow = 0;
    }
    ~Run() {
        closeRun(0);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

private:
    std::string dir_;
};

// The one set-up in use (the engine state is process-wide): a new one
// replaces the last when the input or the settings differ.
inline void use(int rate, int channels, const std::string &extraSettings = "") {
    static std::unique_ptr<Run> current;
    static std::string key;
    const std::string wanted = std::to_string(rate) + "/" + std::to_string(channels) + "/" + extraSettings;
    if (current && key == wanted) return;
    current.reset();
    current = std::make_unique<Run>(rate, channels, extraSettings);
    key = wanted;
}

}  // namespace bench_setup
