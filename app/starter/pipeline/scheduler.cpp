// The scheduler: whole pipelines run in up to -j worker threads, so that the
// conversion and beat finding of several files overlap as their engines do.
// The main thread draws the progress lines, reports each file as it ends, and
// turns Ctrl-C and termination into a cancel or a stop.
#include "app/starter/pipeline/pipeline.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include <fftw3.h>
#include <unistd.h>

#include "app/starter/cli/messages.h"
#include "app/starter/files/regular_file.h"
#include "app/starter/pipeline/display.h"
#include "app/starter/pipeline/report.h"
#include "app/starter/protocol/exit_code.h"

namespace {

// The files of a run and which of them a worker has taken.
struct Queue {
    const RunPlan &plan;
    const StageWatcher &watcher;
    std::vector<Job> jobs;
    std::vector<JobProgress> progress;
    size_t reported = 0;            // the files before this one have been reported
    std::mutex lock;                // guards next
    size_t next = 0;                // the first file no worker has taken
    ReportFile report;              // --report, when asked for
};

// The next file for a worker, or false when there is none (or a Ctrl-C came).
bool takeNext(Queue &q, size_t &index) {
    std::lock_guard<std::mutex> guard(q.lock);
    if (stopRequested || q.next >= q.jobs.size())
        return false;
    index = q.next++;
    return true;
}

// A worker: takes files one after another and runs each through every stage.
void work(Queue &q) {
    size_t index;
    while (takeNext(q, index)) {
        runPipeline(q.jobs[index], q.plan, q.progress[index], index, q.watcher);
        appendReport(q.report, q.jobs[index]);
    }
}

// What a first Ctrl-C does to the files, by the stages they are in: it promises no notes to a
// file whose engine has not started.
std::string cancelNotice(const Queue &q) {
    bool before = false, engine = false, refining = false, waiting = false;
    for (const JobProgress &p : q.progress) {
        Stage s = p.stage;
        before = before || (s > Stage::Waiting && s < Stage::RunningEngine);
        engine = engine || s == Stage::RunningEngine;
        refining = refining || s == Stage::Refining;
        waiting = waiting || s == Stage::Waiting;
    }
    return cancelSentence(engine, refining, before, waiting);
}

// The first Ctrl-C: the engines are cancelled by their workers; files not taken are skipped.
void beginCancel(Queue &q, Display &d) {
    printAbove(d, d.errors, cancelNotice(q));
    std::lock_guard<std::mutex> guard(q.lock);
    for (; q.next < q.jobs.size(); ++q.next) {
        q.jobs[q.next].outcome = outcomeOf(failureOf(FailureKind::NotStartedCancelled));
        q.progress[q.next].stage = Stage::Done;
    }
}

// Reports the files that have ended since the last look, in the order of the inputs (a file
// waits for those before it); true when every file has been reported.
bool reportEnded(Queue &q, Display &d) {
    for (; q.reported < q.jobs.size(); ++q.reported) {
        if (q.progress[q.reported].stage != Stage::Done)
            return false;
        if (!q.jobs[q.reported].outcome.stopped)
            reportJob(d, q.jobs[q.reported]);
    }
    return true;
}

// The highest exit code of the files.
int worstCode(const std::vector<Job> &jobs) {
    int worst = 0;
    for (const Job &job : jobs)
        worst = std::max(worst, job.outcome.code);
    return worst;
}

// After a second Ctrl-C, SIGTERM or SIGHUP: the workers have killed their engines and removed
// the files in progress. Reports the files that ended (their outputs are in place), then says
// which were stopped or never started, and gives the exit code. A stop that came after every
// file had ended, some with their outputs in place, changed nothing: the run ends as it did.
int stoppedAtOnce(Queue &q, Display &d) {
    int notStarted = 0;
    for (size_t i = 0; i < q.jobs.size(); ++i)
        if (q.progress[i].stage == Stage::Waiting) {
            q.jobs[i].outcome = outcomeOf(failureOf(FailureKind::NotStartedStopped));
            q.progress[i].stage = Stage::Done;
            ++notStarted;
        }
    reportEnded(q, d);
    clearLive(d);
    int stopped = static_cast<int>(std::count_if(q.jobs.begin(), q.jobs.end(),
                                                 [](const Job &j) { return j.outcome.stopped; })) - notStarted;
    bool written = std::any_of(q.jobs.begin(), q.jobs.end(), [](const Job &j) {
        return j.outcome.kind == OutcomeKind::Listing ||
               (j.outcome.kind == OutcomeKind::Summary && j.outcome.code <= exitStatus(ExitCode::Cancelled));
    });
    bool changedNothing = stopped + notStarted == 0 && written;
    std::fprintf(stderr, "%s\n", stopSentence(stopped, notStarted, changedNothing).c_str());
    if (changedNothing)
        return worstCode(q.jobs);
    return stoppedExitCode();
}

// Says so when lines of the report could not be written; the exit code of a failed write
// (5) then, else 0.
int reportWriteFailure(const RunPlan &plan, const ReportFile &report) {
    if (report.failure.empty())
        return 0;
    std::fprintf(stderr, "sonoscriptor: %s\n", reportWriteFailedSentence(plan.reportPath, report.failure).c_str());
    return exitStatus(ExitCode::WriteFailed);
}

// True when a file of the run is written into what descriptor fd leads to.
bool writesInto(const std::vector<Job> &jobs, int fd) {
    return std::any_of(jobs.begin(), jobs.end(), [fd](const Job &j) {
        return (j.file.keepMidi && reachesDescriptor(j.file.output, fd)) ||
               (!j.file.scoreOutput.empty() && reachesDescriptor(j.file.scoreOutput, fd));
    });
}

// Draws, reports and handles Ctrl-C until every file has ended or everything stops at once.
void watch(Queue &q, Display &d) {
    bool cancelling = false;
    while (!stopAtOnce()) {
        if (interruptCount == 1 && !cancelling) {
            cancelling = true;
            beginCancel(q, d);
        }
        if (reportEnded(q, d))
            return;
        redraw(d);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace

int runBatch(const RunPlan &plan, const StageWatcher &watcher) {
    // libaubio and the attack evidence plan FFTs on several threads at once.
    fftwf_make_planner_thread_safe();
    std::vector<Job> jobs;
    for (const FilePlan &file : plan.files)
        jobs.push_back(Job{file, "", {}, {}, 0});
    Queue q{plan, watcher, std::move(jobs), std::vector<JobProgress>(plan.files.size()), 0, {}, 0, {}};
    std::string error;
    if (!plan.reportPath.empty() && !openReport(q.report, plan.reportPath, error)) {
        std::fprintf(stderr, "sonoscriptor: %s\n", reportUnwritableSentence(plan.reportPath, error).c_str());
        return exitStatus(ExitCode::CannotOpen);
    }
    LibraryNotes notes;
    bool toStandardOutput = !plan.beatsOnly && writesInto(q.jobs, STDOUT_FILENO);
    // A file written into standard error (/dev/stderr, /dev/fd/2) must reach it, not the pipe that
    // catches the libraries' notes.
    if (!writesInto(q.jobs, STDERR_FILENO))
        catchLibraryNotes(notes);
    Display d{!plan.quiet && isatty(fileno(notes.errors)), 0, &q.jobs, &q.progress, notes.errors, &notes,
              plan.quiet, {}, toStandardOutput};
    size_t workers = std::min(q.jobs.size(), static_cast<size_t>(std::max(1, plan.jobs)));
    std::vector<std::thread> threads;
    try {
        for (size_t i = 0; i < workers; ++i)
            threads.emplace_back(work, std::ref(q));
    } catch (const std::system_error &) {
        // The system gives fewer threads than asked for: the ones started take every file.
    }
    if (threads.empty())
        work(q);
    watch(q, d);
    for (std::thread &t : threads)
        t.join();
    closeReport(q.report);
    releaseLibraryNotes(notes);
    d.errors = stderr;
    passOnNotes(d);
    if (stopAtOnce())
        return stoppedAtOnce(q, d);
    reportEnded(q, d);
    clearLive(d);
    return std::max(worstCode(q.jobs), reportWriteFailure(plan, q.report));
}
