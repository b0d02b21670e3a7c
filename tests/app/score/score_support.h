// Helpers for the score tests: MIDI files to build scores from, schema
// validation with xmllint, and an independent reading of written MusicXML.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/starter/midi/midi_reader.h"

// A MIDI file's content with the engine's header: 4/4, 120 per minute, C major, 4 ticks per 16th.
MidiContent songOf(const std::vector<MidiNote> &notes, int numerator = 4, int denominatorPower = 2);
/** The bytes of a format-0 MIDI file holding the content's meta events and notes. */
std::vector<uint8_t> midiFileBytes(const MidiContent &content);
/** Writes midiFileBytes(content) to path. */
void writeMidiFile(const std::string &path, const MidiContent &content);

/** Runs xmllint against the bundled MusicXML (or container) schema; "" when valid, else its report. */
std::string schemaProblems(const std::string &path, const char *schema = "musicxml.xsd");

// A sounding note read back from MusicXML: ties joined, times in divisions.
struct ReadNote {
    int key = 0;
    int64_t onset = 0;
    int64_t duration = 0;
    int staff = 1;
    bool operator<(const ReadNote &o) const {
        return onset != o.onset ? onset < o.onset : key < o.key;
    }
};

// What the tests check in a written score.
struct ReadScore {
    std::vector<ReadNote> notes;          // sorted by onset, then key
    std::vector<int64_t> measureLengths;  // the length every voice of a measure fills
    std::vector<std::string> problems;    // voices that do not fill their measure, ties left open
    std::vector<std::string> harmonies;   // root (with alter) and kind, e.g. "Bb minor"
    std::vector<std::string> perMinute;   // the metronome marks' texts
    std::vector<std::string> tempoWords;  // words over the staff, e.g. "rit."
    std::string fifths, mode, beats, beatType, firstMeasureNumber;
    int divisions = 0;
    int staccatos = 0;                    // notes with a staccato mark
    bool firstImplicit = false;
};

/** Reads a MusicXML file with libxml2; problems lists what is inconsistent. */
ReadScore readScore(const std::string &path);
/** Reads the MusicXML text of a document in memory. */
ReadScore readScoreText(const std::string &text);
/** How many times `what` stands in `text`. */
size_t countIn(const std::string &text, const std::string &what);
