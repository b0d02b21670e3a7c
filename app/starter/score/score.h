// Sheet music from the engine's MIDI file. This folder owns everything the
// MusicXML output needs: the grid the notes are snapped to, staves and
// voices, note values with ties and rests, pitch spelling, chord symbols,
// tempo marks, dynamics, and writing .musicxml and .mxl files.
//
// All times here are grid steps: the finer of a 16th note and the grid of
// the Resolution setting (at most a 64th, at least the time signature's
// note value), counted from the start of the first measure. When some beats
// are written in triplets, a step is a third of that, so that a beat's
// thirds and sixths lie on steps too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/starter/midi/midi_reader.h"

// What the score is built on: the grid and the metre in steps.
struct ScoreGrid {
    int resolution = 4;          // log2 of steps per whole note
    int numerator = 4;
    int denominatorPower = 2;    // log2 of the beat's note value
    int64_t stepsPerBeat = 4;    // steps in one beat of the time signature's note value
    int64_t stepsPerDivision = 4;  // steps in the MIDI file's division (a quarter; the engine's: a beat)
    int64_t barSteps = 16;
    int64_t countSteps = 4;      // steps of a counted beat: a dotted beat in 6/8, 9/8, 12/8
    int64_t groupSteps = 4;      // steps of a beat group: two counted beats in 4/4 and 12/8
    int divisions = 4;           // steps per quarter note
    int64_t tuplet = 1;          // 3 when some beats are written in triplets: every count above is in thirds
                                 // of the plain grid's steps, whose values are then multiples of 3
    std::vector<int64_t> tripletBeats;  // the steps where a beat written in triplets starts, rising
};

// One note on the grid, after snapping.
struct ScoreNote {
    int key = 60;
    int64_t start = 0;
    int64_t end = 1;
    int staff = 1;               // 1 upper (or only), 2 lower
    int64_t released = 0;        // where the key was let go when its next strike ended the note sooner; 0: at end
};

// Notes that start and end together in one voice; no keys: a rest.
struct VoiceChord {
    int64_t start = 0;
    int64_t end = 0;
    std::vector<int> keys;       // highest first
    bool staccato = false;       // written to the next onset of its line, sounding a third of it or less
};

// A pitch as written: letter, alteration and octave.
struct SpelledPitch {
    char step = 'C';
    int alter = 0;
    int octave = 4;
};

// One written note, chord or rest: a piece of a VoiceChord within one measure.
struct ScoreEvent {
    int64_t start = 0;           // steps from the start of the score
    int64_t length = 0;
    std::vector<int> keys;       // empty: a rest
    std::vector<SpelledPitch> pitches;
    std::vector<std::string> accidentals;  // per key: "" or the accidental to print
    bool tieToNext = false;
    bool tieFromPrevious = false;
    bool wholeMeasureRest = false;
    bool hidden = false;         // a rest not printed: its voice is silent while the other plays
    bool staccato = false;
    int typeLevel = 2;           // 0 whole, 1 half, 2 quarter, ... (log2 of the note value)
    int dots = 0;
    bool triplet = false;        // within a beat written in triplets: three values in the time of two
    bool tripletStart = false;   // the first of its voice's events in that beat
    bool tripletStop = false;    // the last
};

// One voice of one staff within one measure.
struct ScoreVoice {
    int staff = 1;
    int voice = 1;               // 1 or 2 within the staff
    std::vector<ScoreEvent> events;
};

// A chord symbol from a chord-name marker.
struct ChordSymbol {
    int64_t at = 0;
    char rootStep = 'C';
    int rootAlter = 0;
    std::string kind = "major";  // a MusicXML kind value
    std::string kindText;        // the suffix as written, e.g. "m7"
    char bassStep = 0;           // 0: no bass note
    int bassAlter = 0;
};

// A tempo mark: beats of the MIDI file's division per minute (quarters; the engine's file: its beats).
struct TempoMark {
    int64_t at = 0;
    double beatsPerMinute = 120;
};

// A tempo instruction in words over the staff ("rit.", "accel.") where the tempo drifts.
struct TempoWords {
    int64_t at = 0;
    std::string text;
};

// A dynamics mark (p, mf or f) and the velocity it asks of a player.
struct DynamicMark {
    int64_t at = 0;
    std::string mark;
    int velocity = 80;
};

// One measure: where it lies and what its staves hold.
struct ScoreMeasure {
    std::string number;
    int64_t start = 0;
    int64_t length = 16;
    int64_t metricOffset = 0;    // steps of the full bar before start (a pick-up's missing part)
    bool implicit = false;       // a pick-up, not counted as a bar
    int fifths = 0;              // the key signature in force, -7..7
    bool minor = false;
    std::vector<ScoreVoice> voices;
};

