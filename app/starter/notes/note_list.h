// Note lists: the notes of a written MIDI file as a table for spreadsheets and
// evaluation tools (CSV), or with the tempo map, beats, metre, key and chord
// names around them (JSON). Everything is read from the MIDI file itself, so
// the list and the file never disagree.
#pragma once

#include <string>
#include <vector>

#include "app/starter/midi/midi_reader.h"

// One note: its times in seconds and where it falls in the bars.
struct ListedNote {
    double onset = 0;          // seconds from the start of the file
    double offset = 0;
    int pitch = 60;            // MIDI key
    int velocity = 64;
    int bar = 1;               // as numbered in the score: a pick-up is bar 0
    double beat = 1;           // 1 on the bar line, 2.5 halfway through the second beat
};

// A tempo from a time on, in beats of the time signature's note value per minute.
struct ListedTempo {
    double time = 0;
    double beatsPerMinute = 120;
};

// A chord name the engine marked, and when.
struct ListedChord {
    double time = 0;
    std::string name;
};

// Everything a note list holds.
struct NoteList {
    std::vector<ListedNote> notes;    // in the order of their onsets (then pitch)
    std::vector<ListedTempo> tempos;
    std::vector<double> beats;        // seconds of every beat up to the end of the last note
    std::vector<double> downbeats;    // seconds of every bar line among them
    int numerator = 4;
    int denominator = 4;
    bool hasKey = false;
    int fifths = 0;                   // -7..7 when hasKey
    bool minor = false;
    std::vector<ListedChord> chords;
};

/** The note list of a parsed MIDI file (no notes, beats or tempos for a file without a division). */
NoteList noteListOf(const MidiContent &midi);
/** The CSV text: header onset_s,offset_s,pitch,velocity,bar,beat, one line a note. */
std::string noteListCsv(const NoteList &list);
/** The JSON text: the notes with the same fields, and the tempo map, beats, metre, key and chords. */
std::string noteListJson(const NoteList &list, const std::string &keyName);
/** True for a name the note list can take: ending in .csv or .json (any case). */
bool isNoteListName(const std::string &path);
/** True when the list is to be written as JSON (the name ends in .json). */
bool isJsonNoteList(const std::string &path);
/** True when the file at path reads back as a whole note list of its kind (by its name): JSON that
 *  parses into an object with a "notes" array, or CSV with its header and six fields on every
 *  line, the last one ended. */
bool noteListWhole(const std::string &path);
/** Writes the list into path as JSON or CSV; false with a reason when it cannot. */
bool writeNoteList(const NoteList &list, bool json, const std::string &keyName, const std::string &path,
                   std::string &error);
