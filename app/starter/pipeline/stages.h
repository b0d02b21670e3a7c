// The stages one input goes through, for the pipeline that runs them in order
// (pipeline.cpp) and the tests of each stage's seams.
#pragma once

#include <string>

#include "app/starter/pipeline/pipeline.h"

// The stages. Each returns false when the file has ended, its outcome filled in.
/** Checks the input and the outputs, makes the private folder and examines the audio. */
bool stageCheck(Job &job, const BatchConfig &config);
/** Converts the input when the engine cannot read it as it is. */
bool stageConvert(Job &job);
/** Finds the beats of the audio the engine will read and plans the tempo. */
bool stageFindBeats(Job &job, const BatchConfig &config);
/** Writes the settings and status files of the engine. */
bool stageWriteSettings(Job &job, const BatchConfig &config);
/** Runs the engine to its end, passing on cancel requests; progress goes to fraction. */
bool stageRunEngine(Job &job, const BatchConfig &config, JobProgress &progress);
/** Copies the settings file, the tempo map and the engine's MIDI file of an input into folder
 *  dir (for developers: --keep-engine-files). */
void keepEngineFiles(const std::string &input, const EngineFiles &files, const std::string &dir);
/** Refines the engine's notes by the attacks in the recording the engine read, into tempDir;
 *  the engine's file stays when it cannot, or when the run was cancelled or --raw asks so. */
Refinement stageRefine(const EngineAudio &audio, const EngineFiles &files, const EngineRun &run,
                       const std::string &tempDir, const BatchConfig &config);
/** Writes the summary and moves the MIDI file and the score into place. */
void stageSettle(Job &job, const BatchConfig &config);
