// Writing the refined notes, markers and tempo changes as one MIDI track.
#include "app/starter/refine/rewrite.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "app/starter/midi/midi_writer.h"

namespace {

// Ranks of the events that share a tick: tempo, note-off, marker, note-on.
enum EventRank { TempoRank = 0, NoteOffRank = 1, MarkerRank = 2, NoteOnRank = 3 };

// A tempo event at the start of every beat whose length differs from the one before.
void addTempoMap(std::vector<MidiEvent> &events, const Timeline &t, int division, int64_t lastTick) {
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
        std::vector<uint8_t> data;
        appendBigEndian(data, static_cast<uint32_t>(micros), 3);
        events.push_back({std::max<int64_t>(0, std::llround(tick)), TempoRank, metaEvent(0x51, data)});
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
    std::vector<MidiEvent> events;
    int64_t last = 0;
    for (const TimedNote &n : notes) {
        int64_t on = noteTick(t, n.on, quantize);
        int64_t off = std::max(noteTick(t, n.off, quantize), on + (quantize ? TicksPerStep : 1));
        uint8_t ch = static_cast<uint8_t>(n.channel & 0x0F), key = static_cast<uint8_t>(n.key & 0x7F);
        uint8_t vel = static_cast<uint8_t>(std::clamp(n.velocity, 1, 127));
        events.push_back({on, NoteOnRank, {static_cast<uint8_t>(0x90 | ch), key, vel}});
        events.push_back({off, NoteOffRank, {static_cast<uint8_t>(0x80 | ch), key, vel}});
        last = std::max(last, off);
    }
    for (const MidiMarker &m : engine.markers) {
        events.push_back({m.tick, MarkerRank, metaEvent(0x06, std::vector<uint8_t>(m.text.begin(), m.text.end()))});
        last = std::max(last, m.tick);
    }
    if (t.followsMap)
        addTempoMap(events, t, engine.division, last);
    return oneTrackFile(engine.division, engine.leadingEvents, std::move(events));
}

bool writeBytes(const std::string &path, const std::vector<uint8_t> &bytes, std::string &error) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = f && std::fclose(f) == 0 && ok;
    if (!ok)
        error = "the refined MIDI file " + path + " could not be written";
    return ok;
}
