// Standard MIDI File reader: header, tracks, events with running status.
#include "app/starter/midi/midi_reader.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

// The first four bytes of every Standard MIDI File: "MThd".
constexpr uint32_t HeaderTag = 0x4D546864;

// Read position over the file's bytes.
struct Cursor {
    const std::vector<uint8_t> &bytes;
    size_t pos;
    size_t end;
};

bool takeByte(Cursor &c, uint8_t &b) {
    if (c.pos >= c.end)
        return false;
    b = c.bytes[c.pos++];
    return true;
}

// Big-endian unsigned integer of n bytes.
bool takeNumber(Cursor &c, int n, uint32_t &v) {
    v = 0;
    for (int i = 0; i < n; ++i) {
        uint8_t b;
        if (!takeByte(c, b))
            return false;
        v = (v << 8) | b;
    }
    return true;
}

// Variable-length quantity of at most four bytes.
bool takeVarLen(Cursor &c, uint32_t &v) {
    v = 0;
    for (int i = 0; i < 4; ++i) {
        uint8_t b;
        if (!takeByte(c, b))
            return false;
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80))
            return true;
    }
    return false;
}

// Closes the earliest open note of key on channel at tick.
void closeNote(MidiContent &m, std::vector<std::vector<size_t>> &open, int channel, int key,
               int64_t tick) {
    std::vector<size_t> &list = open[channel * 128 + key];
    if (list.empty())
        return;
    m.notes[list.front()].offTick = tick;
    list.erase(list.begin());
}

// Interprets a meta event's data.
void applyMeta(MidiContent &m, uint8_t type, const std::vector<uint8_t> &data, int64_t tick) {
    if (type == 0x51 && data.size() == 3) {
        int64_t micros = (data[0] << 16) | (data[1] << 8) | data[2];
        if (m.notes.empty())
            m.microsPerBeat = micros;
        m.tempos.push_back({tick, micros});
    }
    if (type == 0x06)
        m.markers.push_back({tick, std::string(data.begin(), data.end())});
    if (type == 0x58 && data.size() >= 2) {
        m.numerator = data[0];
        m.denominatorPower = data[1];
        m.clocksPerClick = data.size() >= 3 ? data[2] : 24;
        m.signatures.push_back({tick, data[0], data[1]});
    }
    if (type == 0x59 && data.size() == 2) {
        m.hasKeySignature = true;
        m.keySignature = static_cast<int8_t>(data[0]);
        m.mode = data[1];
        m.keys.push_back({tick, m.keySignature, m.mode});
    }
}

// Reads a meta or system-exclusive event after its status byte.
bool takeSpecial(Cursor &c, uint8_t status, int64_t tick, MidiContent &m, bool &endOfTrack) {
    uint8_t type = 0;
    if (status == 0xFF && !takeByte(c, type))
        return false;
    uint32_t length;
    if (!takeVarLen(c, length) || length > c.end - c.pos)
        return false;
    std::vector<uint8_t> data(c.bytes.begin() + c.pos, c.bytes.begin() + c.pos + length);
    c.pos += length;
    if (status == 0xFF) {
        applyMeta(m, type, data, tick);
        endOfTrack = type == 0x2F;
    }
    return true;
}

// Reads a channel message whose status and first data byte are known.
bool takeChannel(Cursor &c, uint8_t status, uint8_t first, int64_t tick, MidiContent &m,
                 std::vector<std::vector<size_t>> &open) {
    int kind = status & 0xF0, channel = status & 0x0F;
    if (kind == 0xC0 || kind == 0xD0) {
        if (kind == 0xC0 && m.program < 0)
            m.program = first;
        return true;
    }
    uint8_t second;
    if (!takeByte(c, second))
        return false;
    if (kind == 0x90 && second > 0) {
        open[channel * 128 + (first & 0x7F)].push_back(m.notes.size());
        m.notes.push_back({first & 0x7F, second, tick, -1, channel});
    } else if (kind == 0x80 || kind == 0x90) {
        closeNote(m, open, channel, first & 0x7F, tick);
    }
    return true;
}

// Reads the events of one track chunk.
bool takeTrack(Cursor c, MidiContent &m, std::string &error) {
    std::vector<std::vector<size_t>> open(16 * 128);
    int64_t tick = 0;
    uint8_t running = 0;
    bool endOfTrack = false;
    bool leading = m.tracks == 0;
    while (c.pos < c.end && !endOfTrack) {
        size_t start = c.pos;
        size_t notesBefore = m.notes.size(), markersBefore = m.markers.size();
        uint32_t delta;
        uint8_t b;
        if (!takeVarLen(c, delta) || !takeByte(c, b))
            break;
        tick += delta;
        m.lastTick = std::max(m.lastTick, tick);
        bool ok;
        if (b == 0xFF || b == 0xF0 || b == 0xF7) {
            ok = takeSpecial(c, b, tick, m, endOfTrack);
        } else if (b & 0x80) {
            running = b;
            uint8_t first;
            ok = takeByte(c, first) && takeChannel(c, running, first, tick, m, open);
        } else {
            ok = running != 0 && takeChannel(c, running, b, tick, m, open);
        }
        if (!ok) {
            error = "a track event is cut short or has no status byte";
            return false;
        }
        bool noteOrMarker = m.notes.size() != notesBefore || m.markers.size() != markersBefore ||
                            ((b & 0x80 ? b : running) & 0xE0) == 0x80;
        leading = leading && !noteOrMarker;
        if (leading && !endOfTrack)
            m.leadingEvents.insert(m.leadingEvents.end(), c.bytes.begin() + start, c.bytes.begin() + c.pos);
    }
    m.tracks += 1;
    m.cutShort = m.cutShort || !endOfTrack;
    return true;
}

}  // namespace

