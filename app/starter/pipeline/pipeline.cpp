// One input's way through the stages, from the check to the file in place.
#include "app/starter/pipeline/stages.h"

#include <exception>

#include "app/starter/audio/progress.h"
#include "app/starter/protocol/exit_code.h"
#include "app/starter/protocol/engine_process.h"

namespace {

// Marks the stage a job enters: for the progress line and for whoever watches the stages.
void enter(const Job &job, JobProgress &progress, const BatchConfig &config, size_t index, Stage stage) {
    progress.fraction = 0;
    planStageShare(job, config, stage, progress);
    progress.stage = stage;
    if (config.stageWatcher)
        config.stageWatcher(index, stage);
}

// The stages up to the engine's file; false when the job ended on the way.
bool prepareAndRun(Job &job, const BatchConfig &config, JobProgress &progress, size_t index) {
    enter(job, progress, config, index, Stage::Checking);
    if (!stageCheck(job, config))
        return false;
    if (!job.workspace.audio.readableAsIs)
        enter(job, progress, config, index, Stage::Converting);
    if (!stageConvert(job))
        return false;
    if (config.trackBeats || config.beatsOnly) {
        enter(job, progress, config, index, Stage::FindingBeats);
        if (!stageFindBeats(job, config))
            return false;
    }
    enter(job, progress, config, index, Stage::WritingSettings);
    if (!stageWriteSettings(job, config))
        return false;
    enter(job, progress, config, index, Stage::RunningEngine);
    return stageRunEngine(job, config, progress);
}

}  // namespace

void failJob(Job &job, int code, const std::string &message) {
    job.outcome = Outcome{code, message, OutcomeKind::Failure, false};
}

void failInterrupted(Job &job) {
    if (stopAtOnce())
        job.outcome = Outcome{exitStatus(ExitCode::Interrupted), "stopped at once", OutcomeKind::Failure, true};
    else
        failJob(job, exitStatus(ExitCode::Cancelled), "cancelled before the transcription started; no MIDI file "
                                                      "was written.");
}

void runPipeline(Job &job, const BatchConfig &config, JobProgress &progress, size_t index) {
    setProgressSink(&progress.fraction);
    try {
        if (prepareAndRun(job, config, progress, index)) {
            if (!config.raw && job.run.code == 0)
                enter(job, progress, config, index, Stage::Refining);
            if (!config.keepDir.empty())
                keepEngineFiles(job.input, job.files, config.keepDir);
            job.refinement = stageRefine(job.audio, job.files, job.run, job.workspace.tempDir, config);
            enter(job, progress, config, index, Stage::Settling);
            progress.fraction = job.run.code == 0 ? 1.0 : job.run.percent / 100.0;
            stageSettle(job, config);
        }
    } catch (const std::exception &e) {
        // Out of memory, or a file system that failed under us: this file ends, the others go on.
        failJob(job, exitStatus(ExitCode::EngineFailed), std::string("The file could not be transcribed (") +
                                                             e.what() + "); please report it with the recording.");
    }
    setProgressSink(nullptr);
    removeTempDir(job.workspace.tempDir);
    job.workspace.tempDir.clear();
    enter(job, progress, config, index, Stage::Done);
}
