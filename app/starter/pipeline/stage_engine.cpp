// Running the engine: start it, read its progress, turn a first Ctrl-C into
// cancel requests, kill it when everything stops at once, and judge how it
// ended.
#include "app/starter/pipeline/stages.h"

#include <filesystem>
#include <thread>

#include "app/starter/protocol/exit_code.h"
#include "app/starter/protocol/engine_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often the engine is looked at, and how soon a cancel request is written again
// (the engine's progress lines may have overwritten it).
constexpr auto PollEvery = std::chrono::milliseconds(50);
constexpr auto CancelAgainAfter = std::chrono::milliseconds(300);

// Waits for the engine to end; false when everything stopped at once and it was killed.
bool watchEngine(const EngineFiles &files, pid_t pid, JobProgress &progress, EngineRun &run, int &exitCode,
                 bool &signalled) {
    Clock::time_point lastCancel;
    while (!processEnded(pid, exitCode, signalled)) {
        if (stopAtOnce()) {
            kill(pid, SIGKILL);
            waitProcess(pid, signalled);
            return false;
        }
        if ((interruptCount >= 1 || *stopFlag()) && (!progress.cancelling || Clock::now() - lastCancel >= CancelAgainAfter)) {
            progress.cancelling = true;
            lastCancel = Clock::now();
            requestCancel(files.statusPath);
        }
        StatusLine s = readStatus(files.statusPath);
        if (s.kind == StatusKind::Progress) {
            run.percent = s.percent;
            progress.fraction = s.percent / 100.0;
        }
        std::this_thread::sleep_for(PollEvery);
    }
    return true;
}

// Judges how the engine ended: the failure, unless it wrote a MIDI file to go on with (code 0 or 1).
Failure judgeEngine(const EngineFiles &files, EngineRun &run, int exitCode, bool signalled, bool cancelRequested) {
    StatusLine status = readStatus(files.statusPath);
    // The engine never ends with this code itself: it is a process that could not be waited for,
    // which the system reaps at once when SIGCHLD is ignored (by a program the library runs in, or
    // inherited by the command). The engine's final line then says how it ended.
    if (exitCode == exitStatus(ExitCode::EngineFailed) && !signalled && isFinal(status.kind))
        exitCode = status.code;
    run.code = exitCode;
    run.status = status;
    run.detail = status.kind == StatusKind::Failure && status.code == exitCode ? status.detail : -1;
    Failure f;
    f.kind = engineEnding(exitCode, signalled, status, std::filesystem::exists(files.midiPath), cancelRequested);
    if (f.kind == FailureKind::EngineSignalled)
        f.number = exitCode - 128;
    else if (f.kind == FailureKind::EngineCode)
        f.number = exitCode, f.detail = run.detail, f.engine = files.settings.engine;
    else if (f.kind == FailureKind::UnknownEngineCode)
        f.number = exitCode;
    return f;
}

}  // namespace

FailureKind engineEnding(int exitCode, bool signalled, const StatusLine &status, bool midiWritten,
                         bool cancelRequested) {
    // A cancel request written as the engine wrote its final line can take that line's place: the
    // engine then ended with success before it could read the request.
    bool finishedBeforeCancel =
        cancelRequested && status.kind == StatusKind::Control && status.control == -1;
    if (signalled)
        return FailureKind::EngineSignalled;
    if (exitCode == 0 && !isFinal(status.kind) && !finishedBeforeCancel)
        return FailureKind::NoLaunchToken;
    // The engine also cancels when its status file is gone (a cleaner of the temporary folder):
    // a part-way file nobody asked for is not kept as if it were a Ctrl-C's.
    if (exitCode == exitStatus(ExitCode::Cancelled) && !cancelRequested)
        return FailureKind::EngineStoppedUnasked;
    if (exitCode <= exitStatus(ExitCode::Cancelled))
        return midiWritten ? FailureKind::None : FailureKind::NoEngineMidi;
    return exitCode <= exitStatus(ExitCode::BadTiming) ? FailureKind::EngineCode : FailureKind::UnknownEngineCode;
}

Staged<EngineRun> stageRunEngine(const EngineFiles &files, const std::string &enginePath, JobProgress &progress) {
    Staged<EngineRun> r;
    if (*stopFlag()) {
        r.failure = interrupted();
        return r;
    }
    pid_t pid;
    std::string error;
    if (!startEngine(enginePath, files.settingsPath, files.statusPath, pid, error)) {
        r.failure = failureOf(FailureKind::EngineNotStarted, enginePath, error);
        return r;
    }
    int exitCode = 0;
    bool signalled = false;
    if (!watchEngine(files, pid, progress, r.value, exitCode, signalled))
        r.failure = interrupted();
    else
        r.failure = judgeEngine(files, r.value, exitCode, signalled, progress.cancelling);
    return r;
}
