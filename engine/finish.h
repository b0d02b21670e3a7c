// The end of a run: its result codes and the routine that ends it. Input,
// analysis and MIDI output end the run through these alone.
#pragma once

#include <cstdint>

// Result codes of the finish routine (the process exit code).
enum FinishCode {
    CodeSuccess = 0,
    CodeCancelled = 1,
    CodeReadFailure = 2,
    CodeOpenFailure = 3,
    CodeWaveFormat = 4,
    CodeWriteFailure = 5,
    CodeNoMemory = 6,
    CodeTimeBase = 7,
};

/** Ends the run: completes or deletes the MIDI file, reports, exits. */
[[noreturn]] void finish(int code, int detail);
/** calloc that ends the run with code 6 and the detail when it fails. */
void *allocZeroed(int64_t count, int64_t size, int detail);
