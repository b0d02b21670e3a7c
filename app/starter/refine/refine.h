// The refinement stage of the starter: the engine's notes moved, split or
// dropped by the attacks measured in the recording it read, written as a
// new MIDI file. The folder app/starter/refine/ holds the stage: evidence
// (spectra and attacks), timeline (ticks and seconds), rules, rewrite
// (the MIDI file) and the thresholds.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "app/starter/midi/midi_reader.h"
#include "app/starter/refine/evidence.h"
#include "app/starter/refine/rules.h"
#include "app/starter/refine/thresholds.h"
#include "app/starter/refine/timeline.h"

// What the stage starts from.
struct RefineInput {
    std::string wavePath;            // the WAV file the engine read
    std::string engineMidiPath;      // the engine's MIDI file
    Settings engine{};               // the settings as the engine read them
    std::vector<uint16_t> tempoMap;  // the tempo file's values, empty when it followed none
    double regionStart = 0;          // seconds of the file where the analysed region starts: the refined file's tick 0
    bool notesKeysOnly = false;      // the rules read the attacks of the notes' keys alone (they propose no notes)
    double regionEnd = 0;            // seconds of the file where the analysed region ends, 0 for the recording's end
    bool keysAsGiven = false;        // the key range (KeyMin, KeyMax) was given: no note comes from outside it
};

// Everything measured once for one recording and its engine file.
struct RefineSession {
    MidiContent engine;
    std::vector<TimedNote> notes;  // the engine's notes in seconds of the recording
    AttackEvidence evidence;
    Timeline timeline;
    WrittenTime written;           // the refined file's time
    int lowestKey = 0;             // the keys heard that notes may have (KeyMin to KeyMax when given)
    int highestKey = 127;
};

/** Reads the engine's file, measures the recording and lines the two up; false with a sentence
 *  (the engine's file is then to be kept as it is), or when *stop is set. */
bool prepareRefinement(const RefineInput &input, RefineSession &session, const std::atomic<bool> *stop,
                       std::string &error);
/** Applies the rules with these thresholds and writes the refined file to out. */
bool writeRefinement(const RefineSession &session, const RefineThresholds &th, bool quantize, const std::string &out,
                     RefineCounts &counts, std::string &error);
/** The same, listing the attacks the proposal rule looked at in list (a developer's dump). */
bool writeRefinement(const RefineSession &session, const RefineThresholds &th, bool quantize, const std::string &out,
                     RefineCounts &counts, CandidateList &list, std::string &error);
/** Removes the attacks of notes starting before start or from end on (end 0: none at the end), so
 *  that no note comes from audio outside the analysed region. */
void keepRegionAttacks(AttackEvidence &e, double start, double end);
/** The notes of the keys heard within the session's key range; the notes added outside it are
 *  taken off counts.added. */
std::vector<TimedNote> withinKeys(const std::vector<TimedNote> &notes, const RefineSession &s, RefineCounts &counts);
/** The grid steps dropped before the file's tick 0 that line the engine's notes up best with the
 *  attacks (see fewestDroppedBars). */
int64_t bestDroppedSteps(const MidiContent &engine, const AttackEvidence &e, Timeline t);
/** The engine's notes in seconds of the recording (the heard key is the written one less transpose). */
std::vector<TimedNote> timedNotes(const MidiContent &engine, const Timeline &t, int transpose);
