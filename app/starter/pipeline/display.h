// The progress lines at the bottom of the terminal and the sentences printed
// above them: a summary on standard output, a failure on standard error.
#pragma once

#include <string>
#include <vector>

#include "app/starter/pipeline/batch.h"
#include "app/starter/pipeline/library_notes.h"

// The progress lines drawn on standard error and the files they show.
struct Display {
    bool enabled = false;           // standard error is a terminal and --quiet is not given
    int liveLines = 0;              // lines drawn last
    const std::vector<Job> *jobs = nullptr;
    const std::vector<JobProgress> *progress = nullptr;
    FILE *errors = stderr;          // the starter's own standard error
    LibraryNotes *notes = nullptr;  // what libraries print, passed on above the lines
    bool quiet = false;             // --quiet: the libraries' notes are not shown
    std::vector<double> shown;      // the share each file's line showed last; it never goes back
    bool summariesToStderr = false; // standard output carries a file's bytes
};

/** One progress line of a running file: name, the share of its work done, what it is doing. */
std::string progressLine(const Job &job, Stage stage, double share, bool cancelling, int width);
/** Prints the libraries' notes caught since the last call (none with --quiet). */
void passOnNotes(Display &d);
/** Passes on the notes, clears the progress lines and draws one for every running file. */
void redraw(Display &d);
/** Clears the progress lines for good. */
void clearLive(Display &d);
/** Prints text above the progress lines, wrapped to the terminal's width on a terminal. */
void printAbove(Display &d, FILE *stream, const std::string &text);
/** Reports a finished file: a summary or listing on standard output, a failure on standard error. */
void reportJob(Display &d, const Job &job);