// The whole score, ready to be written.
struct Score {
    std::string title;
    std::string partName = "Piano";
    int program = 0;             // General MIDI program 0..127
    ScoreGrid grid;
    int fifths = 0;              // key signature of the first measure, -7..7 (each measure holds its own)
    bool minor = false;
    int staves = 2;
    char singleClef = 'G';       // the clef of a single staff: 'G' or 'F'
    int clefOctave = 0;          // -1: the single staff sounds an octave below its clef (a guitar's treble)
    std::vector<ScoreMeasure> measures;
    std::vector<TempoMark> tempos;
    std::vector<TempoWords> tempoWords;
    std::vector<ChordSymbol> chords;
    std::vector<DynamicMark> dynamics;
};

// grid.cpp
/** The grid for a MIDI file and a Resolution setting; false with a reason when it has no musical time base. */
bool chooseGrid(const MidiContent &midi, double resolution, ScoreGrid &grid, std::string &error);
/** The grid step nearest to a tick. */
int64_t stepOfTick(const ScoreGrid &grid, int division, int64_t tick);
/** The beats (their first steps) to write in triplets: those whose onsets off the plain grid lie on
    sixths of the beat within a 288th of a beat, two of them, or one beside a beat with such an onset;
    in a simple metre whose beat holds four steps or more (shift: steps of the full first bar before
    the score's start), none in compound metres, whose beat is ternary already. */
std::vector<int64_t> chooseTripletBeats(const MidiContent &midi, const ScoreGrid &grid, int64_t shift);
/** The grid in thirds of its steps with these beats (in its own steps) written in triplets; the grid
    as it is when there are none. */
void useTriplets(ScoreGrid &grid, const std::vector<int64_t> &beats);
/** The grid point nearest to a tick: a sixth of the beat within a beat written in triplets, a step
    elsewhere (either may be the next beat's start). */
int64_t snapTick(const ScoreGrid &grid, int division, int64_t shift, int64_t tick);
/** The grid one voice is written on: the score's, with only those of its triplet beats in which one
    of the voice's chords starts on a sixth of the beat off the plain grid. In the others the voice
    keeps the plain grid: its chords' ends there move to the nearest plain step. */
ScoreGrid voiceGrid(const ScoreGrid &grid, std::vector<VoiceChord> &chords);
/** Notes snapped to the grid (snapTick), at least a step long, one note per key at a time: a later
    strike of a key ends the note before it (which keeps where it was released), strikes at one step
    merge. */
std::vector<ScoreNote> snapNotes(const MidiContent &midi, const ScoreGrid &grid, int64_t shift = 0);
/** Steps of the file's pick-up: its first time signature's span when a second follows within a bar
    of the metre; 0 when the file starts on a bar line. */
int64_t pickupSteps(const MidiContent &midi, const ScoreGrid &grid);
/** The file's tempo on the grid: the tempo from each step where it changes (the last event at a
    step wins), from step 0 on (a MIDI file's 120 before its first event). */
std::vector<TempoMark> tempoMap(const MidiContent &midi, const ScoreGrid &grid);
/** Measures covering the notes (at least one), the first a pick-up when shift > 0. */
std::vector<ScoreMeasure> layMeasures(const ScoreGrid &grid, int64_t shift, int64_t lastEnd);

// staves.cpp
/** Number of staves: two when the notes need both clefs, and for a piano unless it plays a single line
    on the treble staff; one treble staff an octave above the sound for a guitar; sets the single clef
    and its octave. Notes in onset order; legato: the steps of the plain grid's step (a single line's
    notes may overlap that much). */
int chooseStaves(const std::vector<ScoreNote> &notes, int program, char &singleClef, int &clefOctave,
                 int64_t legato = 1);
/** Puts each note on the upper (right hand) or lower (left hand) staff by following the hands'
    lines through the onsets: each onset's keys are cut between the hands where that continues
    each hand's last chords best, keeps the hands on their own staves and uncrossed (the left hand
    may strike bass and accompaniment together up to two octaves apart), and keeps a figure of
    single notes, each struck where the one before ends, in one hand, as it keeps the right hand's
    tune when its next note, a fifth or less away, is struck over a bass an octave or more below.
    legato: the steps of the plain grid's step, the overlap of a figure's notes. */
void splitStaves(std::vector<ScoreNote> &notes, int64_t legato = 1);
/** A note ended by a strike of its key on the other staff sounds on to its release when its own
    staff strikes nothing from there to the release: one hand holds the key while the other strikes
    it, a unison of the two staves. Notes in onset order (snapNotes). */
void holdAcrossStaves(std::vector<ScoreNote> &notes);
/** The notes of one staff in at most two voices of chords, the upper line first. A note held a step
    into the next onset ends there, and so does a note held longer into the next note of its line
    (one note, a fifth or less away, no other note sounding); a third line shortens the voice that
    ends first; a note joins a chord struck with it only within one hand's reach (two octaves), and
    never holds its key over its next strike. Where one voice rests exactly while the other's chords
    sound, those chords' keys nearer the resting line move into it. legato: the steps of the plain
    grid's step, the overlap ended as a line's legato. */
