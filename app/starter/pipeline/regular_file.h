// Opening the files a person names without blocking on a FIFO or a device,
// and moving the finished output into place without replacing a file.
#pragma once

#include <string>

#include <sys/stat.h>

/** Opens path read-only without blocking; -1 with errno when it cannot be opened. The
 *  caller checks st (filled by fstat) for a regular file and closes the descriptor. */
int openWithoutBlocking(const std::string &path, struct stat &st);
/** Whole content of a regular file of at most maxBytes; false with a short reason
 *  ("is not a regular file", "is larger than 1 MB", or the system's words). */
bool readRegularFile(const std::string &path, size_t maxBytes, std::string &text, std::string &reason);
/** Moves from to to, across file systems too; without replace it fails with EEXIST when to
 *  exists, even when to appears during the move. False with errno set on failure. */
bool moveFile(const std::string &from, const std::string &to, bool replace);
