// Files named on the command line: non-blocking opens, bounded reads, and a
// move into place that never replaces a file it was not allowed to replace.
#include "app/starter/files/regular_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The largest file streamed into a pipe or a device: far above the score of a long piece.
constexpr size_t MaxStreamedBytes = size_t(1) << 30;

}  // namespace

bool namesSameFile(const std::string &a, const std::string &b) {
    if (a.empty() || b.empty())
        return false;
    if (fs::absolute(a).lexically_normal() == fs::absolute(b).lexically_normal())
        return true;
    std::error_code ec;
    return fs::exists(a, ec) && fs::exists(b, ec) && fs::equivalent(a, b, ec);
}

int openWithoutBlocking(const std::string &path, struct stat &st) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    // Reads from a regular file block as usual from here on.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

FileReadFault readRegularFile(const std::string &path, size_t maxBytes, std::string &text, std::string &cause) {
    struct stat st{};
    int fd = openWithoutBlocking(path, st);
    if (fd < 0) {
        cause = std::strerror(errno);
        return FileReadFault::Unreadable;
    }
    FileReadFault fault = !S_ISREG(st.st_mode)                         ? FileReadFault::NotRegular
                          : static_cast<size_t>(st.st_size) > maxBytes ? FileReadFault::TooLarge
                                                                       : FileReadFault::None;
    text.clear();
    char chunk[65536];
    ssize_t got = 0;
    while (fault == FileReadFault::None && (got = read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<size_t>(got));
        if (text.size() > maxBytes)
            fault = FileReadFault::TooLarge;  // it grew while being read
    }
    if (fault == FileReadFault::None && got < 0) {
        cause = std::strerror(errno);
        fault = FileReadFault::Unreadable;
    }
    close(fd);
    return fault;
}

namespace {

// Renames without replacing; where the file system cannot, a hard link and an unlink do it.
bool renameNoReplace(const std::string &from, const std::string &to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
    if (link(from.c_str(), to.c_str()) != 0)
        return false;
    unlink(from.c_str());
    return true;
}

bool moveWithin(const std::string &from, const std::string &to, bool replace) {
    return replace ? std::rename(from.c_str(), to.c_str()) == 0 : renameNoReplace(from, to);
}

}  // namespace

bool moveFile(const std::string &from, const std::string &to, bool replace) {
    if (moveWithin(from, to, replace))
        return true;
    if (errno != EXDEV)
        return false;
    // Another file system: copy beside the target first, then move the copy in one step.
    fs::path target(to);
    std::string hidden = target.filename().string();
    hidden.insert(0, 1, '.');
    hidden.append(".partial");
    std::string partial = (target.parent_path() / hidden).string();
    std::error_code ec;
    fs::copy_file(from, partial, fs::copy_options::overwrite_existing, ec);
    if (!ec && moveWithin(partial, to, replace))
        return true;
    int e = ec ? ec.value() : errno;
    fs::remove(partial, ec);
    errno = e;
    return false;
}

namespace {

// Names that stand for standard output: "-", as many programs take it, and the system's names of
// descriptor 1. Other descriptor names (/dev/stderr, /dev/fd/N) are links to what they stand for.
bool isStandardOutputName(const std::string &path) {
    return path == "-" || path == "/dev/stdout" || path == "/dev/fd/1" || path == "/proc/self/fd/1";
}

// Names of this process's open descriptors: written into, never replaced, whatever they lead to.
bool isDescriptorName(const std::string &path) {
    return path == "/dev/stderr" || path.rfind("/dev/fd/", 0) == 0 || path.rfind("/proc/self/fd/", 0) == 0;
}

bool isStreamMode(mode_t mode) {
    return S_ISFIFO(mode) || S_ISCHR(mode);
}

// How long a wait for a reader or for room in a pipe lasts before keepWaiting is asked again.
constexpr int WaitSliceMs = 50;

// Opens a stream for writing without blocking: a FIFO without a reader is tried again while
// keepWaiting holds. A descriptor name that leads to a file (2> log) is appended to. -1 with errno set.
int openStream(const std::string &path, const std::function<bool()> &keepWaiting) {
    for (;;) {
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 || errno != ENXIO)
            return fd;
        if (!keepWaiting()) {
            errno = EINTR;
            return -1;
        }
        poll(nullptr, 0, WaitSliceMs);
    }
}

// Writes all of bytes into fd, waiting for room while keepWaiting holds; false with errno set.
bool writeAll(int fd, const std::string &bytes, const std::function<bool()> &keepWaiting) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (!keepWaiting()) {
            errno = EINTR;
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, WaitSliceMs);
    }
    return true;
}

}  // namespace

OutputTarget classifyOutput(const std::string &path) {
    if (isStandardOutputName(path))
        return OutputTarget::StandardOutput;
    if (isDescriptorName(path))
        return OutputTarget::Stream;
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0)
        return OutputTarget::Absent;
    if (S_ISLNK(st.st_mode)) {
        struct stat target{};
        bool reached = stat(path.c_str(), &target) == 0;
        if (reached && isStreamMode(target.st_mode))
            return OutputTarget::Stream;
        if (reached && S_ISDIR(target.st_mode))
            return OutputTarget::Folder;
        return reached && !S_ISREG(target.st_mode) ? OutputTarget::Unwritable : OutputTarget::Link;
    }
    if (S_ISREG(st.st_mode))
        return OutputTarget::File;
    if (S_ISDIR(st.st_mode))
        return OutputTarget::Folder;
    return isStreamMode(st.st_mode) ? OutputTarget::Stream : OutputTarget::Unwritable;
}

bool reachesDescriptor(const std::string &path, int fd) {
    OutputTarget t = classifyOutput(path);
    if (t == OutputTarget::StandardOutput)
        return fd == STDOUT_FILENO;
    struct stat out{}, st{};
    return t == OutputTarget::Stream && fstat(fd, &out) == 0 && stat(path.c_str(), &st) == 0 &&
           out.st_dev == st.st_dev && out.st_ino == st.st_ino;
}

bool streamFile(const std::string &from, const std::string &to, const std::function<bool()> &keepWaiting) {
    std::string bytes, cause;
    if (readRegularFile(from, MaxStreamedBytes, bytes, cause) != FileReadFault::None) {
        errno = EIO;
        return false;
    }
    if (classifyOutput(to) == OutputTarget::StandardOutput)
        return writeAll(STDOUT_FILENO, bytes, keepWaiting);
    int fd = openStream(to, keepWaiting);
    if (fd < 0)
        return false;
    struct stat st{};
    bool ok = fstat(fd, &st) == 0 && (isStreamMode(st.st_mode) || isDescriptorName(to));
    if (!ok)
        errno = EEXIST;  // something else took the name since it was checked
    ok = ok && writeAll(fd, bytes, keepWaiting);
    int e = errno;
    close(fd);
    errno = e;
    return ok;
}
