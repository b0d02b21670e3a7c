// Spectral analysis benchmarks at the default settings: the key detector
// over every key of a frame, the detector per key, and the frame analysis.
// Argument 0: 44100 Hz stereo input; argument 1: 11025 Hz mono input.
#include <string>

#include <benchmark/benchmark.h>

#include "bench/bench_setup.h"

namespace {

// Default settings for the input format; a frame of the chord in FrameSamples.
void prepare(benchmark::State &state) {
    if (state.range(0) == 0)
        bench_setup::use(44100, 2);
    else
        bench_setup::use(11025, 1);
    const int64_t middle = (derived.startByte + derived.endByte) / 2;
    readFrame(middle - middle % derived.inputStride, analysis.FrameSamples);
    run.CurrentRow = 0;
    state.SetLabel(std::to_string(settings.Rate) + " Hz " + (settings.Tracks == 2 ? "stereo" : "mono") +
                   ", BufferSize " + std::to_string(settings.BufferSize) + ", BufferIncrement " +
                   std::to_string(settings.BufferIncrement) + ", keys " + std::to_string(settings.KeyMin) + ".." +
                   std::to_string(settings.KeyMax));
}

void perSecond(benchmark::State &state, const char *name) {
    state.counters[name] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The detector for every key of one frame, as the engine measures a frame:
// the frame is new once per iteration, the signal filtered once per lag.
void BM_DetectKeyAllKeys(benchmark::State &state) {
    prepare(state);
    FrameWork &work = analysis.work;
    work.frame = analysis.FrameSamples;
    int64_t phaseSum = 0;
    for (auto _ : state) {
        frameChanged(work);
        for (int k = settings.KeyMin; k <= settings.KeyMax; ++k) {
            DetectorResult result = {0, 0, k, 1};
            detectKeyWith(work, result);
            benchmark::DoNotOptimize(result);
            phaseSum += result.phase < 0 ? -result.phase : result.phase;
        }
    }
    perSecond(state, "frames_per_second");
    state.counters["mean_abs_phase"] =
        static_cast<double>(phaseSum) / static_cast<double>(state.iterations()) / (settings.KeyMax - settings.KeyMin + 1);
}
BENCHMARK(BM_DetectKeyAllKeys)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// detectKey for a single key: the cost by key.
void BM_DetectKeyOneKey(benchmark::State &state) {
    prepare(state);
    const int key = static_cast<int>(state.range(1));
    DetectorResult result = {0, 0, key, 1};
    for (auto _ : state) {
        result.key = key;
        detectKey(result);
        benchmark::DoNotOptimize(result);
    }
    perSecond(state, "calls_per_second");
    state.counters["level"] = result.level;
    state.counters["phase"] = result.phase;
    state.counters["quarterSteps"] = tables.KeyTable[key].quarterSteps;
}
BENCHMARK(BM_DetectKeyOneKey)->ArgsProduct({{0, 1}, {24, 45, 57, 60, 64, 96}})->Unit(benchmark::kMicrosecond);

// analyseFrame on the same frame (ClusterDetect is off by default, so the frame does not change).
void BM_AnalyseFrame(benchmark::State &state) {
    prepare(state);
    for (auto _ : state) {
        run.CurrentRow = 0;
        analyseFrame(0);
        benchmark::DoNotOptimize(analysis.LevelMatrix[0]);
    }
    perSecond(state, "frames_per_second");
}
BENCHMARK(BM_AnalyseFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
