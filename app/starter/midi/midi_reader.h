// MIDI files in the starter. This folder owns reading back the Standard MIDI
// File the engine wrote (for the summary, the refinement and the score) and
// writing the refined one; this header is the reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One note: key, velocity and its start and end in ticks.
struct MidiNote {
    int key = 0;
    int velocity = 0;
    int64_t onTick = 0;
    int64_t offTick = -1;  // -1 when the file never ends the note
    int channel = 0;
};

// A tempo event: from tick on, microseconds per beat.
struct MidiTempo {
    int64_t tick = 0;
    int64_t microsPerBeat = 500000;
};

// A time signature event and its tick.
struct MidiSignature {
    int64_t tick = 0;
    int numerator = 4;
    int denominatorPower = 2;
};

// A key signature event and its tick.
struct MidiKey {
    int64_t tick = 0;
    int fifths = 0;                // -7..7 as the file gives it (not clamped)
    int mode = 0;                  // 0 major, 1 minor
};

// A marker event (the engine's chord names) and its tick.
struct MidiMarker {
    int64_t tick = 0;
    std::string text;
};

// What the summary, the score and the tests need from a MIDI file.
struct MidiContent {
    int division = 0;              // ticks per beat
    int64_t microsPerBeat = 500000;
    bool hasKeySignature = false;
    int keySignature = 8;          // -7..7 when hasKeySignature
    int mode = 0;                  // 0 major, 1 minor
    std::vector<MidiKey> keys;     // every key signature event, in file order
    int numerator = 4;             // time signature (the last one read)
    int denominatorPower = 2;
    int clocksPerClick = 24;       // MIDI clocks a metronome click (the last time signature read)
    std::vector<MidiSignature> signatures;  // every time signature event, in file order
    int program = -1;              // first program change, -1 when none
    std::vector<MidiNote> notes;   // in order of their note-on
    std::vector<MidiTempo> tempos; // every tempo event, in file order
    std::vector<MidiMarker> markers;
    int64_t lastTick = 0;          // tick of the last event read
    int format = 0;
    int tracks = 0;                // track chunks read
    bool cutShort = false;         // a chunk runs past the end of the file, or a track has no end: what
                                   // could be read was kept, but the file is not whole
    // The events before the first note or marker of the first track, as written (delta times
    // included), without the end of the track.
    std::vector<uint8_t> leadingEvents;
};

// Seconds from tick 0 of a MIDI file through its tempo events: where each tempo begins, in ticks
// and seconds, and its microseconds a quarter (a division) and seconds a tick from there on.
struct MidiClock {
    std::vector<int64_t> ticks;
    std::vector<double> seconds;
    std::vector<int64_t> microsPerBeat;
    std::vector<double> secondsPerTick;
};

/** Parses a Standard MIDI File from bytes; false with a reason when malformed. */
bool parseMidi(const std::vector<uint8_t> &bytes, MidiContent &content, std::string &error);
/** True when the file at path is a regular file that begins as a Standard MIDI File does ("MThd"),
 *  whatever its name; a pipe or a device is never opened. */
bool hasMidiHeader(const std::string &path);
/** Reads and parses a Standard MIDI File; false with a reason when it cannot. */
bool readMidiFile(const std::string &path, MidiContent &content, std::string &error);
/** True for a metre counted in dotted beats of three of its note value: 6/8, 9/8, 12/8, 6/4 ... */
bool compoundMetre(int numerator, int denominatorPower);
/** MIDI clocks of one metronome click of the starter's files: the beat counted, at 24 clocks a
 *  quarter (36 in 6/8, 12 in 3/8, 48 in 2/2); at least 1. */
int clicksClocks(int numerator, int denominatorPower);
/** A time signature as written: "6/8" (the note value's power of two taken from 0 to 30). */
std::string metreName(int numerator, int denominatorPower);
/** Log2 of the note value one division of the file counts (2: a quarter note, as MIDI defines it).
 *  The engine counts its division and tempo in beats of the time signature's lower number and
 *  writes 24 clocks a click in every metre; the starter's files count quarters and click on the
 *  beat counted (36 clocks in 6/8), so a metre other than x/4 with 24 clocks a click is the engine's. */
int divisionNotePower(const MidiContent &content);
/** The clock of a file with a division: 120 quarter notes a minute before its first tempo event,
 *  as MIDI has it; of several events at one tick the last wins, and events of no length are passed. */
MidiClock midiClockOf(const MidiContent &content);
/** Seconds from tick 0 at a tick (a fraction of a tick too, for beats of a grid). */
double secondsAt(const MidiClock &clock, double tick);
