// Transcribing files: one engine process per input, several at once, with
// progress lines, Ctrl-C handling, summaries and failure sentences.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "app/starter/audio/audio.h"
#include "app/starter/beats/beats.h"
#include "app/starter/refine/rules.h"
#include "app/starter/protocol/settings_file.h"
#include "app/starter/protocol/status.h"

// Where one input stands.
enum class JobState { Pending, Running, Done };

// One input file on its way to a MIDI file.
struct Job {
    std::string input;              // as given on the command line
    std::string output;             // the MIDI file to write (the score when keepMidi is false)
    std::string scoreOutput;        // the MusicXML file to write, "" when none
    bool keepMidi = true;           // the MIDI file goes to output
    JobState state = JobState::Pending;
    std::string tempDir;            // private temporary folder, "" when none
    std::string statusPath;
    std::string midiPath;           // the engine's output inside tempDir
    pid_t pid = -1;
    double percent = 0;             // last progress read
    int code = 0;                   // exit code of this file once Done
    int detail = 0;
    std::string message;            // summary or failure sentence once Done
    AudioInfo audio;
    bool converted = false;
    bool cancelRequested = false;
    bool mayReplace = false;        // --force: the output may replace a file of its name
    SettingsList settings;          // the settings written for this file
    bool findingBeats = false;      // the beat tracker is running on this file
    bool beatsTracked = false;      // the beat tracker ran on this file
    TempoPlan tempo;                // what it found and what is done with it
    bool listing = false;           // message is a beat listing for standard output
    bool refining = false;          // the notes are being refined by the attack evidence
    bool refined = false;           // the written notes were refined
    RefineCounts refineCounts;      // what the refinement changed
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point lastCancel;
};

// What every job shares.
struct BatchConfig {
    std::string enginePath;
    std::string dataDir;            // the filter records, with trailing '/'
    SettingsList settings;          // composed settings without the paths
    bool force = false;
    bool quiet = false;
    int jobs = 1;                   // engine processes at once
    std::vector<std::string> protectedPaths;  // files never to be overwritten
    bool trackBeats = false;        // find the beats in each recording and follow them
    bool beatsOnly = false;         // print the beats found instead of transcribing
    bool raw = false;               // the engine's MIDI file as it is, not refined
    bool quantize = false;          // refined notes snapped to the grid
    std::string keepDir;            // where the engine's files are kept, "" for nowhere
};

// Ctrl-C presses and termination requests, counted by the signal handlers.
extern volatile std::sig_atomic_t interruptCount;
extern volatile std::sig_atomic_t terminateSignal;
// Set by Ctrl-C, SIGTERM and SIGHUP alike: conversion, beat finding and the
// refinement of the notes stop at once.
extern volatile std::sig_atomic_t stopRequested;

/** Installs the handlers for Ctrl-C, termination and broken pipes. */
void installSignalHandlers();
/** Output name for an input: its name with ".mid" in the same folder, or in folder. */
std::string defaultOutputName(const std::string &input, const std::string &folder);
/** One job per input with its output; false with a sentence when outputs collide. */
bool planJobs(const std::vector<std::string> &inputs, const std::string &output,
              std::vector<Job> &jobs, std::string &error);
/** Checks an input file; false with the exit code and a sentence. */
bool checkInput(const std::string &input, int &code, std::string &error);
/** Checks an output file and its folder; false with the exit code and a sentence. */
bool checkOutput(const std::string &output, const BatchConfig &config, int &code, std::string &error);
/** The beat listing of a tracked job: a "# " line, then one beat time per line. */
std::string beatListing(const Job &job);
/** Prepares and starts one job (onSlowStep is called before a conversion or beat tracking); on failure it is Done. */
void startJob(Job &job, const BatchConfig &config, const std::function<void()> &onSlowStep = {});
/** Settles a job whose engine has ended with exitCode (onSlowStep is called before the notes are refined). */
void finishJob(Job &job, const BatchConfig &config, int exitCode, bool signalled,
               const std::function<void()> &onSlowStep = {});
/** Runs every job to its end; returns the worst exit code. */
int runBatch(std::vector<Job> &jobs, const BatchConfig &config);
