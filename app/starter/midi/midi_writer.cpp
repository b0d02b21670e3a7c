// Writing a one-track Standard MIDI File from timed events.
#include "app/starter/midi/midi_writer.h"

#include <algorithm>

#include "midi/midi.h"

void appendVarLen(std::vector<uint8_t> &out, uint64_t v) {
    uint8_t bytes[MaxVariableLength];
    int n = variableLength(v, bytes);
    out.insert(out.end(), bytes, bytes + n);
}

void appendBigEndian(std::vector<uint8_t> &out, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::vector<uint8_t> metaEvent(int type, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> b = {0xFF, static_cast<uint8_t>(type)};
    appendVarLen(b, data.size());
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

std::vector<uint8_t> oneTrackFile(int division, const std::vector<uint8_t> &leading, std::vector<MidiEvent> events) {
    std::stable_sort(events.begin(), events.end(), [](const MidiEvent &a, const MidiEvent &b) {
        return a.tick != b.tick ? a.tick < b.tick : a.rank < b.rank;
    });
    std::vector<uint8_t> track = leading;
    int64_t tick = 0;
    for (const MidiEvent &e : events) {
        appendVarLen(track, static_cast<uint64_t>(std::max<int64_t>(0, e.tick - tick)));
        tick = std::max(tick, e.tick);
        track.insert(track.end(), e.bytes.begin(), e.bytes.end());
    }
    track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});
    std::vector<uint8_t> out{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1};
    appendBigEndian(out, static_cast<uint32_t>(division), 2);
    out.insert(out.end(), {'M', 'T', 'r', 'k'});
    appendBigEndian(out, static_cast<uint32_t>(track.size()), 4);
    out.insert(out.end(), track.begin(), track.end());
    return out;
}
