// The beat stage: a minute of 44100 Hz stereo audio read from a WAV file, its
// magnitude spectra, libaubio's beat tracker on their spectral flux, the onset
// strength and the metre's chroma and bass onsets (trackBeats). Its processor
// time per minute is what the default run spends finding the beats.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/starter/beats/beats.h"
#include "app/starter/metre/spectrum.h"
#include "bench/bench_setup.h"

namespace {

// The beat stage over a minute of audio with the onset strength `use`.
void beatStagePerMinute(benchmark::State &state, OnsetStrength use) {
    std::string path = "/tmp/sonoscriptor-beats-bench-" + std::to_string(getpid()) + ".wav";
    bench_setup::writeChordWav(path, 44100, 2, 60);
    size_t hops = 0;
    for (auto _ : state) {
        BeatTrack track;
        std::string error;
        if (!trackBeats(path, 0, 0, track, nullptr, error, nullptr, false, use))
            state.SkipWithError(error.c_str());
        hops = track.onsetStrength.size();
        benchmark::DoNotOptimize(track.beats.data());
    }
    std::remove(path.c_str());
    state.SetLabel("60 s of 44100 Hz 16-bit stereo WAV");
    state.counters["hops"] = static_cast<double>(hops);
}

void BM_BeatStagePerMinute(benchmark::State &state) { beatStagePerMinute(state, OnsetStrength::BandFluxOwnFloors); }
BENCHMARK(BM_BeatStagePerMinute)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// The same with the high-frequency content alone as the onset strength (the developer setting
// "hfc"): the band flux's cost is the difference.
void BM_BeatStageHighFrequencyPerMinute(benchmark::State &state) {
    beatStagePerMinute(state, OnsetStrength::HighFrequency);
}
BENCHMARK(BM_BeatStageHighFrequencyPerMinute)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// A hop's magnitude spectrum as the beat stage takes it: range(0) samples (1024: the tracker's
// window, every hop; 4096: the metre's, every other hop), Hann-windowed, FFTW's real-to-complex
// transform and the moduli of range(0) / 2 + 1 bins.
void BM_HopMagnitudes(benchmark::State &state) {
    unsigned size = static_cast<unsigned>(state.range(0));
    MagnitudeFollower f;
    if (!startMagnitudes(f, size, size == 1024)) {
        state.SkipWithError("no follower");
        return;
    }
    std::vector<smpl_t> x(size);
    for (unsigned i = 0; i < size; ++i)
        x[i] = static_cast<smpl_t>(0.3 * std::sin(0.05 * i) + 0.1 * std::sin(0.31 * i));
    pushSamples(f, x.data(), size);
    for (auto _ : state) {
        takeMagnitudes(f, size / 2 + 1);
        benchmark::DoNotOptimize(f.spectrum->norm);
    }
    state.SetLabel(std::to_string(size) + " samples: window, FFTW r2c, moduli");
}
BENCHMARK(BM_HopMagnitudes)->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond);

struct FftCloser {
    void operator()(aubio_fft_t *f) const { del_aubio_fft(f); }
};

// The same magnitudes from libaubio's FFT (FFTW's half-complex transform, then every bin's
// modulus and phase): what the beat stage took before.
void BM_LibaubioFftMagnitudes(benchmark::State &state) {
    unsigned size = static_cast<unsigned>(state.range(0));
    std::unique_ptr<aubio_fft_t, FftCloser> fft(new_aubio_fft(size));
    std::unique_ptr<fvec_t, FvecCloser> x(new_fvec(size));
    std::unique_ptr<cvec_t, CvecCloser> spectrum(new_cvec(size));
    for (unsigned i = 0; i < size; ++i)
        x->data[i] = static_cast<smpl_t>(0.3 * std::sin(0.05 * i) + 0.1 * std::sin(0.31 * i));
    for (auto _ : state) {
        aubio_fft_do(fft.get(), x.get(), spectrum.get());
        benchmark::DoNotOptimize(spectrum->norm);
    }
    state.SetLabel(std::to_string(size) + " samples: libaubio's FFT, moduli and phases");
}
BENCHMARK(BM_LibaubioFftMagnitudes)->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond);

}  // namespace
