// The tests' one way of starting a program: in a process group of its own,
// with extra environment entries, a working folder, optional limits, its
// output collected in files (or read from a terminal it is given).
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// How to start a program.
struct Launch {
    std::vector<std::string> args;  // args[0] is the program's path
    std::vector<std::string> env;   // extra NAME=VALUE entries
    std::string dir;                // working folder, "" for the current one
    bool mergeErrors = false;       // standard error into the standard output
    bool discardOutput = false;     // standard output to /dev/null (no file a size limit could stop)
    bool terminal = false;          // standard input, output and error on a new terminal
    long long fileSizeLimit = -1;   // RLIMIT_FSIZE (SIGXFSZ back to its default action), -1 for none
    bool unprivileged = false;      // run as nobody when started as root
};

// A program started in the background.
struct Spawned {
    pid_t pid = -1;
    std::string outPath;  // its standard output (and errors when merged), "" on a terminal
    std::string errPath;
    int terminal = -1;    // the terminal's controlling side, -1 without one
};

// The end of a program: exit code (128 + signal when killed, -2 when it was
// killed for running too long), its output and errors.
struct CommandResult {
    int code = -1;
    int signal = 0;  // the signal that ended it, 0 when it exited
    std::string out;
    std::string err;
};

/** Starts a program as the launch says. */
Spawned spawnProcess(const Launch &launch);
/** Starts args with extra NAME=VALUE environment entries in dir; output goes to files. */
Spawned spawnCommand(const std::vector<std::string> &args, const std::vector<std::string> &env,
                     const std::string &dir);
/** Waits for a spawned program and collects its result (everything it wrote on a terminal is in out). */
CommandResult waitCommand(const Spawned &s);
/** Like waitCommand, but a program still running after seconds is killed with its group (code -2). */
CommandResult waitCommandFor(const Spawned &s, double seconds);
/** Runs args to its end with extra environment entries, in dir. */
CommandResult runCommand(const std::vector<std::string> &args, const std::vector<std::string> &env,
                         const std::string &dir);

/** Whether a process is gone: no longer there, or a zombie waiting for its parent. */
bool processGone(pid_t pid);

// Result of one engine run: exit code (-1 when a signal ended it), standard
// output and errors together, and the status file afterwards.
struct EngineOutcome {
    int exitCode;
    std::string stdoutText;
    std::string status;
};

/** Runs the engine binary with the given arguments; status is read from statusPath afterwards. */
EngineOutcome runEngineArgs(const std::vector<std::string> &args, const std::string &statusPath);
