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

#include "app/starter/cli/exit_code.h"
#include "app/starter/pipeline/display.h"

namespace {

// The files of a run and which of them a worker has taken.
struct Queue {
    std::vector<Job> &jobs;
    std::vector<JobProgress> progress;
    size_t reported = 0;            // the files before this one have been reported
    std::mutex lock;                // guards next
    size_t next = 0;                // the first file no worker has taken
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
void work(Queue &q, const BatchConfig &config) {
    size_t index;
    while (takeNext(q, index))
        runPipeline(q.jobs[index], config, q.progress[index], index);
}

// The first Ctrl-C: the engines are cancelled by their workers; files not taken are skipped.
void beginCancel(Queue &q, Display &d) {
    printAbove(d, d.errors, "sonoscriptor: cancelling; the engine finishes the MIDI file with the notes found "
                          "so far (press Ctrl-C again to stop at once).");
    std::lock_guard<std::mutex> guard(q.lock);
    for (; q.next < q.jobs.size(); ++q.next) {
        failJob(q.jobs[q.next], exitStatus(ExitCode::Cancelled), "not started (cancelled).");
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

// After a second Ctrl-C, SIGTERM or SIGHUP: the workers have killed their engines and
// removed their files; says how many files were in progress and gives the exit code.
int stoppedAtOnce(Queue &q, Display &d) {
    reportEnded(q, d);
    int stopped = static_cast<int>(std::count_if(q.jobs.begin(), q.jobs.end(),
                                                 [](const Job &j) { return j.outcome.stopped; }));
    clearLive(d);
    std::fprintf(stderr, "sonoscriptor: stopped at once; no MIDI file was written for the %d file%s in "
                         "progress.\n", stopped, stopped == 1 ? "" : "s");
    return terminateSignal ? 128 + terminateSignal : exitStatus(ExitCode::Interrupted);
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

int runBatch(std::vector<Job> &jobs, const BatchConfig &config) {
    // libaubio and the attack evidence plan FFTs on several threads at once.
    fftwf_make_planner_thread_safe();
    Queue q{jobs, std::vector<JobProgress>(jobs.size()), 0, {}, 0};
    LibraryNotes notes;
    catchLibraryNotes(notes);
    Display d{!config.quiet && isatty(fileno(notes.errors)), 0, &jobs, &q.progress, notes.errors, &notes,
              config.quiet, {}};
    size_t workers = std::min(jobs.size(), static_cast<size_t>(std::max(1, config.jobs)));
    std::vector<std::thread> threads;
    try {
        for (size_t i = 0; i < workers; ++i)
            threads.emplace_back(work, std::ref(q), std::cref(config));
    } catch (const std::system_error &) {
        // The system gives fewer threads than asked for: the ones started take every file.
    }
    if (threads.empty())
        work(q, config);
    watch(q, d);
    for (std::thread &t : threads)
        t.join();
    releaseLibraryNotes(notes);
    d.errors = stderr;
    passOnNotes(d);
    if (stopAtOnce())
        return stoppedAtOnce(q, d);
    reportEnded(q, d);
    clearLive(d);
    int worst = 0;
    for (const Job &job : jobs)
        worst = std::max(worst, job.outcome.code);
    return worst;
}
