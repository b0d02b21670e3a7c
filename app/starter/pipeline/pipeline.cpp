// One input's way through the stages, from the check to the file in place:
// each stage is given the values it needs and hands on what it made.
#include "app/starter/pipeline/stages.h"

#include <exception>

#include "app/starter/audio/progress.h"
#include "app/starter/cli/failures.h"
#include "app/starter/cli/listing.h"
#include "app/starter/pipeline/report.h"
#include "app/starter/protocol/engine_process.h"

namespace {

// One file on its way: what it is, where it stands, and what its stages made.
struct Run {
    Job &job;
    const RunPlan &plan;
    JobProgress &progress;
    size_t index;
    const StageWatcher &watcher;
    FileResults results;
};

// Marks the stage a file enters: for the progress line and for whoever watches the stages.
void enter(Run &r, Stage stage) {
    const AudioInfo &audio = r.results.workspace.audio;
    r.progress.fraction = 0;
    planStageShare(r.job.file, r.plan, audio.seconds, audio.readableAsIs, stage, r.progress);
    r.progress.stage = stage;
    if (r.watcher)
        r.watcher(r.index, stage);
}

// Takes a stage's value (also when it failed: the check's private folder is still to be removed);
// false, with the file ended, when it failed.
template <class T>
bool took(Run &r, Staged<T> staged, T &into) {
    into = std::move(staged.value);
    if (!staged.ok())
        r.job.outcome = outcomeOf(staged.failure);
    return staged.ok();
}

// The stages up to the engine's file; false when the file ended on the way.
bool prepareAndRun(Run &r) {
    FileResults &f = r.results;
    enter(r, Stage::Checking);
    if (!took(r, stageCheck(r.job.file, r.plan), f.workspace))
        return false;
    r.job.audioDescription = f.workspace.audio.description;
    if (!f.workspace.audio.readableAsIs)
        enter(r, Stage::Converting);
    if (!took(r, stageConvert(f.workspace), f.audio))
        return false;
    if (r.plan.tempoChoice == TempoChoice::Track || r.plan.beatsOnly) {
        enter(r, Stage::FindingBeats);
        if (!took(r, stageFindBeats(f.audio, r.plan, f.workspace.tempDir), f.beats))
            return false;
        if (r.plan.beatsOnly) {
            r.job.outcome = Outcome{0, beatListing(r.job.file.input, f.beats.tempo, r.plan.region.start),
                                    OutcomeKind::Listing, false};
            return false;
        }
    }
    enter(r, Stage::WritingSettings);
    f.tuning = stageTuning(f.audio, r.plan);
    if (!took(r, stageWriteSettings(f.audio, f.beats, r.plan, f.workspace.tempDir, f.tuning), f.files))
        return false;
    enter(r, Stage::RunningEngine);
    return took(r, stageRunEngine(f.files, r.plan.enginePath, r.progress), f.run);
}

// The refinement and the settling of a file whose engine wrote a MIDI file.
void refineAndSettle(Run &r) {
    FileResults &f = r.results;
    if (!r.plan.raw && f.run.code == 0)
        enter(r, Stage::Refining);
    if (!r.plan.keepDir.empty())
        keepEngineFiles(r.job.file.input, f.files, r.plan.keepDir);
    f.refinement = stageRefine(f.audio, f.files, f.run, f.workspace.tempDir, r.plan);
    enter(r, Stage::Settling);
    r.progress.fraction = f.run.code == 0 ? 1.0 : f.run.percent / 100.0;
    r.job.outcome = stageSettle(r.job.file, r.plan, f);
    r.job.findings = FileFindings{f.beats.tempo, f.run.status};
}

}  // namespace

Outcome outcomeOf(const Failure &failure) {
    bool stopped = failure.kind == FailureKind::StoppedAtOnce || failure.kind == FailureKind::NotStartedStopped;
    // A stopped file's code is the run's (143 after SIGTERM), also in its line of --report.
    return Outcome{stopped ? stoppedExitCode() : failureCode(failure), failureSentence(failure), OutcomeKind::Failure,
                   stopped};
}

Failure interrupted() {
    return failureOf(stopAtOnce() ? FailureKind::StoppedAtOnce : FailureKind::CancelledBeforeEngine);
}

void runPipeline(Job &job, const RunPlan &plan, JobProgress &progress, size_t index, const StageWatcher &watcher) {
    Run r{job, plan, progress, index, watcher, {}};
    auto started = std::chrono::steady_clock::now();
    setProgressSink(&progress.fraction);
    try {
        if (plan.skipExisting && !plan.beatsOnly && outputsComplete(job.file)) {
            job.outcome = skippedOutcome(job.file);
        } else if (job.file.midiInput) {
            enter(r, Stage::Settling);
            job.outcome = stageScoreMidi(job.file, plan);
        } else if (prepareAndRun(r)) {
            refineAndSettle(r);
        }
    } catch (const std::exception &e) {
        // Out of memory, or a file system that failed under us: this file ends, the others go on.
        job.outcome = outcomeOf(failureOf(FailureKind::Crashed, "", e.what()));
    }
    setProgressSink(nullptr);
    removeTempDir(r.results.workspace.tempDir);
    r.results.workspace.tempDir.clear();
    job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    enter(r, Stage::Done);
}
