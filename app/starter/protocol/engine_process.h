// The engine's protocol. This folder owns how the starter talks to
// sonoscriptor-engine: the settings file, the status file, and the engine
// process with the files around it (where the engine and the filter records
// are, and the private temporary folder), which this header declares.
#pragma once

#include <string>

#include <sys/types.h>

/** Folder of the running executable, with a trailing '/'. */
std::string executableDir();
/** The engine beside this executable, else in the installed bin folder. */
std::string defaultEnginePath();
/** Folder of the filter records, with a trailing '/': build tree or installed. */
std::string defaultDataDir();

/** Creates a private temporary folder (no blanks, '?' or long path); "" on failure. */
std::string makePrivateTempDir();
/** Removes a folder made by makePrivateTempDir with everything in it (links are not followed). */
void removeTempDir(const std::string &dir);
/** A path the settings file can carry for path: itself, or a link to it named linkPath. */
std::string settingsSafePath(const std::string &path, const std::string &linkPath);
/** A command-line argument for the engine: every blank becomes '?'. */
std::string engineArgument(const std::string &path);

/** Starts the engine with settings, status and the launch token, in a process group of its own
 *  (a terminal's Ctrl-C reaches only the starter), with default signal handling, nothing blocked,
 *  standard input and output on /dev/null; false with the system's words in error. */
bool startEngine(const std::string &engine, const std::string &settingsPath,
                 const std::string &statusPath, pid_t &pid, std::string &error);
/** True when the process has ended; status is its exit code, or 128 + signal (8 when it cannot be waited for). */
bool processEnded(pid_t pid, int &status, bool &signalled);
/** Waits for the process to end; returns what processEnded gives. */
int waitProcess(pid_t pid, bool &signalled);
