// Starting programs for the tests, waiting for them and collecting what they wrote.
#include "tests/support/process.h"

#include "tests/support/support.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// In the child: standard input from /dev/null, output and errors into the files.
void redirectOutput(const Launch &launch, const Spawned &s) {
    int in = open("/dev/null", O_RDONLY);
    int out = launch.discardOutput ? open("/dev/null", O_WRONLY)
                                   : open(s.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = launch.mergeErrors ? out : open(s.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0)
        _exit(126);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
}

// In the child: limits, identity, environment and folder; then the program itself.
[[noreturn]] void becomeProgram(const Launch &launch, std::vector<char *> &argv) {
    if (launch.fileSizeLimit >= 0) {
        struct rlimit limit{static_cast<rlim_t>(launch.fileSizeLimit), static_cast<rlim_t>(launch.fileSizeLimit)};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(126);
        signal(SIGXFSZ, SIG_DFL);  // the program itself must keep the signal from killing it
    }
    if (launch.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
        _exit(126);
    for (const std::string &e : launch.env)
        putenv(const_cast<char *>(e.c_str()));
    if (!launch.dir.empty() && chdir(launch.dir.c_str()) != 0)
        _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
}

// Reads what is waiting on a terminal's controlling side into text; false at its end.
bool readTerminal(int fd, std::string &text, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return true;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    text.append(buffer, static_cast<size_t>(n));
    return true;
}

// The result of a spawned program that ended with a wait status.
CommandResult collected(const Spawned &s, int status, std::string terminalText) {
    CommandResult r;
    r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r.code = r.signal ? 128 + r.signal : WEXITSTATUS(status);
    if (s.terminal >= 0) {
        while (readTerminal(s.terminal, terminalText, 0)) {
        }
        close(s.terminal);
        r.out = terminalText;
        return r;
    }
    r.out = readFile(s.outPath);
    r.err = s.errPath == s.outPath ? "" : readFile(s.errPath);
    std::remove(s.outPath.c_str());
    std::remove(s.errPath.c_str());
    return r;
}

}  // namespace

Spawned spawnProcess(const Launch &launch) {
    static int counter = 0;
    Spawned s;
    std::vector<char *> argv;
    for (const std::string &a : launch.args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    if (launch.terminal) {
        s.pid = forkpty(&s.terminal, nullptr, nullptr, nullptr);
        if (s.pid == 0)
            becomeProgram(launch, argv);
        return s;
    }
    std::string tag = std::to_string(getpid()) + "-" + std::to_string(++counter);
    s.outPath = (fs::temp_directory_path() / ("sonoscriptor-test-out-" + tag)).string();
    s.errPath = launch.mergeErrors ? s.outPath : (fs::temp_directory_path() / ("sonoscriptor-test-err-" + tag)).string();
    s.pid = fork();
    if (s.pid == 0) {
        setpgid(0, 0);
        redirectOutput(launch, s);
        becomeProgram(launch, argv);
    }
    return s;
}

Spawned spawnCommand(const std::vector<std::string> &args, const std::vector<std::string> &env,
                     const std::string &dir) {
    Launch launch;
    launch.args = args;
    launch.env = env;
    launch.dir = dir;
    return spawnProcess(launch);
}

CommandResult waitCommand(const Spawned &s) {
    std::string text;
    while (s.terminal >= 0 && readTerminal(s.terminal, text, -1)) {
    }
    int status = 0;
    waitpid(s.pid, &status, 0);
    return collected(s, status, text);
}

CommandResult waitCommandFor(const Spawned &s, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::string text;
    int status = 0;
    while (waitpid(s.pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(-s.pid, SIGKILL);
            waitpid(s.pid, &status, 0);
            CommandResult r = collected(s, status, text);
            r.code = -2;
            return r;
        }
        if (s.terminal < 0 || !readTerminal(s.terminal, text, 10))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return collected(s, status, text);
}

CommandResult runCommand(const std::vector<std::string> &args, const std::vector<std::string> &env,
                         const std::string &dir) {
    return waitCommand(spawnCommand(args, env, dir));
}

bool processGone(pid_t pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

EngineOutcome runEngineArgs(const std::vector<std::string> &args, const std::string &statusPath) {
    Launch launch;
    launch.args = {ENGINE_PATH};
    launch.args.insert(launch.args.end(), args.begin(), args.end());
    launch.mergeErrors = true;
    CommandResult r = waitCommand(spawnProcess(launch));
    return EngineOutcome{r.signal ? -1 : r.code, r.out, readFile(statusPath)};
}
