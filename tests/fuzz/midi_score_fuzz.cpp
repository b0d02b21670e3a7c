// MIDI files given as input: any bytes through the reader, and whatever it
// accepts through the score builder and the MusicXML writer, at both clock
// conventions a file may use (the engine's, and quarters in every metre).
// A file the reader accepts either gives a score document or a reason.
// Files that would fill more than a few thousand measures are left to the
// command's tests: their scores are correct but take too long to fuzz.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/starter/midi/midi_reader.h"
#include "app/starter/score/score.h"

namespace {

// Longer than the longest score worth fuzzing: 8000 quarter notes, 2000 bars of 4/4.
constexpr int64_t FuzzedQuarters = 8000;

bool tooLongToFuzz(const MidiContent &midi) {
    int64_t last = 0;
    for (const MidiNote &n : midi.notes)
        last = std::max({last, n.onTick, n.offTick});
    return midi.division > 0 && last / midi.division > FuzzedQuarters;
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
    std::vector<uint8_t> bytes(data, data + size);
    MidiContent midi;
    std::string error;
    if (!parseMidi(bytes, midi, error)) {
        if (error.empty()) std::abort();
        return 0;
    }
    if (tooLongToFuzz(midi))
        return 0;
    scoreOf(midi, 4);
    midi.clocksPerClick = clicksClocks(midi.numerator, midi.denominatorPower);
    scoreOf(midi, 16);
    return 0;
}
