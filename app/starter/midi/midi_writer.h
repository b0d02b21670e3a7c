// Writing a one-track Standard MIDI File from timed events: the byte forms
// (variable-length numbers, big-endian fields, meta events) and the layout.
#pragma once

#include <cstdint>
#include <vector>

// One event of a track: its tick, its rank among events of the same tick
// (lower first) and its bytes after the delta time.
struct MidiEvent {
    int64_t tick = 0;
    int rank = 0;
    std::vector<uint8_t> bytes;
};

/** Appends v as a MIDI variable-length number. */
void appendVarLen(std::vector<uint8_t> &out, uint64_t v);
/** Appends the low `bytes` bytes of v, most significant first. */
void appendBigEndian(std::vector<uint8_t> &out, uint32_t v, int bytes);
/** A meta event: 0xFF, its type, the length of data and data. */
std::vector<uint8_t> metaEvent(int type, const std::vector<uint8_t> &data);
/** A format-0 file: leading (events with their delta times, as written), then the events in
 *  order of tick and rank with their delta times, then the end of the track. */
std::vector<uint8_t> oneTrackFile(int division, const std::vector<uint8_t> &leading, std::vector<MidiEvent> events);
