// The inner steps of the attack evidence, per hop: the long window's spectrum
// (window, FFTW, bin powers), its band levels of 88 keys x 6 partials (side by
// side sums and their decibels), the same for the few keys a probe reads, and
// the decibels of eight band energies. Each runs 6000 times a minute in the
// sweep (the long spectrum every LongEvery hops), and again where probes look.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "app/starter/refine/spectra.h"

namespace {

// A window's samples: a chord of three decaying harmonic tones.
std::vector<float> chordWindow(int size) {
    std::vector<float> x(size);
    for (int i = 0; i < size; ++i)
        for (double f0 : {220.0, 277.18, 329.63})
            for (int h = 1; h <= 6; ++h)
                x[i] += static_cast<float>(0.1 / h * std::sin(2 * M_PI * f0 * h * i / 44100));
    return x;
}

void BM_LongSpectrum(benchmark::State &state) {
    TransformPtr t = makeTransform(8192);
    std::vector<float> x = chordWindow(8192);
    for (auto _ : state) {
        spectrum(*t, x.data());
        benchmark::DoNotOptimize(t->power.data());
    }
    state.SetLabel("8192 samples: window, FFTW r2c, bin powers");
}
BENCHMARK(BM_LongSpectrum)->Unit(benchmark::kMicrosecond);

// The loudest bin power of a minute in memory (a tone struck every half second, its loudness
// swelling and fading over the minute): every fourth hop's bound, and the spectra of the windows
// whose bound reaches the loudest power found (before, all 1501 of them).
void BM_LoudestPower(benchmark::State &state) {
    std::vector<float> x(44100 * 60);
    for (size_t i = 0; i < x.size(); ++i) {
        double t = static_cast<double>(i) / 44100, struck = std::floor(t / 0.5), since = t - 0.5 * struck;
        double f0 = 220 * std::pow(2.0, static_cast<double>(static_cast<int>(struck) % 7) / 12);
        x[i] = static_cast<float>((0.6 + 0.4 * std::sin(t / 6)) * std::exp(-4 * since) * std::sin(2 * M_PI * f0 * since));
    }
    MonoSource source;
    source.memory = &x;
    source.total = static_cast<long>(x.size());
    source.peak = 1;
    TransformPtr t = makeTransform(8192);
    for (auto _ : state)
        benchmark::DoNotOptimize(loudestPower(*t, source, 441));
    state.SetLabel("60 s in memory, window 8192, every fourth hop of 441");
}
BENCHMARK(BM_LoudestPower)->Unit(benchmark::kMillisecond);

// Band levels of every key (range 0) or of four keys (range 1) from one spectrum of range(1) samples.
void BM_BandLevels(benchmark::State &state) {
    int size = static_cast<int>(state.range(0));
    TransformPtr t = makeTransform(size);
    BandTable table = bandTable(size, 44100, 440);
    std::vector<float> x = chordWindow(size), levels(BandsPerHop);
    spectrum(*t, x.data());
    bool wanted[PitchCount] = {};
    for (int p : {36, 48, 55, 60})
        wanted[p - LowestPitch] = true;
    bool some = state.range(1) != 0;
    for (auto _ : state) {
        bandLevels(*t, table, 1e3, levels.data(), some ? wanted : nullptr);
        benchmark::DoNotOptimize(levels.data());
    }
    state.SetLabel(std::to_string(size) + " samples, " + (some ? "4 keys (a probe's)" : "88 keys"));
}
BENCHMARK(BM_BandLevels)->Args({2048, 0})->Args({8192, 0})->Args({8192, 1})->Unit(benchmark::kMicrosecond);

void BM_Decibels(benchmark::State &state) {
    double x[8] = {1e-4, 3e-3, 0.5, 1, 2.5, 7e-2, 1e-1, 0.9};
    float out[8];
    for (auto _ : state) {
        decibels(x, out);
        benchmark::DoNotOptimize(out);
        x[0] += 1e-9;
    }
    state.SetLabel("8 band energies");
}
BENCHMARK(BM_Decibels);

}  // namespace
