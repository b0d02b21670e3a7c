// The stages one input goes through, for the pipeline that runs them in order
// (pipeline.cpp) and the tests of each stage's seams. Each takes what it needs
// as values and returns what it made, or the failure that ends the file.
#pragma once

#include <string>

#include "app/starter/pipeline/pipeline.h"
#include "app/starter/tuning/tuning.h"

// Everything the stages made for one file, for the last stage's summary.
struct FileResults {
    Workspace workspace;
    EngineAudio audio;
    TuningFound tuning;
    BeatsFound beats;
    EngineFiles files;
    EngineRun run;
    Refinement refinement;
};

/** Checks the input and the outputs, makes the private folder and examines the audio. */
Staged<Workspace> stageCheck(const FilePlan &file, const RunPlan &plan);
/** Converts the input when the engine cannot read it as it is, into the private folder. */
Staged<EngineAudio> stageConvert(const Workspace &workspace);
/** Finds the beats of the region asked for in the audio the engine will read, and plans the tempo;
 *  with the metre from notes asked for, a first engine run in tempDir ("": none) adds its notes
 *  to the evidence of the metre. */
Staged<BeatsFound> stageFindBeats(const EngineAudio &audio, const RunPlan &plan, const std::string &tempDir = "");
/** The tuning of the region asked for in the audio the engine will read, unless a reference pitch
 *  is asked for or an instrument's records are (then, and when the audio cannot be read, 440). */
TuningFound stageTuning(const EngineAudio &audio, const RunPlan &plan);
/** Writes the settings, status and tempo files of the engine into tempDir, with the reference pitch
 *  of the tuning found. */
Staged<EngineFiles> stageWriteSettings(const EngineAudio &audio, const BeatsFound &beats, const RunPlan &plan,
                                       const std::string &tempDir, const TuningFound &tuning = {});
/** Runs the engine to its end, passing on cancel requests; progress goes to fraction. */
Staged<EngineRun> stageRunEngine(const EngineFiles &files, const std::string &enginePath, JobProgress &progress);
/** How an engine run ended, from its exit code, whether a signal ended it, the last line of its status
 *  file, whether its MIDI file exists and whether a cancel was asked of it: FailureKind::None where it
 *  wrote a MIDI file to go on with (code 0, or 1 when cancelled part-way as asked), else the failure's
 *  kind (code 1 with no cancel asked: the engine lost its status file). */
FailureKind engineEnding(int exitCode, bool signalled, const StatusLine &status, bool midiWritten,
                         bool cancelRequested);
/** Copies the settings file, the tempo map and the engine's MIDI file of an input into folder
 *  dir (for developers: --keep-engine-files). */
void keepEngineFiles(const std::string &input, const EngineFiles &files, const std::string &dir);
/** Refines the engine's notes by the attacks in the recording the engine read, into tempDir;
 *  the engine's file stays when it cannot, or when the run was cancelled or --raw asks so. */
Refinement stageRefine(const EngineAudio &audio, const EngineFiles &files, const EngineRun &run,
                       const std::string &tempDir, const RunPlan &plan);
/** Moves a finished file to its place, or writes it into the pipe or device the output names:
 *  never over a file that appeared meanwhile unless mayReplace, never over a folder, a socket or a
 *  device (an output refused), else a failed write. A stop ends a wait for a reader of a pipe.
 *  The failure's kind is None when the file is in place. */
Failure placeFile(const std::string &from, const std::string &to, bool mayReplace);
/** The one stage of a MIDI input: checks it and its output, reads it and puts its score in place. */
Outcome stageScoreMidi(const FilePlan &file, const RunPlan &plan);
/** Writes the summary and moves the MIDI file and the score into place. */
Outcome stageSettle(const FilePlan &file, const RunPlan &plan, const FileResults &results);
