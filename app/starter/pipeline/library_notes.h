// What libraries print on standard error while a batch runs (the MP3
// decoder's notes on damaged input, such as "Note: Skipped 1024 bytes in
// input.") is caught through a pipe and handed to the starter, which prints
// it above its progress lines, or not at all with --quiet. The starter's own
// messages go to standard error as it was.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The pipe in place of standard error, and the lines read from it.
struct LibraryNotes {
    FILE *errors = stderr;          // standard error as it was, for the starter's own messages
    int savedError = -1;            // its descriptor, -1 while nothing is caught
    int readEnd = -1;
    std::thread reader;
    std::atomic<bool> ending{false};
    std::mutex lock;                // guards lines
    std::vector<std::string> lines; // caught lines not taken yet
};

/** Points standard error at a pipe read by a thread of its own; nothing changes when that cannot be done. */
void catchLibraryNotes(LibraryNotes &notes);
/** The lines caught since the last call. */
std::vector<std::string> takeLibraryNotes(LibraryNotes &notes);
/** Points standard error back where it was, after reading what is left in the pipe; errors becomes stderr. */
void releaseLibraryNotes(LibraryNotes &notes);
