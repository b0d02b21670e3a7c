// Helpers for the starter's tests: scratch folders, running commands,
// a stand-in engine, synthetic recordings.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

#include "app/starter/midi/midi_reader.h"

// A fresh folder under the system's temporary folder, removed by the destructor.
struct ScratchDir {
    std::string path;  // with trailing '/'
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
};

// The end of a command: exit code (128 + signal when killed), its output and errors.
struct CommandResult {
    int code = -1;
    std::string out;
    std::string err;
};

// A command started in the background, in a process group of its own.
struct Spawned {
    pid_t pid = -1;
    std::string outPath;
    std::string errPath;
};

/** Starts args with extra NAME=VALUE environment entries; output goes to files in dir. */
Spawned spawnCommand(const std::vector<std::string> &args, const std::vector<std::string> &env,
                     const std::string &dir);
/** Waits for a spawned command and collects its result. */
CommandResult waitCommand(const Spawned &s);
/** Like waitCommand, but a command still running after seconds is killed with its group (code -2). */
CommandResult waitCommandFor(const Spawned &s, double seconds);
/** Runs args to its end with extra environment entries, in dir. */
CommandResult runCommand(const std::vector<std::string> &args, const std::vector<std::string> &env,
                         const std::string &dir);
/** Runs the starter with args in dir, with extra environment entries. */
CommandResult runStarter(const std::vector<std::string> &args, const std::string &dir,
                         const std::vector<std::string> &env = {});

/** Waits until an engine run in a temporary folder under tmpDir reports progress; false on time-out. */
bool waitForProgress(const std::string &tmpDir, double timeoutSeconds);
/** Writes a stand-in engine script into dir and returns its path (see support.cpp). */
std::string writeFakeEngine(const std::string &dir);
/** Whole content of a file, "" when it cannot be read. */
std::string fileText(const std::string &path);
/** Writes text to a file. */
void writeText(const std::string &path, const std::string &text);
/** Names of the entries of a folder, sorted. */
std::vector<std::string> folderEntries(const std::string &dir);

// One synthetic note: key, start and length in seconds.
struct ToneNote {
    int key;
    double start;
    double length;
};

/** Writes notes as decaying harmonic tones; format is a libsndfile format code. */
bool writeTones(const std::string &path, int format, int rate, int channels,
                const std::vector<ToneNote> &notes, double seconds);
/** A short melody with chords used by the conversion tests. */
std::vector<ToneNote> testMelody();
