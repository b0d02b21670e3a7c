// Why the work on a file ended without its outputs: a kind and its cause, as
// values. The stages and the scheduler make them; the command line turns them
// into sentences and exit codes (cli/failures.h), and nothing else does.
#pragma once

#include <string>

#include "input/input.h"

enum class FailureKind {
    None,
    // The input.
    NoSuchInput,             // the file does not exist
    InputUnreachable,        // stat failed: cause
    InputIsFolder,
    InputUnreadable,         // it cannot be opened: cause
    InputNotRegular,         // a pipe, a socket or a device
    StandardInputTerminal,   // "-" on a terminal
    StandardInputUnread,     // standard input could not be copied
    AudioUnreadable,         // the file cannot be opened to examine its audio
    NotAudio,                // libsndfile reads no audio in it: its words in cause
    NoAudio,                 // it holds no sample frame
    ImplausibleRate,         // number: the sample rate its header claims
    StartBeyondEnd,          // --start (start) at or after the end of the audio (length)
    MidiUnreadable,          // a MIDI input the MIDI reader refuses: its words in cause
    // The outputs, before the work (subject: the output or its folder).
    OutputIsInput,
    OutputUnwritable,        // a socket or a block device
    OutputUnknownType,       // subject: the extension
    OutputFolderMissing,
    OutputIsFolder,
    OutputIsLink,
    OutputExists,
    OutputNotSkipped,        // it exists, but --skip-existing found the input's outputs not all whole
    OutputFolderNotWritable,
    // The work.
    NoTempFolder,
    ConversionNotWritten,
    Undecodable,             // the decoder cannot read the file: its words in cause
    Unresampled,             // the resampler could not be set up (a fault of this program): its words in cause
    BeatsUnreadable,         // the audio cannot be read for its beats: libsndfile's words in cause
    BeatsRegionUnreachable,  // the region asked for cannot be reached in the audio
    BeatTrackerSetUp,        // the beat tracker could not be set up (a fault of this program)
    BeatSpectrumSetUp,       // the metre's spectrum could not be set up (a fault of this program)
    SettingsNotWritten,
    SettingsTooLong,         // subject: the key whose line is longer than the engine reads
    SettingsHoldKey,         // subject: the key whose value holds another key, cause: that key
    SettingsHoldBreak,       // subject: the key whose value holds a line break or a NUL
    SettingsNotReadBack,     // the settings file does not read back as written
    SettingsUnreadable,      // the settings file cannot be read back: cause
    EngineNotStarted,        // subject: the engine, cause: the system's words
    EngineSignalled,         // number: the signal
    NoLaunchToken,
    NoEngineMidi,
    EngineStoppedUnasked,    // it ended as cancelled (code 1) with no cancel asked: its status file was lost
    EngineCode,              // the engine ended with code number 2 to 7, detail; engine: its settings
    UnknownEngineCode,       // number: the code
    Crashed,                 // an exception: cause
    // Placing the outputs (subject: the output).
    StreamRefused,           // cause: the system's words
    StreamNotWritten,        // cause: the system's words
    OutputAppeared,
    OutputNotWritten,
    ScoreNotWritten,         // cause: why, "" when the engine's MIDI file cannot be read
    // Stops.
    CancelledBeforeEngine,   // a first Ctrl-C before the engine ran
    StoppedAtOnce,           // a second Ctrl-C or a termination signal
    NotStartedCancelled,     // a first Ctrl-C came before the file was taken
    NotStartedStopped,       // a stop came before the file was taken
};

// One failure with what its sentence needs.
struct Failure {
    FailureKind kind = FailureKind::None;
    std::string subject;     // the file or folder it concerns, "" for none
    std::string cause;       // what a library, the system or a lower layer said, "" for none
    std::string option = "-o";  // Output kinds: the option that named the output
    int number = 0;          // a signal, the engine's code or a sample rate
    int detail = -1;         // the detail of the engine's final status line, -1 for none
    double start = 0;        // StartBeyondEnd: the start asked for, seconds
    double length = 0;       // StartBeyondEnd: the recording's length, seconds
    Settings engine{};       // EngineCode: the settings as the engine read them
};

/** A failure of this kind with no more to say. */
inline Failure failureOf(FailureKind kind, const std::string &subject = "", const std::string &cause = "") {
    Failure f;
    f.kind = kind;
    f.subject = subject;
    f.cause = cause;
    return f;
}
