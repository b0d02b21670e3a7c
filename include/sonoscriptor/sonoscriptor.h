// libsonoscriptor: transcribes recordings into notes, beats, metre and key, as the
// sonoscriptor command does, from a program of your own.
//
//   sonoscriptor::Transcription t = sonoscriptor::transcribe("song.wav");
//   for (const sonoscriptor::Note &n : t.notes) ...
//   sonoscriptor::write_midi(t, "song.mid");
//
// The work is the command's: the same options with the same defaults, the engine run as
// its own process (sonoscriptor-engine, found beside the library's installed programs),
// the notes refined by the attacks heard in the recording. The MIDI file written is the
// one the command writes for the same recording and options.
//
// Calls from several threads run at once, each with its own cancel flag and progress.
// Link with `pkg-config --cflags --libs sonoscriptor`, or in CMake with
// find_package(Sonoscriptor) and the target Sonoscriptor::sonoscriptor.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sonoscriptor {

// How far a transcription has got.
struct Progress {
    double fraction = 0;   // of the whole work, 0 to 1
    std::string stage;     // what it is doing: "checking", "converting", "finding beats", "writing settings",
                           // "running the engine", "refining", "settling"; "done" last, with fraction 1
};

// What to transcribe and how: the command's options, each unset one at the command's default.
struct Options {
    std::optional<double> tempo;        // --tempo: constant beats per minute (default: beats tracked)
    std::string time_signature;         // --time-signature, e.g. "3/4" (default: found with the beats)
    std::string grid;                   // --grid: 4th, 8th, 16th, 32nd, 64th (default 16th)
    std::string key;                    // --key: auto, none, or C, Am, Eb, F#m ... (default auto)
    bool scale_only = false;            // --scale-only
    std::string instrument;             // --instrument: piano, guitar, strings, flute, organ (default none)
    std::optional<double> start;        // --start, seconds
    std::optional<double> end;          // --end, seconds
    std::optional<int> transpose;       // --transpose, semitones
    bool raw = false;                   // --raw: the engine's notes as it wrote them
    bool quantize = false;              // --quantize: refined notes snapped to the grid
    std::string tempo_map;              // --tempo-map FILE
    std::string settings_file;          // --settings FILE
    std::vector<std::pair<std::string, std::string>> settings;  // --set KEY=VALUE, in order
    std::vector<std::string> command_options;  // any further option of the command, as on its command line
    std::string engine;                 // --engine: the engine to run (default: the installed one)
    // Called on the calling thread about twenty times a second while the work goes on.
    std::function<void(const Progress &)> progress;
    // When it becomes true the work stops: the call throws Error of kind Cancelled.
    const std::atomic<bool> *cancel = nullptr;
};

// One note. Times are seconds of the recording (with raw, seconds of the engine's MIDI file from the
// start of the part transcribed).
struct Note {
    double onset = 0;
    double offset = 0;
    int pitch = 60;        // MIDI key number
    int velocity = 64;     // 1..127
    int bar = 1;           // bar number: 1 the first full bar, 0 a pick-up before it
    double beat = 1;       // beat within the bar from 1 (2.5: half way through the second), in beats
                           // counted: the signature's note value, a dotted one in 6/8, 9/8, 12/8
};

// The tempo from a time on, in quarter notes per minute as the MIDI file holds it.
struct TempoChange {
    double time = 0;
    double bpm = 120;
};

struct TimeSignature {
    int numerator = 4;
    int denominator = 4;
};

struct Key {
    bool known = false;    // false: no key was detected or asked for
    int fifths = 0;        // -7..7: sharps, or flats when negative
    bool minor = false;
    std::string name;      // "C major", "F# minor", "" when unknown
};

// A chord name the engine marked in the music.
struct Chord {
    double time = 0;
    std::string name;
};

// What a recording was transcribed into.
struct Transcription {
    std::vector<Note> notes;              // in order of onsets
    std::vector<TempoChange> tempo_map;   // in order of time, the first at time of the first event
    std::vector<double> beats;            // seconds of every beat counted: those tracked, else the MIDI file's
    std::vector<double> downbeats;        // the beats that begin a bar
    bool beats_tracked = false;           // found in the recording (false: a given or constant tempo)
    TimeSignature time_signature;         // the metre of the music (after any pick-up)
    Key key;
    std::vector<Chord> chords;
    // What the writers need: the Standard MIDI File the command writes (the notes above are read
    // from it), the score's title (the input's name) and the grid's resolution (4: sixteenths).
    std::vector<std::uint8_t> midi_file;
    std::string title;
    double grid = 4;
};

// Why a transcription failed: the command's exit status for it.
enum class ErrorKind : int {
    Cancelled = 1,        // the cancel flag stopped it
    ReadFailed = 2,       // reading the audio failed
    CannotOpen = 3,       // a file could not be opened, or an output is refused
    Unsupported = 4,      // the audio format is not supported
    WriteFailed = 5,      // a file could not be written
    OutOfMemory = 6,
    BadTiming = 7,        // the settings give a timing a MIDI file cannot hold
    EngineFailed = 8,     // the engine could not be run to its end
    BadOptions = 9,       // the options are wrong (the command's wrong command line)
    Interrupted = 130,    // stopped at once
};

// The one exception type of the library: what() is the line the command prints.
class Error : public std::runtime_error {
public:
    Error(ErrorKind kind, const std::string &sentence, const std::string &line);
    /** The kind, as the command's exit status. */
    ErrorKind kind() const noexcept { return kind_; }
    /** The command's exit status for it. */
    int exit_code() const noexcept { return static_cast<int>(kind_); }
    /** The command's sentence for it, without the program's and the input's names. */
    const std::string &sentence() const noexcept { return sentence_; }

private:
    ErrorKind kind_;
    std::string sentence_;
};

/** Transcribes an audio file (any format the command reads). Throws Error. */
Transcription transcribe(const std::string &path, const Options &options = {});
/** Transcribes samples: frames (at least one) of interleaved channels (1 or 2 and more), -1..1, at sample_rate Hz.
 *  Throws Error. */
Transcription transcribe(const float *samples, std::size_t frames, int sample_rate, int channels,
                         const Options &options = {});
/** The same, from a vector of interleaved samples (its size a multiple of channels). */
Transcription transcribe(const std::vector<float> &samples, int sample_rate, int channels,
                         const Options &options = {});

/** Writes the Standard MIDI File of a transcription (its midi_file: the file as transcribed, whatever
 *  became of its notes since). Throws Error (WriteFailed). */
void write_midi(const Transcription &transcription, const std::string &path);
/** Writes its score as MusicXML (.musicxml, .xml, or compressed .mxl), made from its midi_file as the
 *  command makes it. Throws Error (WriteFailed). */
void write_musicxml(const Transcription &transcription, const std::string &path);

/** The library's version, "MAJOR.MINOR.PATCH". */
std::string version();

}  // namespace sonoscriptor
