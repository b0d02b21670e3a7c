// Frame reader benchmark at the finest grid (Sensitivity 7, Resolution 8) on a
// 44100 Hz stereo file: the hop is 2.7 samples, so each frame re-reads almost
// all of the previous one.
#include <benchmark/benchmark.h>

#include "bench/bench_setup.h"

namespace {

void BM_ReadFrame(benchmark::State &state) {
    bench_setup::use(44100, 2, "Sensitivity=7\nResolution=8\n");
    double position = static_cast<double>(derived.startByte) / derived.inputStride;
    int64_t silent = 0;
    for (auto _ : state) {
        int64_t byte = static_cast<int64_t>(position + 0.5) * derived.inputStride;
        if (byte > derived.endByte) {
            position = static_cast<double>(derived.startByte) / derived.inputStride;
            byte = derived.startByte;
        }
        const uint32_t peak = readFrame(byte, analysis.FrameSamples);
        silent += peak == 0;
        benchmark::DoNotOptimize(analysis.FrameSamples[1]);
        position += derived.samplesPerFrame;
    }
    state.SetLabel("44100 Hz stereo, frameLength " + std::to_string(derived.frameLength) + ", samplesPerFrame " +
                   std::to_string(derived.samplesPerFrame));
    state.counters["frames_per_second"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["silent_frames"] = static_cast<double>(silent);
}
BENCHMARK(BM_ReadFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
