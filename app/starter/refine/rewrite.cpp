// Writing the refined notes, markers and tempo changes as one MIDI track.
#include "app/starter/refine/rewrite.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// One event of the track: its tick, its rank among events of the same tick, its bytes after the delta.
struct Event {
    int64_t tick;
    int rank;  // 0 tempo, 1 note-off, 2 marker, 3 note-on
    std::vector<uint8_t> data;
};

void putVarLen(std::vector<uint8_t> &out, uint64_t v) {
    uint8_t groups[10];
    int n = 0;
    do {
        groups[n++] = static_cast<uint8_t>(v & 0x7F);
        v >>= 7;
    } while (v != 0 && n < 10);
    while (n > 1)
        out.push_back(groups[--n] | 0x80);
    out.push_back(groups[0]);
}

void putNumber(std::vector<uint8_t> &out, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A tempo event at the start of every beat whose length differs from the one before.
void addTempoMap(std::vector<Event> &events, const Timeline &t, int division, int64_t lastTick) {
    double beatTicks = t.stepsPerBeat * TicksPerStep;
    int64_t first = static_cast<int64_t>(std::floor(static_cast<double>(t.droppedSteps) / t.stepsPerBeat));
    int64_t previous = -1;
    for (int64_t b = first;; ++b) {
        double tick = (b * t.stepsPerBeat - static_cast<double>(t.droppedSteps)) * TicksPerStep;
        if (tick > static_cast<double>(lastTick))
            break;
        double seconds = secondsAtStep(t, (b + 1) * t.stepsPerBeat) - secondsAtStep(t, b * t.stepsPerBeat);
        int64_t micros = std::clamp<int64_t>(std::llround(seconds * 1e6 * division / beatTicks), 1, 16777215);
        if (micros == previous)
            continue;
        previous = micros;
        std::vector<uint8_t> data{0xFF, 0x51, 0x03};
        putNumber(data, static_cast<uint32_t>(micros), 3);
        events.push_back({std::max<int64_t>(0, std::llround(tick)), 0, data});
    }
}

}  // namespace

int64_t noteTick(const Timeline &t, double seconds, bool quantize) {
    double tick = tickAtSeconds(t, seconds);
    if (quantize)
        tick = std::round(tick / TicksPerStep) * TicksPerStep;
    return std::max<int64_t>(0, std::llround(tick));
}

std::vector<uint8_t> refinedMidi(const MidiContent &engine, const std::vector<TimedNote> &notes, const Timeline &t,
                                 bool quantize) {
    std::vector<Event> events;
    int64_t last = 0;
    for (const TimedNote &n : notes) {
        int64_t on = noteTick(t, n.on, quantize);
        int64_t off = std::max(noteTick(t, n.off, quantize), on + (quantize ? TicksPerStep : 1));
        uint8_t ch = static_cast<uint8_t>(n.channel & 0x0F), key = static_cast<uint8_t>(n.key & 0x7F);
        uint8_t vel = static_cast<uint8_t>(std::clamp(n.velocity, 1, 127));
        events.push_back({on, 3, {static_cast<uint8_t>(0x90 | ch), key, vel}});
        events.push_back({off, 1, {static_cast<uint8_t>(0x80 | ch), key, vel}});
        last = std::max(last, off);
    }
    for (const MidiMarker &m : engine.markers) {
        std::vector<uint8_t> data{0xFF, 0x06};
        putVarLen(data, m.text.size());
        data.insert(data.end(), m.text.begin(), m.text.end());
        events.push_back({m.tick, 2, data});
        last = std::max(last, m.tick);
    }
    if (t.followsMap)
        addTempoMap(events, t, engine.division, last);
    std::stable_sort(events.begin(), events.end(), [](const Event &a, const Event &b) {
        return a.tick != b.tick ? a.tick < b.tick : a.rank < b.rank;
    });
    std::vector<uint8_t> track = engine.leadingEvents;
    int64_t tick = 0;
    for (const Event &e : events) {
        putVarLen(track, static_cast<uint64_t>(e.tick - tick));
        tick = e.tick;
        track.insert(track.end(), e.data.begin(), e.data.end());
    }
    track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});
    std::vector<uint8_t> out{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1};
    putNumber(out, static_cast<uint32_t>(engine.division), 2);
    out.insert(out.end(), {'M', 'T', 'r', 'k'});
    putNumber(out, static_cast<uint32_t>(track.size()), 4);
    out.insert(out.end(), track.begin(), track.end());
    return out;
}

bool writeBytes(const std::string &path, const std::vector<uint8_t> &bytes, std::string &error) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = f && std::fclose(f) == 0 && ok;
    if (!ok)
        error = "the refined MIDI file " + path + " could not be written";
    return ok;
}
