// Attack evidence: one minute of 44100 Hz audio measured in memory (both
// spectra, the band levels and rises of 88 keys, the attack candidates;
// target: at most 0.5 s of CPU per minute), and a long WAV file swept block
// by block on every core, with the growth of the peak resident memory it
// causes (target: bounded by the attacks, not by the samples or spectra);
// and the whole refinement of a file (evidence and rules, notes proposed where
// the engine wrote every other note), per minute of audio (target: at most 1 s
// of CPU per minute).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <sndfile.h>
#include <unistd.h>

#include "app/starter/refine/evidence.h"
#include "app/starter/refine/probes.h"
#include "app/starter/refine/rules.h"

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

// Writes `minutes` of the minute of notes as a 44100 Hz 16-bit stereo WAV; its path.
std::string longRecording(int minutes) {
    std::string path = "/tmp/sonoscriptor-refine-bench-" + std::to_string(getpid()) + "-" + std::to_string(minutes) + ".wav";
    std::vector<float> minute = minuteOfNotes(44100), stereo(minute.size() * 2);
    for (size_t i = 0; i < minute.size(); ++i)
        stereo[2 * i] = stereo[2 * i + 1] = minute[i];
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    for (int m = 0; f && m < minutes; ++m)
        sf_writef_float(f, stereo.data(), static_cast<sf_count_t>(minute.size()));
    sf_close(f);
    return path;
}

// The process's peak resident memory in KiB since the last resetPeakMemory (VmHWM).
double peakMemoryKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6));
    return 0;
}

void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

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

// A WAV file of state.range(0) minutes swept, and the probes at every strong attack measured.
void BM_AttackEvidenceOfLongFile(benchmark::State &state) {
    std::string path = longRecording(static_cast<int>(state.range(0)));
    double baseKiB = 0, peakKiB = 0;
    size_t probes = 0;
    for (auto _ : state) {
        resetPeakMemory();
        baseKiB = peakMemoryKiB();
        AttackEvidence e;
        std::string error;
        measureFile(path, 440, e, nullptr, error);
        std::vector<Probe> wanted;
        for (int p = 0; p < PitchCount; ++p)
            for (const Attack &a : e.attacks[p])
                if (a.strength >= 4) {
                    int hop = static_cast<int>(a.time / e.hopSeconds);
                    wanted.push_back({ProbeKind::FundamentalRise, static_cast<std::int16_t>(p + LowestPitch), hop - 4, hop + 4});
                    wanted.push_back({ProbeKind::PartnerRise12, static_cast<std::int16_t>(p + LowestPitch), hop - 4, hop + 4});
                }
        probes = wanted.size();
        ProbedEvidence v = probeEvidence(e, std::move(wanted));
        benchmark::DoNotOptimize(v.answers.data());
        peakKiB = peakMemoryKiB();
    }
    std::remove(path.c_str());
    state.SetLabel(std::to_string(state.range(0)) + " min of 44100 Hz stereo WAV");
    state.counters["probes"] = static_cast<double>(probes);
    state.counters["peak_growth_MiB"] = (peakKiB - baseKiB) / 1024;
}
BENCHMARK(BM_AttackEvidenceOfLongFile)->Arg(10)->Arg(60)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// The refinement of state.range(0) minutes of the minute of notes read from a file (swept, its probes
// measured again): every other note written, on a grid of 16ths at 120 beats per minute. With
// range(1) 0 every key, as the starter's default run measures it for its proposals (no cells kept);
// with 1 as it measures with proposals off: the written notes' keys alone, their cells kept by the sweep.
void BM_RefinementPerMinute(benchmark::State &state) {
    int minutes = static_cast<int>(state.range(0));
    bool notesKeys = state.range(1) != 0;
    std::string path = longRecording(minutes);
    Timeline t;
    for (int j = 0; j <= minutes * 480 + 1; ++j)
        t.stepTimes.push_back(j * 0.125);
    std::vector<TimedNote> written;
    for (int n = 0; n < 240 * minutes; n += 2) {
        TimedNote x;
        x.key = x.pitch = 40 + (n * 7) % 40;
        x.on = n * 0.25;
        x.off = x.on + 0.25;
        written.push_back(x);
    }
    RefineCounts counts;
    EvidenceRequest request;
    for (const TimedNote &n : written)
        request.keys.push_back(n.pitch);
    request.onlyKeys = true;
    for (auto _ : state) {
        AttackEvidence e;
        std::string error;
        measureFile(path, 440, e, nullptr, error, notesKeys ? request : EvidenceRequest{});
        std::vector<TimedNote> out = applyRules(written, e, t, RefineThresholds{}, counts);
        benchmark::DoNotOptimize(out.data());
    }
    std::remove(path.c_str());
    state.SetLabel(std::to_string(minutes) + " min of 44100 Hz stereo WAV (divide by the minutes)" +
                   (notesKeys ? ", the notes' keys" : ", every key"));
    state.counters["added"] = counts.added;
}
BENCHMARK(BM_RefinementPerMinute)->Args({2, 0})->Args({2, 1})->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()
    ->Iterations(2)->UseRealTime();

}  // namespace
