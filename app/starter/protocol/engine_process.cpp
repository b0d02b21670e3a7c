// Engine location, temporary folder, and the engine process itself.
#include "app/starter/protocol/engine_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/starter/protocol/exit_code.h"
#include "app/starter/protocol/settings_file.h"
#include "engine/engine.h"  // LaunchToken, the engine's third argument

namespace fs = std::filesystem;

extern char **environ;

#ifndef STARTER_BUILD_DIR
#define STARTER_BUILD_DIR ""
#endif
#ifndef STARTER_SOURCE_DATA_DIR
#define STARTER_SOURCE_DATA_DIR ""
#endif
#ifndef STARTER_INSTALL_BIN_DIR
#define STARTER_INSTALL_BIN_DIR "/usr/local/bin"
#endif
#ifndef STARTER_INSTALL_DATA_DIR
#define STARTER_INSTALL_DATA_DIR "/usr/local/share/sonoscriptor/"
#endif
#ifndef STARTER_RELATIVE_DATA_DIR
#define STARTER_RELATIVE_DATA_DIR "../share/sonoscriptor/"
#endif

namespace {

// True for a folder path the engine's arguments can carry without trouble.
bool plainFolder(const std::string &dir) {
    return !dir.empty() && dir[0] == '/' && dir.size() <= 100 &&
           dir.find_first_of(" ?\r\n\t") == std::string::npos;
}

// A folder path with exactly one trailing '/'.
std::string withSlash(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir + "/";
}

// Decodes a wait status into an exit code, or 128 + signal.
int decodeStatus(int status, bool &signalled) {
    signalled = WIFSIGNALED(status);
    return signalled ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// How the engine is started: in a process group of its own, so that a terminal's Ctrl-C reaches
// only the starter (which turns it into a cancel request); with every signal unblocked and the
// starter's handled signals back to their defaults (a broken pipe stays ignored, as for the
// starter); standard input and output on /dev/null, and no other descriptor of the starter's
// (a server's client connections and uploads being written stay the server's own).
struct SpawnSetUp {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    int failure = 0;  // the first error of the set-up, 0 for none

    SpawnSetUp() {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
        sigset_t none, handled;
        sigemptyset(&none);
        sigemptyset(&handled);
        for (int sig : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&handled, sig);
        short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        for (int e : {posix_spawnattr_setflags(&attributes, flags), posix_spawnattr_setpgroup(&attributes, 0),
                      posix_spawnattr_setsigmask(&attributes, &none),
                      posix_spawnattr_setsigdefault(&attributes, &handled),
                      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0),
                      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0),
                      posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1)})
            failure = failure ? failure : e;
    }
    ~SpawnSetUp() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetUp(const SpawnSetUp &) = delete;
    SpawnSetUp &operator=(const SpawnSetUp &) = delete;
};

}  // namespace

std::string executableDir() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("./") : withSlash(self.parent_path().string());
}

std::string defaultEnginePath() {
    std::string beside = executableDir() + "sonoscriptor-engine";
    if (access(beside.c_str(), X_OK) == 0)
        return beside;
    std::string installed = withSlash(STARTER_INSTALL_BIN_DIR) + "sonoscriptor-engine";
    return access(installed.c_str(), X_OK) == 0 ? installed : beside;
}

std::string defaultDataDir() {
    std::string exe = executableDir();
    bool inBuildTree = std::string(STARTER_BUILD_DIR) != "" && exe == withSlash(STARTER_BUILD_DIR);
    std::vector<std::string> candidates;
    if (inBuildTree)
        candidates.push_back(STARTER_SOURCE_DATA_DIR);
    std::error_code ec;
    fs::path relative = fs::weakly_canonical(fs::path(exe) / STARTER_RELATIVE_DATA_DIR, ec);
    if (!ec)
        candidates.push_back(withSlash(relative.string()));
    candidates.push_back(STARTER_INSTALL_DATA_DIR);
    for (const std::string &dir : candidates)
        if (!dir.empty() && access((withSlash(dir) + "filter.txt").c_str(), R_OK) == 0)
            return withSlash(dir);
    return withSlash(inBuildTree ? STARTER_SOURCE_DATA_DIR : STARTER_INSTALL_DATA_DIR);
}

std::string makePrivateTempDir() {
    const char *env = std::getenv("TMPDIR");
    std::string base = env && plainFolder(env) ? env : "/tmp";
    std::string pattern = withSlash(base) + "sonoscriptor-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        if (base == "/tmp")
            return "";
        pattern = "/tmp/sonoscriptor-XXXXXX";
        name.assign(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (!mkdtemp(name.data()))
            return "";
    }
    return withSlash(name.data());
}

void removeTempDir(const std::string &dir) {
    if (dir.empty())
        return;
    std::error_code ec;
    fs::remove_all(dir, ec);
}

std::string settingsSafePath(const std::string &path, const std::string &linkPath) {
    std::string absolute = fs::absolute(path).lexically_normal().string();
    bool safe = absolute.size() <= 200 && absolute.find_first_of("\r\n") == std::string::npos;
    for (const std::string &key : settingsKeys())
        if (absolute.find(key + "=") != std::string::npos)
            safe = false;
    if (safe)
        return absolute;
    std::error_code ec;
    fs::create_symlink(absolute, linkPath, ec);
    return ec ? absolute : linkPath;
}

std::string engineArgument(const std::string &path) {
    std::string arg = path;
    for (char &c : arg)
        if (c == ' ')
            c = '?';
    return arg;
}

bool startEngine(const std::string &engine, const std::string &settingsPath,
                 const std::string &statusPath, pid_t &pid, std::string &error) {
    std::string a1 = engineArgument(settingsPath), a2 = engineArgument(statusPath);
    std::vector<char *> argv = {const_cast<char *>(engine.c_str()), a1.data(), a2.data(),
                                const_cast<char *>(LaunchToken), nullptr};
    SpawnSetUp setUp;
    int e = setUp.failure;
    if (e == 0)
        e = posix_spawn(&pid, engine.c_str(), &setUp.actions, &setUp.attributes, argv.data(), environ);
    if (e == 0)
        return true;
    error = std::strerror(e);
    return false;
}

bool processEnded(pid_t pid, int &status, bool &signalled) {
    int raw = 0;
    pid_t r;
    do
        r = waitpid(pid, &raw, WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == 0)
        return false;
    if (r < 0) {
        status = exitStatus(ExitCode::EngineFailed);
        signalled = false;
        return true;
    }
    status = decodeStatus(raw, signalled);
    return true;
}

int waitProcess(pid_t pid, bool &signalled) {
    int raw = 0;
    pid_t r;
    do
        r = waitpid(pid, &raw, 0);
    while (r < 0 && errno == EINTR);
    if (r < 0) {
        signalled = false;
        return exitStatus(ExitCode::EngineFailed);
    }
    return decodeStatus(raw, signalled);
}
