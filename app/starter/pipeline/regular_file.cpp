// Files named on the command line: non-blocking opens, bounded reads, and a
// move into place that never replaces a file it was not allowed to replace.
#include "app/starter/pipeline/regular_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

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

bool readRegularFile(const std::string &path, size_t maxBytes, std::string &text, std::string &reason) {
    struct stat st{};
    int fd = openWithoutBlocking(path, st);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    bool regular = S_ISREG(st.st_mode);
    reason = !regular ? "is not a regular file" : static_cast<size_t>(st.st_size) > maxBytes ? "is too large" : "";
    text.clear();
    char chunk[65536];
    ssize_t got = 0;
    while (reason.empty() && (got = read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<size_t>(got));
        if (text.size() > maxBytes)
            reason = "is too large";  // it grew while being read
    }
    if (reason.empty() && got < 0)
        reason = std::strerror(errno);
    close(fd);
    return reason.empty();
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
