// What the fuzz targets of MIDI input share: the file the reader makes of the fuzzer's bytes, and
// how far it runs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/starter/midi/midi_reader.h"

/** The MIDI file the reader makes of the bytes into midi; false when it refuses them (a refusal
 *  without a reason ends the run as a fault). */
inline bool fuzzedMidi(const uint8_t *data, size_t size, MidiContent &midi) {
    std::vector<uint8_t> bytes(data, data + size);
    std::string error;
    if (parseMidi(bytes, midi, error))
        return true;
    if (error.empty())
        std::abort();
    return false;
}

/** The file's last tick: its last event's, or a note's that ends later. */
inline int64_t lastTickOf(const MidiContent &midi) {
    int64_t last = midi.lastTick;
    for (const MidiNote &n : midi.notes)
        last = std::max({last, n.onTick, n.offTick});
    return last;
}
