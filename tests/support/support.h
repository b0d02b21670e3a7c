// Helpers shared by the tests: temporary folders, files, WAV files, the
// engine's MIDI output, and runs of programs (the engine binary among them).
#pragma once

#include <string>
#include <vector>

#include "tests/support/midi.h"
#include "tests/support/process.h"
#include "tests/support/wav.h"

// A fresh folder under the system's temporary folder (or under parent), removed
// with its contents when the object dies.
struct TempDir {
    std::string path;  // without a trailing '/'; "" when it could not be made
    explicit TempDir(const std::string &parent = "");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

/** Writes a text file (replacing it). */
void writeFile(const std::string &path, const std::string &text);
/** Reads a whole file; empty when missing. */
std::string readFile(const std::string &path);
/** Whether a file exists. */
bool fileExists(const std::string &path);

/** Runs the engine binary with a settings file (lines "Key=Value") and a status file in dir. */
EngineOutcome runEngineWith(const TempDir &dir, const std::string &settingsText, const std::string &statusText = "0");