bool parseMidi(const std::vector<uint8_t> &bytes, MidiContent &m, std::string &error) {
    Cursor c{bytes, 0, bytes.size()};
    uint32_t tag, length, format, tracks, division;
    if (!takeNumber(c, 4, tag) || tag != HeaderTag || !takeNumber(c, 4, length) ||
        length < 6 || !takeNumber(c, 2, format) || !takeNumber(c, 2, tracks) ||
        !takeNumber(c, 2, division)) {
        error = "it does not start with a MIDI header";
        return false;
    }
    m.division = static_cast<int>(division);
    m.format = static_cast<int>(format);
    c.pos = 8 + length;
    while (c.pos + 8 <= c.end) {
        if (!takeNumber(c, 4, tag) || !takeNumber(c, 4, length))
            break;
        size_t chunkEnd = c.pos + std::min<size_t>(length, c.end - c.pos);
        m.cutShort = m.cutShort || length > c.end - c.pos;
        if (tag == 0x4D54726B && !takeTrack(Cursor{bytes, c.pos, chunkEnd}, m, error))
            return false;
        c.pos = chunkEnd;
    }
    return true;
}

bool hasMidiHeader(const std::string &path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return false;  // a pipe or a device is never opened, nor waited on
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes(4);
    if (!in.read(reinterpret_cast<char *>(bytes.data()), 4))
        return false;
    Cursor c{bytes, 0, bytes.size()};
    uint32_t tag;
    return takeNumber(c, 4, tag) && tag == HeaderTag;
}

bool readMidiFile(const std::string &path, MidiContent &content, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "it cannot be opened";
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parseMidi(bytes, content, error);
}

bool compoundMetre(int numerator, int denominatorPower) {
    return numerator % 3 == 0 && numerator > 3 && denominatorPower >= 2;
}

int clicksClocks(int numerator, int denominatorPower) {
    constexpr int ClocksPerWhole = 96;
    int note = ClocksPerWhole >> std::clamp(denominatorPower, 0, 6);
    return std::max(1, compoundMetre(numerator, denominatorPower) ? 3 * note : note);
}

std::string metreName(int numerator, int denominatorPower) {
    return std::to_string(numerator) + "/" + std::to_string(1 << std::clamp(denominatorPower, 0, 30));
}

int divisionNotePower(const MidiContent &content) {
    constexpr int EngineClocks = 24;
    return content.clocksPerClick == EngineClocks ? content.denominatorPower : 2;
}

MidiClock midiClockOf(const MidiContent &content) {
    std::vector<MidiTempo> events = content.tempos;
    std::stable_sort(events.begin(), events.end(), [](const MidiTempo &a, const MidiTempo &b) { return a.tick < b.tick; });
    MidiClock clock;
    double division = std::max(1, content.division);
    clock.ticks.push_back(0);
    clock.seconds.push_back(0);
    clock.microsPerBeat.push_back(500000);
    clock.secondsPerTick.push_back(500000e-6 / division);
    for (const MidiTempo &e : events) {
        if (e.microsPerBeat <= 0 || e.tick < 0)
            continue;
        double at = clock.seconds.back() + static_cast<double>(e.tick - clock.ticks.back()) * clock.secondsPerTick.back();
        double perTick = static_cast<double>(e.microsPerBeat) * 1e-6 / division;
        if (e.tick == clock.ticks.back()) {
            clock.microsPerBeat.back() = e.microsPerBeat;
            clock.secondsPerTick.back() = perTick;
            continue;
        }
        clock.ticks.push_back(e.tick);
        clock.seconds.push_back(at);
        clock.microsPerBeat.push_back(e.microsPerBeat);
        clock.secondsPerTick.push_back(perTick);
    }
    return clock;
}

double secondsAt(const MidiClock &clock, double tick) {
    auto after = std::upper_bound(clock.ticks.begin(), clock.ticks.end(), tick,
                                  [](double t, int64_t start) { return t < static_cast<double>(start); });
    size_t i = after == clock.ticks.begin() ? 0 : static_cast<size_t>(after - clock.ticks.begin()) - 1;
    return clock.seconds[i] + (tick - static_cast<double>(clock.ticks[i])) * clock.secondsPerTick[i];
}
