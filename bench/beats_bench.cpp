// The beat stage: a minute of 44100 Hz stereo audio read from a WAV file, its
// magnitude spectra, libaubio's beat tracker on their spectral flux, the onset
// strength and the metre's chroma and bass onsets (trackBeats). Its processor
// time per minute is what the default run spends finding the beats.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include <unistd.h>

#include "app/starter/beats/beats.h"
#include "bench/bench_setup.h"

namespace {

void BM_BeatStagePerMinute(benchmark::State &state) {
    std::string path = "/tmp/sonoscriptor-beats-bench-" + std::to_string(getpid()) + ".wav";
    bench_setup::writeChordWav(path, 44100, 2, 60);
    size_t hops = 0;
    for (auto _ : state) {
        BeatTrack track;
        std::string error;
        if (!trackBeats(path, 0, 0, track, nullptr, error))
            state.SkipWithError(error.c_str());
        hops = track.onsetStrength.size();
        benchmark::DoNotOptimize(track.beats.data());
    }
    std::remove(path.c_str());
    state.SetLabel("60 s of 44100 Hz 16-bit stereo WAV");
    state.counters["hops"] = static_cast<double>(hops);
}
BENCHMARK(BM_BeatStagePerMinute)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
