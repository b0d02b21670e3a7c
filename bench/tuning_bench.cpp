// The tuning of a recording: a minute of 44100 Hz stereo audio read from a WAV file, a spectrum
// every 0.1 s and the deviation its peaks agree on (measureTuning). Its processor time per minute
// is what the default run spends before the engine starts to learn the recording's A.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include <unistd.h>

#include "app/starter/tuning/tuning.h"
#include "bench/bench_setup.h"

namespace {

void BM_TuningPerMinute(benchmark::State &state) {
    std::string path = "/tmp/sonoscriptor-tuning-bench-" + std::to_string(getpid()) + ".wav";
    bench_setup::writeChordWav(path, 44100, 2, 60);
    for (auto _ : state) {
        TuningFound found;
        std::string error;
        if (!measureTuning(path, 0, 0, nullptr, found, error))
            state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(found.cents);
    }
    std::remove(path.c_str());
    state.SetLabel("60 s of 44100 Hz 16-bit stereo WAV");
}
BENCHMARK(BM_TuningPerMinute)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
