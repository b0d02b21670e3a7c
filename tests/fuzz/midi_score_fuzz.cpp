// MIDI files given as input: any bytes through the reader, and whatever it
// accepts through the score builder and the MusicXML writer, at both clock
// conventions a file may use (the engine's, and quarters in every metre).
// A file the reader accepts either gives a score document or a reason.
// Files that would fill more than a few hundred measures are left to the
// command's tests: their scores are correct but take too long to fuzz under
// the sanitizers (about a millisecond a measure).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/starter/midi/midi_reader.h"
#include "app/starter/score/score.h"
#include "tests/fuzz/midi_input.h"

namespace {

// More than the longest score worth fuzzing, in measures of the shortest bar the file signs.
constexpr double FuzzedMeasures = 600;

// Divisions of the file a bar of a metre spans, the shorter of the two conventions'.
double divisionsABar(int numerator, int denominatorPower) {
    double quarters = std::ldexp(std::max(numerator, 1), 2 - std::clamp(denominatorPower, 0, 8));
    return std::min(quarters, static_cast<double>(std::max(numerator, 1)));
}

bool tooLongToFuzz(const MidiContent &midi) {
    double bar = divisionsABar(midi.numerator, midi.denominatorPower);
    for (const MidiSignature &s : midi.signatures)
        bar = std::min(bar, divisionsABar(s.numerator, s.denominatorPower));
    return midi.division > 0 && static_cast<double>(lastTickOf(midi)) / midi.division / bar > FuzzedMeasures;
}

void scoreOf(const MidiContent &midi, double resolution) {
    Score score;
    std::string error, document;
    if (!buildScore(midi, resolution, "fuzz", score, error)) {
        if (error.empty()) std::abort();
        return;
    }
    if (!scoreDocument(score, document, error) || document.empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    MidiContent midi;
    if (!fuzzedMidi(data, size, midi) || tooLongToFuzz(midi))
        return 0;
    scoreOf(midi, 4);
    midi.clocksPerClick = clicksClocks(midi.numerator, midi.denominatorPower);
    scoreOf(midi, 16);
    return 0;
}
