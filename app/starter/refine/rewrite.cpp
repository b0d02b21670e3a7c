// Writing the refined notes, markers and tempo changes as one MIDI track.
#include "app/starter/refine/rewrite.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "app/starter/midi/midi_writer.h"

namespace {

// Ranks of the events that share a tick: tempo and time signature, note-off, marker, note-on.
enum EventRank { TempoRank = 0, NoteOffRank = 1, MarkerRank = 2, NoteOnRank = 3 };
// The engine's leading events start with its time signature: delta, FF 58 04, then nn dd cc bb.
constexpr size_t SignatureAt = 1, SignatureBytes = 7;
// A constant grid's first step this close to its tempo (a share of it) needs no tempo of its own.
constexpr double SameTempoShare = 0.001;

// A tempo event at tick: microseconds a beat of division ticks for seconds over ticks.
MidiEvent tempoEvent(double tick, double seconds, double ticks, int division) {
    int64_t micros = std::clamp<int64_t>(std::llround(seconds * 1e6 * division / ticks), 1, 16777215);
    std::vector<uint8_t> data;
    appendBigEndian(data, static_cast<uint32_t>(micros), 3);
    return {std::max<int64_t>(0, std::llround(tick)), TempoRank, metaEvent(0x51, data)};
}

// The micros of a tempo event.
int64_t microsOf(const MidiEvent &e) { return (e.bytes[3] << 16) | (e.bytes[4] << 8) | e.bytes[5]; }

// Tempo events that make every tick play at its time: the lead-in's first step, then (when the
// grid followed a tempo file) every beat whose length differs from the one before; a constant
// grid's own tempo returns after the first step.
void addTempos(std::vector<MidiEvent> &events, const Timeline &t, const WrittenTime &w, int division,
               int64_t microsPerBeat, int64_t lastTick) {
    double leadEnd = secondsAtStep(t, w.leadEndStep);
    std::vector<MidiEvent> tempos{tempoEvent(0, leadEnd - w.regionStart, w.leadTicks, division)};
    if (!t.followsMap) {
        double share = static_cast<double>(microsOf(tempos.front())) / static_cast<double>(microsPerBeat) - 1;
        if (std::abs(share) <= SameTempoShare)
            return;
        std::vector<uint8_t> data;
        appendBigEndian(data, static_cast<uint32_t>(microsPerBeat), 3);
        tempos.push_back({std::llround(w.leadTicks), TempoRank, metaEvent(0x51, data)});
    } else {
        // Pieces of beats from the first step's end: to the next beat line, then beat by beat.
        double from = w.leadEndStep;
        for (double b = std::floor(from / t.stepsPerBeat + 1e-9) + 1;; ++b) {
            double to = b * t.stepsPerBeat, tick = w.leadTicks + (from - w.leadEndStep) * TicksPerStep;
            if (tick > static_cast<double>(lastTick))
                break;
            if (to - from > 1e-9)
                tempos.push_back(tempoEvent(tick, secondsAtStep(t, to) - secondsAtStep(t, from),
                                            (to - from) * TicksPerStep, division));
            from = to;
        }
    }
    int64_t previous = -1;
    for (const MidiEvent &e : tempos) {
        if (microsOf(e) == previous)
            continue;
        previous = microsOf(e);
        events.push_back(e);
    }
}

// The pick-up's time signature: its steps in the grid's note value, halved toward the metre's (a
// grid coarser than the metre's note value keeps its own).
void pickupSignature(int64_t steps, int metrePower, double stepsPerBeat, uint8_t &numerator, uint8_t &power) {
    int stepPower = metrePower + static_cast<int>(std::lround(std::log2(stepsPerBeat)));
    while (steps % 2 == 0 && stepPower > metrePower) {
        steps /= 2;
        --stepPower;
    }
    numerator = static_cast<uint8_t>(steps);
    power = static_cast<uint8_t>(stepPower);
}

// True when the grid's step is a plain note value (a power of two of the beat, finer or coarser:
// a quarter-note grid steps over two eighths of 6/8) that a time signature can count.
bool countableStep(double stepsPerBeat) {
    double p = std::log2(stepsPerBeat);
    return stepsPerBeat > 0 && std::abs(p - std::round(p)) < 1e-9;
}

// The leading events with the pick-up's time signature in place of the metre's, and the metre's
// at the first bar line; unchanged without a pick-up.
std::vector<uint8_t> withPickup(std::vector<uint8_t> leading, const Timeline &t, const WrittenTime &w,
                                std::vector<MidiEvent> &events) {
    if (w.pickupSteps <= 0 || w.pickupSteps > 255 || !countableStep(t.stepsPerBeat) ||
        leading.size() < SignatureAt + SignatureBytes || leading[SignatureAt] != 0xFF ||
        leading[SignatureAt + 1] != 0x58 || leading[SignatureAt + 2] != 4)
        return leading;
    std::vector<uint8_t> metre(leading.begin() + SignatureAt, leading.begin() + SignatureAt + SignatureBytes);
    pickupSignature(w.pickupSteps, metre[4], t.stepsPerBeat, leading[SignatureAt + 3], leading[SignatureAt + 4]);
    events.push_back({w.pickupSteps * TicksPerStep, TempoRank, metre});
    return leading;
}

// How the written file counts time. The engine's division and tempo count beats of the time
// signature's lower number (an eighth in 6/8, so a dotted beat of 144 reads as 432 a minute); the
// written file counts quarter notes as MIDI defines them and clicks on the beat counted. Its ticks
// are the engine's: the division and every tempo change by one factor, so each tick keeps its time.
struct Counting {
    int division;      // ticks a quarter note (the engine's where no quarter fits in 15 bits)
    double scale;      // quarters' microseconds over the engine's beats'
    int clocks;        // MIDI clocks a click; 0: the engine's kept
};

// The written file's counting for the engine's file and metre.
Counting countingOf(const MidiContent &engine, int numerator, int denominatorPower) {
    double scale = std::ldexp(1.0, std::clamp(denominatorPower, 0, 6) - 2);
    double division = engine.division * scale;
    if (division != std::floor(division) || division < 1 || division > 32767)
        return {engine.division, 1.0, 0};
    return {static_cast<int>(division), scale, clicksClocks(numerator, denominatorPower)};
}

// The leading events counted as the written file counts: its click in the time signature and its
// tempo in microseconds a quarter.
void countLeading(std::vector<uint8_t> &leading, const Counting &c) {
    constexpr size_t ClocksAt = SignatureAt + 5, TempoAt = SignatureAt + SignatureBytes + 1;
    if (c.clocks == 0 || leading.size() < TempoAt + 6 || leading[SignatureAt] != 0xFF ||
        leading[SignatureAt + 1] != 0x58 || leading[TempoAt] != 0xFF || leading[TempoAt + 1] != 0x51 ||
        leading[TempoAt + 2] != 3)
        return;
    leading[ClocksAt] = static_cast<uint8_t>(std::min(c.clocks, 255));
    int64_t micros = (leading[TempoAt + 3] << 16) | (leading[TempoAt + 4] << 8) | leading[TempoAt + 5];
    micros = std::clamp<int64_t>(std::llround(static_cast<double>(micros) * c.scale), 1, 16777215);
    for (int i = 0; i < 3; ++i)
        leading[TempoAt + 3 + i] = static_cast<uint8_t>(micros >> (8 * (2 - i)));
}

// A note at its ticks in the written file, and its place among the refined notes.
struct WrittenNote {
    int64_t on, off;
    uint8_t channel, key, velocity;
    size_t order;
};

// One note of a key and channel at a time, as a sequencer pairs note-ons and note-offs: a later
// strike ends the note before it, and strikes at one tick (two the grid snaps to one step) are one
// note to the later end. The notes kept stay in their order.
std::vector<WrittenNote> oneNotePerKey(std::vector<WrittenNote> notes) {
    std::stable_sort(notes.begin(), notes.end(), [](const WrittenNote &a, const WrittenNote &b) {
        return a.channel != b.channel ? a.channel < b.channel : a.key != b.key ? a.key < b.key : a.on < b.on;
    });
    std::vector<WrittenNote> kept;
    for (const WrittenNote &n : notes) {
        WrittenNote *before = kept.empty() ? nullptr : &kept.back();
        if (before && before->channel == n.channel && before->key == n.key && n.on < before->off) {
            if (n.on == before->on) {
                before->off = std::max(before->off, n.off);
                continue;
            }
            before->off = n.on;
        }
        kept.push_back(n);
    }
    std::sort(kept.begin(), kept.end(), [](const WrittenNote &a, const WrittenNote &b) { return a.order < b.order; });
    return kept;
}

}  // namespace

