// Catching what libraries print on standard error.
#include "app/starter/pipeline/library_notes.h"

#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace {

// How long the reader waits for text before it looks whether it should end.
constexpr int ReaderWakeMs = 50;

// Adds the complete lines of text to the caught ones; what follows the last line end stays in partial.
void keepLines(LibraryNotes &notes, std::string &partial, bool atEnd) {
    std::lock_guard<std::mutex> guard(notes.lock);
    size_t end;
    while ((end = partial.find('\n')) != std::string::npos) {
        notes.lines.push_back(partial.substr(0, end));
        partial.erase(0, end + 1);
    }
    if (atEnd && !partial.empty())
        notes.lines.push_back(partial);
}

// The reader: takes text from the pipe until it ends, or until it is asked to end and the pipe is empty.
void readNotes(LibraryNotes &notes) {
    std::string partial;
    char buffer[4096];
    while (true) {
        pollfd p{notes.readEnd, POLLIN, 0};
        int ready = poll(&p, 1, ReaderWakeMs);
        if (ready == 0 && notes.ending)
            break;
        if (ready <= 0)
            continue;
        ssize_t got = read(notes.readEnd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        partial.append(buffer, static_cast<size_t>(got));
        keepLines(notes, partial, false);
    }
    keepLines(notes, partial, true);
}

}  // namespace

void catchLibraryNotes(LibraryNotes &notes) {
    int ends[2];
    std::fflush(stderr);
    int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved < 0 || pipe2(ends, O_CLOEXEC) != 0) {
        if (saved >= 0)
            close(saved);
        return;
    }
    FILE *errors = fdopen(saved, "w");
    if (!errors || dup2(ends[1], STDERR_FILENO) < 0) {
        errors ? (void)std::fclose(errors) : (void)close(saved);
        close(ends[0]);
        close(ends[1]);
        return;
    }
    close(ends[1]);
    std::setvbuf(errors, nullptr, _IONBF, 0);
    notes.errors = errors;
    notes.savedError = saved;
    notes.readEnd = ends[0];
    notes.ending = false;
    try {
        notes.reader = std::thread(readNotes, std::ref(notes));
    } catch (const std::system_error &) {
        // No thread to read the pipe: standard error stays as it was.
        dup2(saved, STDERR_FILENO);
        close(notes.readEnd);
        std::fclose(errors);
        notes.errors = stderr;
        notes.savedError = notes.readEnd = -1;
    }
}

std::vector<std::string> takeLibraryNotes(LibraryNotes &notes) {
    std::lock_guard<std::mutex> guard(notes.lock);
    std::vector<std::string> taken;
    taken.swap(notes.lines);
    return taken;
}

void releaseLibraryNotes(LibraryNotes &notes) {
    if (notes.savedError < 0)
        return;
    std::fflush(stderr);
    dup2(notes.savedError, STDERR_FILENO);
    notes.ending = true;
    notes.reader.join();
    close(notes.readEnd);
    std::fclose(notes.errors);
    notes.errors = stderr;
    notes.savedError = notes.readEnd = -1;
}
