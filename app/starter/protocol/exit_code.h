// The exit codes of the sonoscriptor command. Codes 0 to 7 are the engine's
// own and are passed on as it reports them; 8, 9 and 130 are the starter's.
// With several inputs the command ends with the highest code of them.
#pragma once

enum class ExitCode : int {
    Done = 0,             // every file transcribed
    Cancelled = 1,        // cancelled: the MIDI file keeps what was transcribed
    ReadFailed = 2,       // reading the audio failed
    CannotOpen = 3,       // a file could not be opened, or an output is refused
    Unsupported = 4,      // the audio format is not supported
    WriteFailed = 5,      // writing the MIDI file, the score, the converted audio or the report failed
    OutOfMemory = 6,      // the engine ran out of memory
    BadTiming = 7,        // the settings give a timing the MIDI file cannot hold
    EngineFailed = 8,     // the engine could not be run to its end, or the beat tracker could not be set up
    BadCommandLine = 9,   // the command line is wrong
    Interrupted = 130,    // stopped at once by a second Ctrl-C (SIGTERM, SIGHUP: 128 + signal)
};

/** The number the process ends with. */
constexpr int exitStatus(ExitCode code) { return static_cast<int>(code); }
