// Running the engine: start it, read its progress, turn a first Ctrl-C into
// cancel requests, kill it when everything stops at once, and judge how it
// ended.
#include "app/starter/pipeline/stages.h"

#include <filesystem>
#include <thread>

#include "app/starter/protocol/exit_code.h"
#include "app/starter/cli/messages.h"
#include "app/starter/protocol/engine_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often the engine is looked at, and how soon a cancel request is written again
// (the engine's progress lines may have overwritten it).
constexpr auto PollEvery = std::chrono::milliseconds(50);
constexpr auto CancelAgainAfter = std::chrono::milliseconds(300);

// Waits for the engine to end; false when everything stopped at once and it was killed.
bool watchEngine(Job &job, pid_t pid, JobProgress &progress, int &exitCode, bool &signalled) {
    Clock::time_point lastCancel;
    while (!processEnded(pid, exitCode, signalled)) {
        if (stopAtOnce()) {
            kill(pid, SIGKILL);
            waitProcess(pid, signalled);
            return false;
        }
        if (interruptCount >= 1 && (!progress.cancelling || Clock::now() - lastCancel >= CancelAgainAfter)) {
            progress.cancelling = true;
            lastCancel = Clock::now();
            requestCancel(job.files.statusPath);
        }
        StatusLine s = readStatus(job.files.statusPath);
        if (s.kind == StatusKind::Progress) {
            job.run.percent = s.percent;
            progress.fraction = s.percent / 100.0;
        }
        std::this_thread::sleep_for(PollEvery);
    }
    return true;
}

// Judges how the engine ended; true when it wrote a MIDI file to go on with (code 0 or 1).
bool judgeEngine(Job &job, int exitCode, bool signalled) {
    const int failed = exitStatus(ExitCode::EngineFailed);
    StatusLine status = readStatus(job.files.statusPath);
    job.run.code = exitCode;
    job.run.status = status;
    job.run.detail = status.kind == StatusKind::Failure && status.code == exitCode ? status.detail : -1;
    if (signalled)
        failJob(job, failed, "The engine stopped unexpectedly (signal " + std::to_string(exitCode - 128) +
                                 "); this is a fault in sonoscriptor-engine, please report it with the recording.");
    else if (exitCode == 0 && !isFinal(status.kind))
        failJob(job, failed, "The engine ended without a result: it did not accept the launch token; check that "
                             "--engine names sonoscriptor-engine.");
    else if (exitCode <= exitStatus(ExitCode::Cancelled) && !std::filesystem::exists(job.files.midiPath))
        failJob(job, failed, "The engine ended without writing a MIDI file; check that --engine names "
                             "sonoscriptor-engine.");
    else if (exitCode <= exitStatus(ExitCode::Cancelled))
        return true;
    else if (exitCode <= exitStatus(ExitCode::BadTiming))
        failJob(job, exitCode, failureSentence(exitCode, job.run.detail, job.files.settings));
    else
        failJob(job, failed, "The engine ended with the unknown code " + std::to_string(exitCode) +
                                 "; check that --engine names sonoscriptor-engine.");
    return false;
}

}  // namespace

bool stageRunEngine(Job &job, const BatchConfig &config, JobProgress &progress) {
    if (stopRequested) {
        failInterrupted(job);
        return false;
    }
    pid_t pid;
    std::string error;
    if (!startEngine(config.enginePath, job.files.settingsPath, job.files.statusPath, pid, error)) {
        failJob(job, exitStatus(ExitCode::EngineFailed), error);
        return false;
    }
    int exitCode = 0;
    bool signalled = false;
    if (!watchEngine(job, pid, progress, exitCode, signalled)) {
        failInterrupted(job);
        return false;
    }
    return judgeEngine(job, exitCode, signalled);
}
