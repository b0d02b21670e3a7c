// Sentences for people: the engine's failure codes, the summary of a run,
// note and key names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/starter/beats/beats.h"
#include "app/starter/plan/stage.h"
#include "app/starter/protocol/settings_file.h"
#include "input/input.h"

// Where the tempo of a run came from.
enum class TempoSource {
    Unknown,    // not said in the summary
    Given,      // a constant tempo from the options or settings
    Tracked,    // the beats found in the recording
    Fallback,   // constant, because no steady beat was found
    Map,        // a tempo map given by the user
};

// What a finished transcription reports in its summary.
struct RunReport {
    std::string input;            // as given on the command line
    std::string output;           // the file written ("-": standard output)
    std::string scoreOutput;      // the score written beside the MIDI file, "" for none
    int code = 0;                 // 0 done, 1 cancelled
    double percent = 100;         // share transcribed when cancelled, as the engine last said
    int notes = 0;
    int lowest = 128;             // lowest key written, 128 for none
    int highest = -1;             // highest key written, -1 for none
    int keySignature = 8;         // -7..7, 8 for none
    int mode = 0;                 // 0 major, 1 minor
    bool keyDetected = false;     // key detection ran
    double audioSeconds = 0;      // duration of the audio analysed (when cancelled: that the file covers)
    double elapsedSeconds = 0;    // wall-clock time taken
    std::string conversion;       // what the input was converted from, "" when not
    int channels = 0;             // channels of the input; more than 2 are mixed to mono
    int64_t nonFiniteSamples = 0; // infinite or NaN samples taken as silence
    double announcedSeconds = 0;  // the audio's length as its header says
    double decodedSeconds = 0;    // the audio's length as decoded (less when the file ends early)
    TempoSource tempoSource = TempoSource::Unknown;
    double tempo = 0;             // beats per minute of the beat counted (in 6/8 the dotted quarter)
    bool dottedBeat = false;      // the beat counted is a dotted note (6/8, 9/8, 12/8; 6/4, 9/16 ...)
    int dottedPower = 2;          // that dotted note: 2 a quarter (6/8), 1 a half (6/4), 3 an eighth (9/16)
    int beats = 0;                // beats found, when tracked
    NoBeat tempoFallback;         // why no beat was followed, when Fallback
    std::string metre;            // the metre of the beats followed and its source, "" for none
    bool refined = false;         // the attack evidence refined the notes
    bool refineCancelled = false; // a cancel stopped the refinement: the engine's notes as they are
    int moved = 0;                // notes moved, split, dropped and added by it
    int split = 0;
    int dropped = 0;
    int added = 0;
    double tuningCents = 0;       // how far the recording lies from A = 440 Hz, when it was measured
    int referencePitch = 440;     // the A its notes were heard against (Hz)
    bool tuned = false;           // the reference followed the tuning measured (else 440, or as asked)
};

/** One plain sentence for an engine code and detail, with the settings as the engine read them. */
std::string engineFailureSentence(int code, int detail, const Settings &engine);
/** What a first Ctrl-C does, by where the files stand: an engine running, a file being refined,
 *  one not yet transcribed, files waiting. */
std::string cancelSentence(bool engineRunning, bool refining, bool beforeEngine, bool waiting);
/** The last line of a run stopped at once: files stopped in progress and files not started; or,
 *  when the stop changed nothing, that every file had ended before it. */
std::string stopSentence(int stopped, int notStarted, bool changedNothing);
/** What a file is doing, as its progress line says it (audioDescription: what it is converted from). */
std::string stageWords(Stage stage, const std::string &audioDescription, bool cancelling);
/** The line that passes on what the audio decoder printed. */
std::string decoderNoteLine(const std::string &note);
/** The line of a file whose work ended without its outputs: the input, then the failure's sentence. */
std::string fileFailureLine(const std::string &input, const std::string &sentence);
/** The one-paragraph summary of a finished or cancelled transcription. */
std::string summaryParagraph(const RunReport &report);
/** The summary of an input --skip-existing skipped: "song.wav: skipped; song.mid is in place." */
std::string skippedSentence(const std::string &input, const std::vector<std::string> &outputs);
/** The report file cannot be opened for appending: the system's words in cause. */
std::string reportUnwritableSentence(const std::string &path, const std::string &cause);
/** Lines of the report could not be written (a full disk, a file-size limit): the system's words in cause. */
std::string reportWriteFailedSentence(const std::string &path, const std::string &cause);
/** A word for an exit code, for the lines of --report: done, cancelled, read-failed, ...; "stopped"
 *  for 130 and 128 + a signal. */
std::string exitKindWord(int code);
// What the summary of a MIDI input's score says.
struct MidiScoreReport {
    std::string input;            // the MIDI file, as given
    std::string output;           // the score written
    int notes = 0;
    int bars = 0;
    bool tempoGiven = true;       // the file holds a tempo event (else 120 beats per minute)
    bool metreGiven = true;       // the file holds a time signature (else 4/4)
    std::string metre;            // the time signature the score is written in, e.g. "6/8"
    std::vector<std::string> metresLeftOut;  // the file's other time signatures, e.g. "3/4", once each
    bool cutShort = false;        // the file is not whole: the score holds what could be read
};

/** The summary of a MIDI input's score: "piece.mid -> piece.musicxml: score of 12 notes in 4 bars.",
 *  then the MIDI defaults the score took where the file gives no tempo or time signature, and the
 *  file's time signatures the score does not follow, and whether the file was cut short. */
std::string midiScoreSummary(const MidiScoreReport &report);
/** The sentence that says a constant tempo replaces beats that were not found. */
std::string fallbackSentence(const NoBeat &reason, double tempo);
/** The metre in words with its source: "3/4 time, found from the accents and chord changes". */
std::string metreWords(int numerator, int denominatorPower, bool given, bool judged, bool weak);
/** Name of a MIDI key with its octave, e.g. 60 -> "C4" (flats: "Db4" for 61). */
std::string noteName(int key, bool flats);
/** Name of a key signature and mode, e.g. (1, 1) -> "E minor"; 8 -> "". */
std::string keyName(int keySignature, int mode);
/** A duration in words: "42.5 s" or "3 min 12 s". */
std::string durationText(double seconds);
