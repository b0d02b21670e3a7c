// Reading the events of a MIDI track body.
#include "tests/support/midi.h"

#include "tests/support/support.h"

namespace {

constexpr size_t TrackBodyOffset = 22;  // "MThd", its 6 bytes, "MTrk" and the track length

int64_t readVarLen(const std::string &d, size_t &pos) {
    int64_t value = 0;
    while (pos < d.size()) {
        unsigned char b = static_cast<unsigned char>(d[pos++]);
        value = (value << 7) | (b & 0x7F);
        if (!(b & 0x80)) break;
    }
    return value;
}

unsigned char byteAt(const std::string &d, size_t pos) { return static_cast<unsigned char>(d[pos]); }

// Reads the meta event at pos (0xFF, kind, length, data); false when it runs past the end.
bool readMeta(const std::string &d, size_t &pos, TrackEvent &e) {
    if (pos + 2 > d.size()) return false;
    e.type = 0xFF;
    e.meta = byteAt(d, pos + 1);
    pos += 2;
    const int64_t length = readVarLen(d, pos);
    if (length < 0 || pos + static_cast<size_t>(length) > d.size()) return false;
    e.text = d.substr(pos, static_cast<size_t>(length));
    pos += static_cast<size_t>(length);
    return true;
}

}  // namespace

std::vector<TrackEvent> readTrackEvents(const std::string &d, std::string &problem) {
    std::vector<TrackEvent> events;
    size_t pos = 0;
    int64_t tick = 0;
    int status = 0;
    problem.clear();
    while (pos < d.size() && problem.empty()) {
        tick += readVarLen(d, pos);
        TrackEvent e;
        e.tick = tick;
        const size_t at = pos;
        if (pos >= d.size()) {
            problem = "delta time without an event at body offset " + std::to_string(at);
        } else if (byteAt(d, pos) == 0xFF) {
            if (!readMeta(d, pos, e)) problem = "meta event past the end at body offset " + std::to_string(at);
            status = 0;
        } else {
            if (byteAt(d, pos) & 0x80) status = byteAt(d, pos++);
            const size_t length = (status & 0xF0) == 0xC0 ? 1 : 2;
            if (status == 0 || pos + length > d.size()) {
                problem = "note data without a status at body offset " + std::to_string(at);
            } else {
                e.type = status & 0xF0;
                e.note = byteAt(d, pos);
                e.velocity = length == 2 ? byteAt(d, pos + 1) : 0;
                pos += length;
            }
        }
        if (problem.empty()) events.push_back(e);
    }
    return events;
}

std::vector<TrackEvent> readMidiNotes(const std::string &path) {
    const std::string d = readFile(path);
    std::vector<TrackEvent> notes;
    if (d.size() < TrackBodyOffset) return notes;
    std::string problem;
    for (const TrackEvent &e : readTrackEvents(d.substr(TrackBodyOffset), problem))
        if (e.type == 0x80 || e.type == 0x90) notes.push_back(e);
    return notes;
}
