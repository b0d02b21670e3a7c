// The score of a MIDI file: range(0) bars of 4/4 with a chord and a run of
// eighths in every bar, through the score builder and the MusicXML writer. Its
// time per bar should not grow with the length of the piece.
#include <benchmark/benchmark.h>

#include <string>

#include "app/starter/midi/midi_reader.h"
#include "app/starter/score/score.h"

namespace {

MidiContent barsOfMusic(int64_t bars) {
    MidiContent midi;
    midi.division = 480;
    for (int64_t bar = 0; bar < bars; ++bar) {
        int64_t start = bar * 4 * midi.division;
        for (int key : {48, 55, 64})
            midi.notes.push_back({key, 80, start, start + 4 * midi.division, 0});
        for (int64_t eighth = 0; eighth < 8; ++eighth) {
            int64_t on = start + eighth * midi.division / 2;
            midi.notes.push_back({static_cast<int>(72 + eighth % 5), 90, on, on + midi.division / 2, 0});
        }
    }
    midi.lastTick = bars * 4 * midi.division;
    return midi;
}

void BM_ScoreOfMidi(benchmark::State &state) {
    MidiContent midi = barsOfMusic(state.range(0));
    size_t bytes = 0;
    for (auto _ : state) {
        Score score;
        std::string document, error;
        if (!buildScore(midi, 4, "bench", score, error) || !scoreDocument(score, document, error))
            state.SkipWithError(error.c_str());
        bytes = document.size();
        benchmark::DoNotOptimize(document.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ScoreOfMidi)->Arg(100)->Arg(1000)->Arg(10000)->Complexity()->Unit(benchmark::kMillisecond);

}  // namespace