int64_t noteTick(const Timeline &t, const WrittenTime &w, double seconds, bool quantize) {
    double tick = writtenTick(t, w, seconds);
    if (quantize)
        tick = std::round(tick / TicksPerStep) * TicksPerStep;
    return std::max<int64_t>(0, std::llround(tick));
}

std::vector<uint8_t> refinedMidi(const MidiContent &engine, const std::vector<TimedNote> &notes, const Timeline &t,
                                 const WrittenTime &w, bool quantize) {
    std::vector<WrittenNote> written;
    for (const TimedNote &n : notes) {
        int64_t on = noteTick(t, w, n.on, quantize);
        int64_t off = std::max(noteTick(t, w, n.off, quantize), on + (quantize ? TicksPerStep : 1));
        written.push_back({on, off, static_cast<uint8_t>(n.channel & 0x0F), static_cast<uint8_t>(n.key & 0x7F),
                           static_cast<uint8_t>(std::clamp(n.velocity, 1, 127)), written.size()});
    }
    std::vector<MidiEvent> events;
    int64_t last = 0;
    for (const WrittenNote &n : oneNotePerKey(std::move(written))) {
        events.push_back({n.on, NoteOnRank, {static_cast<uint8_t>(0x90 | n.channel), n.key, n.velocity}});
        events.push_back({n.off, NoteOffRank, {static_cast<uint8_t>(0x80 | n.channel), n.key, n.velocity}});
        last = std::max(last, n.off);
    }
    for (const MidiMarker &m : engine.markers) {
        double seconds = secondsAtTick(t, static_cast<double>(m.tick));
        int64_t tick = std::max<int64_t>(0, std::llround(writtenTick(t, w, seconds)));
        events.push_back({tick, MarkerRank, metaEvent(0x06, std::vector<uint8_t>(m.text.begin(), m.text.end()))});
        last = std::max(last, tick);
    }
    Counting c = countingOf(engine, engine.numerator, engine.denominatorPower);
    std::vector<uint8_t> leading = engine.leadingEvents;
    countLeading(leading, c);
    leading = withPickup(std::move(leading), t, w, events);
    int64_t micros = std::clamp<int64_t>(std::llround(static_cast<double>(engine.microsPerBeat) * c.scale), 1, 16777215);
    addTempos(events, t, w, c.division, micros, last);
    return oneTrackFile(c.division, leading, std::move(events));
}

bool writeBytes(const std::string &path, const std::vector<uint8_t> &bytes, std::string &error) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = f && std::fclose(f) == 0 && ok;
    if (!ok)
        error = "the refined MIDI file " + path + " could not be written";
    return ok;
}
