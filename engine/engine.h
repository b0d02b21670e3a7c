// Engine driver: entry and frame loop, status file, finish routine, key
// detection at the end of the run.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "engine/finish.h"
#include "input/input.h"

// The launch token agreed with the front-end.
constexpr const char *LaunchToken = "+";

// Process-wide state of the run.
struct RunState {
    std::string settingsPath;
    std::string statusPath;
    double framePosition;
    int64_t frameByte;
    int CurrentRow;
    uint32_t previousPeak;
    float progressPercent;
    float progressStep;
    time_t lastReportTime;
    int controlValue;
    TempoPace tempoPace;
    int detectedMode;
    int finishing;      // 1 once the finish routine has started
};

extern RunState run;

/** Main routine of the engine: banner, arguments, set-up, frame loop. */
int runEngine(int argc, char **argv);
/** Prints the banner to standard output. */
void printBanner();
/** The argument whole, with every '?' replaced by a blank. */
std::string copyArgument(const char *arg);
/** Allocates the working buffers and builds the analysis tables. */
void prepareRun();
/** True when two paths are the same text or name the same existing file. */
bool sameFile(const std::string &a, const std::string &b);
/** True when path names a file the run reads: the WAV input, the settings file, the tempo file,
 *  or (on the filter path) `ExePath`'s filter.txt or filter.dat. */
bool namesAFileTheRunReads(const std::string &path);
/** True when `MidiFile` names the status file or a file the run reads (namesAFileTheRunReads). */
bool outputNamesAnInput();
/** Opens the MIDI output and reserves its 98-byte header area. */
void openMidiOutput();
/** The frame loop from the first frame to the end of the chosen audio. */
[[noreturn]] void runFrameLoop();
/** Moves `framePosition` to the next frame (fixed hop or tempo file). */
void advanceFramePosition();
/** Decides the key strengths of row `CurrentRow` and tracks them with the block's chord name. */
void decideRow(const char *chordName);
/** Decides rows first..last in turn with the block's chord name. */
void decideRows(int first, int last, const char *chordName);
/** Processes rows 0..`CurrentRow` of the level matrix as one block. */
void processBlock();
/** Fills row `CurrentRow` for a frame of this peak: zeros when silent or paused, else its measured levels. */
void measureCurrentRow(uint32_t peak);
/** Puts the frame loop at the first frame of the region, at the start of the tempo file. */
void startFrames();
/** Moves `framePosition` and `frameByte` to the next frame. */
void stepToNextFrame();

// Frames queued for the analysis threads at most per batch (two batches: one measured, one filled).
constexpr int FrameQueueLimit = 512;

/** Allocates the level matrix: the whole chord block when it fits SONOSCRIPTOR_LEVEL_MEMORY bytes
    (16 MiB unless set), else the rows that fit plus spare rows for the rows beyond them. */
void allocateLevelMatrix();
/** Notes the frame loop's position when it reaches the first block row beyond the held ones. */
void noteReplayPoint();
/** Measures block rows first..last again from the noted position, as many at a time as are held,
    and decides them with the block's chord name; then the frame loop's position is as before. */
void replayRows(int first, int last, const char *chordName);

/** Threads for the analysis: SONOSCRIPTOR_THREADS when it holds 1 to 64, else the cores the process may use. */
int analysisThreadCount();
/** Starts the frame analysis threads (SONOSCRIPTOR_THREADS, else one per core) and their buffers. */
void startFramePool();
/** Analyses the current frame into row `CurrentRow`: at once with one thread, else queued for the threads. */
void analyseFrameOrQueue();
/** Analyses every queued frame into its row. */
void analyseQueuedFrames();
/** Stops the threads and frees the pool's buffers. */
void stopFramePool();

/** True when the status path names a FIFO, socket or device, which is never opened. */
bool statusIsSpecialFile();
/** Reads the control value; a missing, unopenable or special file, or -1, cancels the run. */
void pollStatus();
/** Writes the progress line when the wall-clock second has changed. */
void reportProgress();
/** Writes the final status line for a code and detail. */
void writeFinalStatus(int code, int detail);
/** Formats the final status line. */
std::string finalStatusLine(int code, int detail);
/** Formats the progress line. */
std::string progressLine();

/** Completes the MIDI file for codes 0 and 1. */
void completeMidiFile();
/** Closes the files, deletes a failed output, frees the buffers. */
void closeRun(int code);
/** Deletes the output when it is a regular file and names no input (outputNamesAnInput). */
void deleteOutput();

/** Detects the key from `PitchClassTotals`; sets `KeySignature`, `MajorMinor`, `detectedMode`. */
void detectPieceKey();
