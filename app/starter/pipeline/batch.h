// What each stage of the pipeline hands on to the next, how the work on a file
// ended, and what the scheduler keeps of every file.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "app/starter/audio/audio.h"
#include "app/starter/beats/beats.h"
#include "app/starter/plan/failure.h"
#include "app/starter/plan/run_plan.h"
#include "app/starter/plan/stage.h"
#include "app/starter/protocol/engine_settings.h"
#include "app/starter/protocol/status.h"
#include "app/starter/refine/rules.h"


// What the check hands on: the private folder and what the audio is.
struct Workspace {
    std::string tempDir;            // private temporary folder, "" when none
    std::string source;             // the file read: the input, or standard input's copy in tempDir
    AudioInfo audio;
    std::chrono::steady_clock::time_point started;
};

// What the conversion hands on: the WAV file the engine reads.
struct EngineAudio {
    std::string wave;               // the input itself, or its conversion in tempDir
    bool converted = false;
    int64_t nonFiniteSamples = 0;   // infinite or NaN samples of the input, converted to silence
    double decodedSeconds = 0;      // the conversion's length: less than the header says when the file ends early
};

// What beat finding hands on.
struct BeatsFound {
    bool ran = false;               // the beat tracker ran on this file
    TempoPlan tempo;                // what it found and what is done with it
};

// What writing the settings hands on: the engine's files, and what the engine reads in them.
struct EngineFiles {
    RenderedSettings settings;      // the settings written, as the engine reads them
    std::string settingsPath;
    std::string statusPath;
    std::string midiPath;           // the engine's output inside tempDir
    std::string tempoPath;          // the tempo file the engine follows, "" for none
    std::vector<uint16_t> tempoMap; // its values, empty when there is none or it cannot be read
};

// What the engine run hands on.
struct EngineRun {
    int code = 0;                   // the engine's exit code
    int detail = -1;                // the detail of its final status line, -1 for none
    StatusLine status;              // its last status line
    double percent = 0;             // last progress read
};

// What the refinement hands on.
struct Refinement {
    bool refined = false;           // the written notes were refined
    bool cancelled = false;         // a cancel stopped it: the engine's notes are written as they are
    RefineCounts counts;            // what it changed
    std::string midiPath;           // the file to write: refined, or the engine's
};

// How the work on a file ended.
enum class OutcomeKind { Failure, Summary, Listing };
struct Outcome {
    int code = 0;                   // exit code of this file
    std::string message;            // summary, listing or failure sentence
    OutcomeKind kind = OutcomeKind::Failure;
    bool stopped = false;           // stopped at once by a second Ctrl-C or a termination signal
    bool skipped = false;           // --skip-existing: its outputs were in place, nothing was done
    int notes = -1;                 // notes written, -1 when none was
    double audioSeconds = -1;       // the audio transcribed, -1 when unknown
};

// A stage's result: its value, or why the file ended there (failure.kind None: it went on).
template <class T>
struct Staged {
    T value{};
    Failure failure{};
    bool ok() const { return failure.kind == FailureKind::None; }
};

// What a transcribed file's run found besides its outputs, for a caller that keeps it (the library).
struct FileFindings {
    TempoPlan tempo;                // the beats followed and the metre found (tracked false: none)
    StatusLine status;              // the engine's last status line (its key)
};

// What the scheduler keeps of one file.
struct Job {
    FilePlan file;
    std::string audioDescription;   // what the input is, for the progress line (set before Converting)
    Outcome outcome;
    FileFindings findings;          // set when its engine ran
    double seconds = 0;             // wall-clock time of its work
};

// Where a running file stands, shared by the worker that runs it and the thread that draws.
struct JobProgress {
    std::atomic<Stage> stage{Stage::Waiting};
    std::atomic<double> fraction{0};        // through the current stage, 0 to 1
    std::atomic<bool> cancelling{false};    // a cancel request went to its engine
    // The current stage within the whole file's work (shares of 1), how long it should take and
    // when it began: what the progress line needs to move on between the stage's own reports.
    std::atomic<double> before{0};
    std::atomic<double> span{0};
    std::atomic<double> expectedSeconds{0};
    std::atomic<std::chrono::steady_clock::time_point> entered{};
};

// Called by a worker as the file of that index enters a stage; empty for no one.
using StageWatcher = std::function<void(size_t, Stage)>;