std::vector<std::vector<VoiceChord>> assignVoices(const std::vector<ScoreNote> &notes, int staff,
                                                  int64_t legato = 1);

// rhythm.cpp
/** The plain or dotted value of length steps (typeLevel 0 whole, 1 half, ...); false when none. */
bool noteValue(const ScoreGrid &grid, int64_t length, int &typeLevel, int &dots);
/** The beat written in triplets that holds [start, end) and is longer than it; -1 when none. */
int64_t tripletBeatOf(const ScoreGrid &grid, int64_t start, int64_t end);
/** The written pieces of [start, end) (score steps; toBar: what turns them into positions in the bar):
    a part of a beat written in triplets is cut off at the beat and written in values of three to the
    time of two, cut at the beat's thirds and then sixths where no value fits; the rest as splitSpan. */
std::vector<std::pair<int64_t, int64_t>> writtenPieces(const ScoreGrid &grid, int64_t toBar, int64_t start,
                                                       int64_t end, bool rest = false);
/** Metrical strength of a position in the bar: 0 bar, 1 group, 2 beat, 3 and up within the beat. */
int metricLevel(const ScoreGrid &grid, int64_t positionInBar);
/** Note values of [start, end) within one measure, split where the metre asks; positions in the bar.
    A rest keeps the beats shown where a syncopated note may cross them. */
std::vector<std::pair<int64_t, int64_t>> splitSpan(const ScoreGrid &grid, int64_t start, int64_t end,
                                                   bool rest = false);
/** A voice's chords written to the next onset of the line where that lies within a beat of their
    start, or where as sounded they would be tied and the rest after them is no longer than their
    shortest tied piece, the span is one written value (shift:
    steps of the full first bar before the score's start) and none of their keys is struck again
    before it, so a note reads as its value and not as a shorter one and a rest: staccato when it
    sounded a third of that value or less. */
void closeShortGaps(const ScoreGrid &grid, int64_t shift, const std::vector<ScoreNote> &notes,
                    std::vector<VoiceChord> &chords);
/** Fills the measures with a voice's chords and rests, tied across splits and barlines, in the values
    of the voice's grid (voiceGrid). */
void fillMeasures(Score &score, const ScoreGrid &grid, const std::vector<VoiceChord> &chords, int staff,
                  int voice);
/** Hides the rests of a voice that is silent where a reader needs no rest: the whole-bar rest of a
    staff's first voice in the measures where its second voice plays, the rests of a staff that does
    not play in the pick-up bar, and a second voice's rests before its first note in a bar it enters
    and after its last note in a bar it leaves. */
void hideSilentVoicesRests(Score &score);

// spelling.cpp
/** The written pitch of a key in a key signature and mode. */
SpelledPitch spellKey(int key, int fifths, bool minor);
/** The key signature of each measure: that of the file's last key signature event at or before the
    measure's start (one within a measure takes effect at the next bar line), the first event's before
    it, C major when the file has none; the score's key is its first measure's. */
void setMeasureKeys(Score &score, const MidiContent &midi);
/** Spells every note in its measure's key and marks the accidentals to print, measure by measure and
    staff by staff. */
void spellScore(Score &score);
/** Parses a chord name such as "C", "F#m", "Bb7", "Dm7/A"; false when it is none. */
bool parseChordName(const std::string &name, ChordSymbol &symbol);

// tempo.cpp
// The tempo marks and words of a score, as a copyist writes them.
struct ScoreTempo {
    std::vector<TempoMark> marks;
    std::vector<TempoWords> words;
};
/** The average tempo of each measure (the beats it holds over the time it lasts) under a tempo map. */
std::vector<double> measureTempos(const std::vector<TempoMark> &map, const std::vector<ScoreMeasure> &measures);
/** One mark at the start from the first bars' tempo; a new mark only where the tempo stays more than
    about 8 % away from the last for two bars or more, at a bar line; a drift over three bars or more
    written as "rit." or "accel." where it starts, with a mark where it settles. */
ScoreTempo copyistTempo(const std::vector<TempoMark> &map, const std::vector<ScoreMeasure> &measures);

// dynamics.cpp
/** Dynamics marks where the notes' velocities change clearly and lastingly (shift: the steps of the
    full first bar before the file's start); none when every note has one velocity. */
std::vector<DynamicMark> dynamicMarks(const MidiContent &midi, const ScoreGrid &grid, int64_t shift);

// build.cpp
/** Builds the score of a MIDI file; false with a reason when it cannot. */
bool buildScore(const MidiContent &midi, double resolution, const std::string &title, Score &score,
                std::string &error);

// musicxml.cpp
/** The score as a MusicXML 4.0 score-partwise document; false with a reason on failure. */
bool scoreDocument(const Score &score, std::string &document, std::string &error);
/** The META-INF/container.xml of a compressed score whose root file is rootName. */
bool containerDocument(const std::string &rootName, std::string &document, std::string &error);
