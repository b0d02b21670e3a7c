// Helpers for the starter's tests: scratch folders, runs of the starter,
// a stand-in engine, synthetic recordings. Starting programs, files and WAV
// bytes come from tests/support.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/starter/midi/midi_reader.h"
#include "tests/support/support.h"

// A fresh folder under the system's temporary folder, removed by the destructor;
// its path ends with '/'.
struct ScratchDir : TempDir {
    ScratchDir() { path += "/"; }
};

/** Runs the starter with args in dir, with extra environment entries. */
CommandResult runStarter(const std::vector<std::string> &args, const std::string &dir,
                         const std::vector<std::string> &env = {});

/** Checks condition every 20 ms until it holds (true) or timeoutSeconds have passed (false). */
bool waitUntil(const std::function<bool()> &condition, double timeoutSeconds);
/** Waits until an engine run in a temporary folder under tmpDir reports progress; false on time-out. */
bool waitForProgress(const std::string &tmpDir, double timeoutSeconds);
/** Writes a stand-in engine script into dir and returns its path (see support.cpp). */
std::string writeFakeEngine(const std::string &dir);
/** Whole content of a file, "" when it cannot be read (readFile under the starter tests' name). */
inline std::string fileText(const std::string &path) { return readFile(path); }
/** The option names (--name) of a help text's option lines: the first match of optionLine in each line. */
std::vector<std::string> helpOptions(const std::string &help, const std::string &optionLine);
/** Writes text to a file (writeFile under the starter tests' name). */
inline void writeText(const std::string &path, const std::string &text) { writeFile(path, text); }
/** Names of the entries of a folder, sorted. */
std::vector<std::string> folderEntries(const std::string &dir);

// One synthetic note: key, start and length in seconds.
struct ToneNote {
    int key;
    double start;
    double length;
    double gain = 1;  // amplitude, 1 the usual
    double cents = 0; // how far from its key at A = 440 Hz
};

/** Writes notes as decaying harmonic tones; format is a libsndfile format code. */
bool writeTones(const std::string &path, int format, int rate, int channels,
                const std::vector<ToneNote> &notes, double seconds);
/** A short melody with chords used by the conversion tests. */
std::vector<ToneNote> testMelody();
