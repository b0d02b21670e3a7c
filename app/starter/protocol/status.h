// The status file shared with the engine: control value in, progress lines
// and the final status line out.
#pragma once

#include <string>

// What a read of the status file found.
enum class StatusKind {
    Unknown,   // empty, missing, torn or unrecognised content
    Control,   // a bare integer: the starter's 0 or a cancel request -1
    Progress,  // "percent,lo,hi,8,0" while the engine runs
    Success,   // "100,lo,hi,keysig,mode"
    Failure,   // "-C.DDD,lo,hi,keysig,mode"
};

// One parsed status file content.
struct StatusLine {
    StatusKind kind = StatusKind::Unknown;
    int control = 0;        // Control: the integer
    double percent = 0;     // Progress: 0..100; Success: 100
    int code = 0;           // Success 0; Failure: the engine's code
    int detail = 0;         // Failure: the engine's detail
    int lowest = 128;       // lowest key written, 128 for none
    int highest = -1;       // highest key written, -1 for none
    int keySignature = 8;   // -7..7, 8 for none
    int mode = 0;           // 0 major, 1 minor
};

/** Parses status-file content; Unknown for anything torn or malformed. */
StatusLine parseStatus(const std::string &text);
/** Reads the whole status file into text; false when it is missing. */
bool readStatusText(const std::string &path, std::string &text);
/** Reads and parses the status file; Unknown when missing or torn. */
StatusLine readStatus(const std::string &path);
/** True when a content kind is one of the engine's final status lines. */
bool isFinal(StatusKind kind);
/** Replaces the content of a file at once (write beside it, then rename). */
bool replaceFileText(const std::string &path, const std::string &text);
/** Asks the engine to stop: writes -1 unless the file is missing or final. */
bool requestCancel(const std::string &statusPath);
