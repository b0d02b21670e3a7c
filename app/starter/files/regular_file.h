// Opening the files a person names without blocking on a FIFO or a device,
// telling what an output name stands for, moving the finished output into
// place without replacing a file, and streaming it into a pipe or a device.
#pragma once

#include <functional>
#include <string>

#include <sys/stat.h>

/** Opens path read-only without blocking; -1 with errno when it cannot be opened. The
 *  caller checks st (filled by fstat) for a regular file and closes the descriptor. */
int openWithoutBlocking(const std::string &path, struct stat &st);
// Why a file could not be read whole.
enum class FileReadFault {
    None,
    Unreadable,  // it cannot be opened or read: the system's words in the cause
    NotRegular,  // a folder, a pipe, a socket or a device
    TooLarge,    // more than the bytes asked for at most
};
/** Whole content of a regular file of at most maxBytes into text; the fault when it cannot be
 *  read (None when it can), with the system's words in cause for Unreadable. */
FileReadFault readRegularFile(const std::string &path, size_t maxBytes, std::string &text, std::string &cause);
/** True when two names stand for one file: the same path once made absolute and normal, or one
 *  existing file (another spelling, a hard or symbolic link). */
bool namesSameFile(const std::string &a, const std::string &b);
/** Moves from to to, across file systems too; without replace it fails with EEXIST when to
 *  exists, even when to appears during the move. False with errno set on failure. */
bool moveFile(const std::string &from, const std::string &to, bool replace);

// What a name given as output stands for when it is looked at; the name itself, not what a
// last symbolic link leads to, except to tell a link to a pipe or a device.
enum class OutputTarget {
    Absent,          // nothing of that name: the file is created
    File,            // a regular file: replaced only with --force
    Link,            // a symbolic link to a file or to nothing: the link is replaced only with --force
    Stream,          // a FIFO or a character device, or a link to one: the bytes are written into it
    StandardOutput,  // "-" or /dev/stdout: the bytes go to standard output
    Folder,          // never replaced
    Unwritable,      // a socket or a block device: never replaced, never written into
};

/** What the output name stands for, by lstat (and stat for a link). */
OutputTarget classifyOutput(const std::string &path);
/** True when the output's bytes reach what this process's descriptor fd leads to (STDOUT_FILENO:
 *  its standard output, "-" included). */
bool reachesDescriptor(const std::string &path, int fd);
/** Writes the whole file from into the stream to (see OutputTarget::Stream and StandardOutput),
 *  waiting for a reader of a FIFO, and for room in it, while keepWaiting() holds. The stream
 *  is opened without blocking and must still be a FIFO or a device once open. False with errno
 *  set on failure (EINTR when keepWaiting() ended the wait). */
bool streamFile(const std::string &from, const std::string &to, const std::function<bool()> &keepWaiting);
