// The pipeline: this folder owns what happens to each input, stage by stage
// (check, convert, find beats, write settings, run the engine, refine the
// notes, settle the result into place), the scheduler that runs several
// inputs at once with their progress lines, and Ctrl-C and termination.
#pragma once

#include <atomic>
#include <csignal>
#include <string>
#include <vector>

#include "app/starter/pipeline/batch.h"
#include "app/starter/score/score_file.h"

// Ctrl-C presses and termination requests, counted by the signal handlers.
extern std::atomic<int> interruptCount;
extern std::atomic<int> terminateSignal;
// Set by Ctrl-C, SIGTERM and SIGHUP alike: conversion, beat finding and the
// refinement of the notes stop at once.
extern std::atomic<bool> stopRequested;

/** Installs the handlers for Ctrl-C and termination, and ignores broken pipes and file-size limits. */
void installSignalHandlers();
/** True after a second Ctrl-C, SIGTERM or SIGHUP: everything stops at once. */
bool stopAtOnce();

// The input name that reads the recording from standard input.
inline const std::string StandardInput = "-";

/** Output name for an input: its name with ".mid" in the same folder, or in folder
 *  ("stdin.mid" for standard input). */
std::string defaultOutputName(const std::string &input, const std::string &folder);
/** One job per input with its output; false with a sentence when outputs collide. */
bool planJobs(const std::vector<std::string> &inputs, const std::string &output,
              std::vector<Job> &jobs, std::string &error);
/** Sets each job's score output and whether its MIDI file is kept; false with a sentence on conflict. */
bool planScoreOutputs(std::vector<Job> &jobs, const std::string &output, const ScoreChoice &choice,
                      std::string &error);

/** Checks an input file; false with the exit code and a sentence. */
bool checkInput(const std::string &input, int &code, std::string &error);
/** Checks an output file and its folder; false with the exit code and a sentence. */
bool checkOutput(const std::string &output, const BatchConfig &config, int &code, std::string &error);

/** Runs every stage of one job and removes its private folder; the outcome says how it ended. */
void runPipeline(Job &job, const BatchConfig &config, JobProgress &progress, size_t index);
/** The region of the file the settings ask to analyse, in seconds (end 0: to the end). */
Region settingsRegion(const SettingsList &settings);
/** Ends a job with a code and a sentence. */
void failJob(Job &job, int code, const std::string &message);
/** Ends a job that a Ctrl-C or a termination signal stopped before its engine ran. */
void failInterrupted(Job &job);
/** The beat listing of a tracked job: a "# " line, then one beat time per line from the region's start on. */
std::string beatListing(const Job &job, double regionStart);
/** The metre of a tempo plan in words; weak when the pulse or the bar is. */
std::string planMetreWords(const TempoPlan &plan);
/** Sets the share of the whole file's work done before a stage, the share the stage takes, and the
 *  seconds it is expected to take, from the stages this job runs and their measured costs. */
void planStageShare(const Job &job, const BatchConfig &config, Stage stage, JobProgress &progress);
/** The share of a file's work done, 0 to 1: the stages before, then the current one by its own
 *  report or, while that lags, by the time it has taken against the time expected of it. */
double fileShare(double before, double span, double reported, double elapsedSeconds, double expectedSeconds);
/** Runs every job, up to config.jobs at once, to its end; returns the worst exit code. */
int runBatch(std::vector<Job> &jobs, const BatchConfig &config);
