// Attack evidence of one minute of 44100 Hz audio: both spectra, the band
// levels and rises of 88 keys, and the attack candidates. Target: at most
// 0.5 s of CPU per minute.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "app/starter/refine/evidence.h"

namespace {

// A minute of decaying harmonic tones, four a second, on keys that wander.
std::vector<float> minuteOfNotes(int rate) {
    std::vector<float> x(static_cast<size_t>(rate) * 60, 0.0f);
    for (int n = 0; n < 240; ++n) {
        int key = 40 + (n * 7) % 40;
        double f0 = 440 * std::pow(2.0, (key - 69) / 12.0);
        size_t start = static_cast<size_t>(n * 0.25 * rate);
        for (size_t i = 0; i < static_cast<size_t>(rate) && start + i < x.size(); ++i) {
            double t = static_cast<double>(i) / rate, v = 0;
            for (int h = 1; h <= 5; ++h)
                v += std::sin(2 * M_PI * f0 * h * t) / h;
            x[start + i] += static_cast<float>(0.2 * std::exp(-3 * t) * v);
        }
    }
    return x;
}

void BM_AttackEvidencePerMinute(benchmark::State &state) {
    std::vector<float> audio = minuteOfNotes(44100);
    EvidenceGeometry g = geometryFor(44100, 440);
    size_t attacks = 0;
    for (auto _ : state) {
        AttackEvidence e;
        measureSamples(audio, g, e, nullptr);
        attacks = 0;
        for (const auto &list : e.attacks)
            attacks += list.size();
        benchmark::DoNotOptimize(e.level.data());
    }
    state.SetLabel("60 s of 44100 Hz mono; windows " + std::to_string(g.shortSize) + " and " +
                   std::to_string(g.longSize) + ", hop " + std::to_string(g.hop));
    state.counters["candidates"] = static_cast<double>(attacks);
}
BENCHMARK(BM_AttackEvidencePerMinute)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
