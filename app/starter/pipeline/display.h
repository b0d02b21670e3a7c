// The progress lines at the bottom of the terminal and the sentences printed
// above them: a summary on standard output, a failure on standard error.
#pragma once

#include <string>
#include <vector>

#include "app/starter/pipeline/batch.h"

// The progress lines drawn on standard error and the files they show.
struct Display {
    bool enabled = false;           // standard error is a terminal and --quiet is not given
    int liveLines = 0;              // lines drawn last
    const std::vector<Job> *jobs = nullptr;
    const std::vector<JobProgress> *progress = nullptr;
    bool summariesToStderr = false; // standard output carries a file's bytes
};

/** One progress line of a running file: name, then what it is doing and how far it has got. */
std::string progressLine(const Job &job, const JobProgress &progress, int width);
/** Clears the progress lines and draws one for every running file. */
void redraw(Display &d);
/** Clears the progress lines for good. */
void clearLive(Display &d);
/** Prints text above the progress lines, wrapped to the terminal's width on a terminal. */
void printAbove(Display &d, FILE *stream, const std::string &text);
/** Reports a finished file: a summary or listing on standard output, a failure on standard error. */
void reportJob(Display &d, const Job &job);
