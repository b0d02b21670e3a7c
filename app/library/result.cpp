// A run's MIDI file and findings as a Transcription: ticks become seconds of the
// recording through the file's tempo events, and bars and beats follow its time
// signatures (a first signature shorter than a bar of the next one is a pick-up).
#include "app/library/library.h"

#include <algorithm>
#include <cmath>

#include "app/starter/cli/messages.h"
#include "app/starter/protocol/status.h"

namespace {

// A stretch of the file in one time signature, from its tick on.
struct Segment {
    double tick = 0;
    int numerator = 4;
    int denominatorPower = 2;
    double beatTicks = 480;   // ticks of a beat counted (a dotted beat in compound metres)
    int beatsPerBar = 4;
    int firstBar = 1;         // number of its first bar
    double barTicks() const { return beatTicks * beatsPerBar; }
};

// The file's bars: its time signatures in order, the first a pick-up when pickup is set.
struct Bars {
    std::vector<Segment> segments;
    bool pickup = false;
};

Segment segmentOf(const MidiContent &midi, int64_t tick, int numerator, int power) {
    Segment s;
    s.tick = static_cast<double>(tick);
    s.numerator = std::clamp(numerator, 1, 255);
    s.denominatorPower = std::clamp(power, 0, 6);
    bool compound = compoundMetre(s.numerator, s.denominatorPower);
    // One division counts the note value divisionNotePower names; a beat counts the signature's.
    double noteTicks = std::max(1.0, midi.division * std::ldexp(1.0, divisionNotePower(midi) - s.denominatorPower));
    s.beatTicks = compound ? 3 * noteTicks : noteTicks;
    s.beatsPerBar = compound ? s.numerator / 3 : s.numerator;
    return s;
}

Bars barsOf(const MidiContent &midi) {
    std::vector<MidiSignature> signatures = midi.signatures;
    std::stable_sort(signatures.begin(), signatures.end(),
                     [](const MidiSignature &a, const MidiSignature &b) { return a.tick < b.tick; });
    Bars bars;
    if (signatures.empty() || signatures.front().tick > 0)
        bars.segments.push_back(segmentOf(midi, 0, 4, 2));  // a MIDI file's 4/4 before its first signature
    for (const MidiSignature &s : signatures) {
        if (!bars.segments.empty() && bars.segments.back().tick == static_cast<double>(s.tick))
            bars.segments.pop_back();  // the last signature at a tick wins
        bars.segments.push_back(segmentOf(midi, s.tick, s.numerator, s.denominatorPower));
    }
    std::vector<Segment> &g = bars.segments;
    bars.pickup = g.size() >= 2 && g[1].tick < g[1].barTicks();
    g[0].firstBar = bars.pickup ? 0 : 1;
    for (size_t i = 1; i < g.size(); ++i) {
        // A bar cut short by the next signature still counts as one.
        double span = g[i].tick - g[i - 1].tick;
        g[i].firstBar = g[i - 1].firstBar + static_cast<int>(std::clamp(std::ceil(span / g[i - 1].barTicks() - 1e-9), 1.0, 1e6));
    }
    return bars;
}

// The bar and the beat (from 1) at a tick.
void placeInBar(const Bars &bars, double tick, int &bar, double &beat) {
    const std::vector<Segment> &g = bars.segments;
    size_t i = 0;
    while (i + 1 < g.size() && g[i + 1].tick <= tick)
        ++i;
    if (bars.pickup && i == 0) {
        // The pick-up is the end of a bar of the metre that follows it.
        bar = 0;
        beat = (g[1].barTicks() - (g[1].tick - tick)) / g[1].beatTicks + 1;
        return;
    }
    double from = tick - g[i].tick;
    double whole = std::min(std::floor(from / g[i].barTicks()), 1e6);
    bar = g[i].firstBar + static_cast<int>(whole);
    beat = (from - whole * g[i].barTicks()) / g[i].beatTicks + 1;
}

// The beats of the file's grid up to lastTick, and which of them begin a bar.
void gridBeats(const Bars &bars, double lastTick, std::vector<double> &ticks, std::vector<bool> &downbeats) {
    const std::vector<Segment> &g = bars.segments;
    if (bars.pickup)
        for (double t = g[1].tick - g[1].beatTicks; t >= 0; t -= g[1].beatTicks) {
            ticks.insert(ticks.begin(), t);
            downbeats.insert(downbeats.begin(), false);
        }
    for (size_t i = bars.pickup ? 1 : 0; i < g.size(); ++i) {
        bool last = i + 1 == g.size();
        for (int k = 0;; ++k) {
            double t = g[i].tick + k * g[i].beatTicks;
            if (last ? t > lastTick : t >= g[i + 1].tick)
                break;
            ticks.push_back(t);
            downbeats.push_back(k % g[i].beatsPerBar == 0);
        }
    }
}

sonoscriptor::Key keyOf(const MidiContent &midi, const StatusLine &status) {
    // The MIDI file writes "no key signature" as C major; the final status line keeps 8 for it.
    int signature = isFinal(status.kind) ? status.keySignature : midi.hasKeySignature ? midi.keySignature : 8;
    int mode = midi.hasKeySignature ? midi.mode : status.mode;
    sonoscriptor::Key key;
    key.name = keyName(signature, mode);
    key.known = !key.name.empty();
    key.fifths = key.known ? signature : 0;
    key.minor = key.known && mode == 1;
    return key;
}

// A marker's text without the NUL and blank padding of the engine's four bytes.
std::string chordName(std::string text) {
    while (!text.empty() && (text.back() == '\0' || text.back() == ' '))
        text.pop_back();
    return text;
}

void addNotes(const MidiContent &midi, const MidiClock &clock, const Bars &bars, double start,
              sonoscriptor::Transcription &t) {
    for (const MidiNote &n : midi.notes) {
        sonoscriptor::Note note;
        double off = static_cast<double>(n.offTick >= 0 ? n.offTick : std::max(midi.lastTick, n.onTick));
        note.onset = start + secondsAt(clock, static_cast<double>(n.onTick));
        note.offset = start + secondsAt(clock, off);
        note.pitch = n.key;
        note.velocity = n.velocity;
        placeInBar(bars, static_cast<double>(n.onTick), note.bar, note.beat);
        t.notes.push_back(note);
    }
    std::stable_sort(t.notes.begin(), t.notes.end(), [](const sonoscriptor::Note &a, const sonoscriptor::Note &b) {
        return a.onset != b.onset ? a.onset < b.onset : a.pitch < b.pitch;
    });
}

void addBeats(const MidiContent &midi, const MidiClock &clock, const Bars &bars, const TempoPlan &tempo,
              double start, sonoscriptor::Transcription &t) {
    t.beats_tracked = tempo.tracked;
    if (tempo.tracked) {
        t.beats = tempo.beats;
        for (size_t i = 0; i < tempo.beats.size() && i < tempo.downbeats.size(); ++i)
            if (tempo.downbeats[i])
                t.downbeats.push_back(tempo.beats[i]);
        return;
    }
    std::vector<double> ticks;
    std::vector<bool> downbeats;
    gridBeats(bars, static_cast<double>(midi.lastTick), ticks, downbeats);
    for (size_t i = 0; i < ticks.size(); ++i) {
        t.beats.push_back(start + secondsAt(clock, ticks[i]));
        if (downbeats[i])
            t.downbeats.push_back(t.beats.back());
    }
}

}  // namespace

sonoscriptor::Transcription transcriptionOf(const std::vector<uint8_t> &bytes, const MidiContent &midi,
                                            const FileFindings &findings, double regionStart) {
    sonoscriptor::Transcription t;
    MidiClock clock = midiClockOf(midi);
    Bars bars = barsOf(midi);
    addNotes(midi, clock, bars, regionStart, t);
    for (size_t i = 0; i < clock.ticks.size(); ++i)
        t.tempo_map.push_back({regionStart + clock.seconds[i], 60e6 / static_cast<double>(clock.microsPerBeat[i])});
    addBeats(midi, clock, bars, findings.tempo, regionStart, t);
    const Segment &metre = bars.segments[bars.pickup ? 1 : 0];
    t.time_signature = {metre.numerator, 1 << metre.denominatorPower};
    t.key = keyOf(midi, findings.status);
    for (const MidiMarker &m : midi.markers)
        t.chords.push_back({regionStart + secondsAt(clock, static_cast<double>(m.tick)), chordName(m.text)});
    t.midi_file = bytes;
    return t;
}
