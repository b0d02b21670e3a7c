// Note tracking and MIDI output: note tracker, event writer, MIDI file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Tracker state of one key.
struct KeyState {
    int32_t previousStrength;
    int32_t strengthSum;
    int32_t runLength;
    int32_t held;
    int32_t onStep;
    int32_t soundingValue;
    int32_t pendingOffValue;
    int32_t pendingOnValue;
};

// Note tracker state of the run.
struct TrackerState {
    KeyState *keys;  // keyColumns records
    int32_t stepCounter;
    int32_t deltaSteps;
    int32_t stepPhase;
    int32_t nothingYet;
    char lastChordName[4];
    int32_t lowestKeyWritten;
    int32_t highestKeyWritten;
};

// Event writer state and the MIDI output stream.
struct WriterState {
    FILE *midi;
    int32_t byteCount;
    int32_t runningStatus;
    int32_t firstEvent;
    char firstMarkerName[4];
};

constexpr int MidiHeaderSize = 98;
constexpr const char *MidiText = "Created by Sonoscriptor Music Recognition System";

extern TrackerState tracker;
extern WriterState writer;

/** Resets the tracker for a new run. */
void resetTracker();
/** Tracks one frame: the note strength of every key (indexed by key), the frame's row in its
    block and the block's chord name (4 bytes, NUL-padded). */
void trackNotes(const int32_t *strengths, int row, const char *chordName);

/** Writes the low eight bits of b; code 5/22 on failure. */
void writeByte(int b);
/** Writes text bytes, counted in `byteCount`; the given detail on failure. */
void writeText(const char *text, int length, int detail);
/** Writes a chord marker (a marker meta event) after deltaSteps, which it clears. Before the
    first note it only keeps the name (4 bytes, NUL-padded) for the marker written with that
    note, and leaves deltaSteps alone. */
void writeMarkerEvent(int32_t &deltaSteps, const char *name);
/** Writes one note-off (type 0x80) or note-on (0x90) after deltaSteps, which it clears. */
void writeNoteEvent(int32_t &deltaSteps, int type, int key, int value);
// The longest variable-length quantity: 7 bits a byte hold any 64-bit value in 10 bytes.
constexpr int MaxVariableLength = 10;
/** The variable-length quantity of value (7 bits a byte, most significant first, every byte but
    the last with its top bit set) into bytes (MaxVariableLength of room); returns how many. */
int variableLength(uint64_t value, uint8_t *bytes);
/** Writes a delta time of `steps` x TicksPerStep ticks as a variable-length quantity. */
void writeDeltaTime(int32_t steps);
/** Note number written for a key (transposed and folded, or `rhythmNote`). */
int noteNumber(int key);
/** Velocity written for an event type and velocity source. */
int velocity(int type, int value);
/** Resets the writer state for a new output. */
void resetWriter();

/** Writes the header area over the reserved 98 bytes. */
void writeMidiHeader();
/** Flushes the output; a failure is a failed byte write (code 5/22). */
void flushMidi();
