// The pipeline: this folder runs a run plan. It owns what happens to each
// input, stage by stage (check, convert, find beats, write settings, run the
// engine, refine the notes, settle the result into place), the scheduler that
// runs several inputs at once with their progress lines, and Ctrl-C and
// termination.
#pragma once

#include <atomic>
#include <csignal>
#include <string>
#include <vector>

#include "app/starter/pipeline/batch.h"

// Ctrl-C presses and termination requests, counted by the signal handlers.
extern std::atomic<int> interruptCount;
extern std::atomic<int> terminateSignal;
// Set by Ctrl-C, SIGTERM and SIGHUP alike: conversion, beat finding and the
// refinement of the notes stop at once.
extern std::atomic<bool> stopRequested;

/** Gives the calling thread a cancel flag of its own (nullptr: none): while it is set, the stages
 *  on this thread stop on it instead of on stopRequested, and its engine is asked to cancel as on
 *  a first Ctrl-C. The web server cancels one transcription at a time with it. */
void setThreadCancel(const std::atomic<bool> *flag);
/** The flag the stages on this thread stop on: its own cancel flag, else stopRequested. */
const std::atomic<bool> *stopFlag();
/** Installs the handlers for Ctrl-C and termination, and ignores broken pipes and file-size limits. */
void installSignalHandlers();
/** True after a second Ctrl-C, SIGTERM or SIGHUP: everything stops at once. */
bool stopAtOnce();
/** The exit code of a stop at once: 128 + the signal for SIGTERM and SIGHUP, else 130 (Ctrl-C). */
int stoppedExitCode();

/** Checks an input file; the failure when it cannot be transcribed (kind None when it can). */
Failure checkInput(const std::string &input);
/** Checks an output file and its folder; the failure when it cannot be written (kind None when it can). */
Failure checkOutput(const std::string &output, const RunPlan &plan);

/** Runs every stage of one input and removes its private folder; the outcome says how it ended. */
void runPipeline(Job &job, const RunPlan &plan, JobProgress &progress, size_t index, const StageWatcher &watcher);
/** How a file ended that failed this way: its code and sentence. */
Outcome outcomeOf(const Failure &failure);
/** The failure of a file stopped by a Ctrl-C or a termination signal before its engine ran. */
Failure interrupted();
/** Sets the share of the whole file's work done before a stage, the share the stage takes, and the
 *  seconds it is expected to take, from the stages this file runs and their measured costs
 *  (audioSeconds: the recording's length; readableAsIs: it needs no conversion). */
void planStageShare(const FilePlan &file, const RunPlan &plan, double audioSeconds, bool readableAsIs, Stage stage,
                    JobProgress &progress);
/** The share of a file's work done, 0 to 1: the stages before, then the current one by its own
 *  report or, while that lags, by the time it has taken against the time expected of it. */
double fileShare(double before, double span, double reported, double elapsedSeconds, double expectedSeconds);
/** Runs every file of the plan, up to plan.jobs at once, to its end; returns the worst exit code. */
int runBatch(const RunPlan &plan, const StageWatcher &watcher = {});
