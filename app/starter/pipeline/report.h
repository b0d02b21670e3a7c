// Batches at scale: skipping the inputs whose outputs are already in place
// (--skip-existing), and the JSON lines of --report, one per input as it ends.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "app/starter/pipeline/batch.h"

/** The files an input's run writes into place: its MIDI file when kept, its score and its note list. */
std::vector<std::string> plannedOutputs(const FilePlan &file);
/** True when every output of the file is a regular file in place that reads back whole: the MIDI file
 *  by the MIDI reader, a score by scoreFileWhole, a note list by noteListWhole. Outputs are moved
 *  into place only once written whole, so an output a killed run was writing never exists; one
 *  written to standard output or a stream is never in place. */
bool outputsComplete(const FilePlan &file);
/** The outcome of a file skipped because its outputs are complete. */
Outcome skippedOutcome(const FilePlan &file);

// The --report file, open for appending; every line goes out in one write, so that runs that share
// the file (and a run that is killed) leave whole lines.
struct ReportFile {
    int fd = -1;
    std::mutex lock;
    std::string failure;  // the system's words for the first line that could not be written whole, "" while none
};

/** Opens path for appending (created when missing); false with the system's words in error. */
bool openReport(ReportFile &report, const std::string &path, std::string &error);
/** The JSON line of one ended file: input, outputs, exit code and kind, sentence, notes, times. */
std::string reportLine(const Job &job);
/** Appends the line of one ended file; nothing when the report is not open. A line that cannot be
 *  written whole (a full disk, a file-size limit) leaves its cause in report.failure. */
void appendReport(ReportFile &report, const Job &job);
/** Closes the report. */
void closeReport(ReportFile &report);
