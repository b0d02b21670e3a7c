// Frame pool: the analysed frames of a block are queued in batches and
// measured on several threads; while the threads measure one batch, the main
// thread reads the frames of the next and then helps. Each frame fills its
// own level-matrix row, so the order in which the threads finish does not
// matter; everything after the rows (block post-processing, tracker, MIDI
// writer) stays on the main thread.
// A row beyond the ones the level matrix holds is measured into a spare row
// and only its pitch-class sums are kept.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <sched.h>
#include <system_error>
#include <thread>
#include <vector>

#include "analysis/analysis.h"
#include "engine/engine.h"
#include "input/input.h"

namespace {

constexpr int64_t QueueBytes = 8 << 20;  // frame copies held at most per batch
constexpr int ThreadLimit = 64;

// A frame waiting for analysis and the row it fills.
struct QueuedFrame {
    int32_t *samples;
    int32_t *row;
    bool dropped;  // beyond the held rows: only its pitch-class sums are kept
};

// Frames queued together; a batch's frames beyond the held rows take the
// spare rows from spareBase on.
struct Batch {
    std::vector<QueuedFrame> frames;
    int queued = 0;
    int spareBase = 0;
};

// Threads, their scratch, the batches and the hand-over between them.
struct FramePool {
    int threads = 1;
    int capacity = 0;
    Batch batches[2];
    Batch *filling = &batches[0];  // the batch the main thread queues frames in
    Batch *active = nullptr;       // the batch the threads measure
    std::vector<FrameWork> works;  // one per thread, the main thread's first
    std::vector<int32_t> masks;    // KeyLimit entries per thread
    std::vector<std::thread> workers;
    std::mutex lock;
    std::condition_variable wake, done;
    uint64_t generation = 0;
    int busy = 0;
    bool stopping = false;
    std::atomic<int> next{0};
};

FramePool *pool = nullptr;

}  // namespace

int analysisThreadCount() {
    const char *text = std::getenv("SONOSCRIPTOR_THREADS");
    if (text && *text) {
        char *end = nullptr;
        const long wanted = std::strtol(text, &end, 10);
        if (*end == '\0' && wanted >= 1 && wanted <= ThreadLimit) return static_cast<int>(wanted);
    }
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return std::min(CPU_COUNT(&set), ThreadLimit);
    return 1;
}

namespace {

// Measures one frame into its row with the given thread's scratch.
void analyseQueued(int thread, const QueuedFrame &frame) {
    FrameWork &work = pool->works[thread];
    work.frame = frame.samples;
    work.row = frame.row;
    frameChanged(work);
    if (settings.Filter == -1)
        analyseFrameWith(work);
    else
        measureAllKeysWith(work);
}

// Takes frames of the active batch until none is left.
void analyseShare(int thread) {
    const Batch &batch = *pool->active;
    for (int i = pool->next.fetch_add(1); i < batch.queued; i = pool->next.fetch_add(1))
        analyseQueued(thread, batch.frames[i]);
}

// Hands the filling batch to the threads; the other batch is filled next.
void startBatch() {
    pool->active = pool->filling;
    pool->filling = pool->filling == &pool->batches[0] ? &pool->batches[1] : &pool->batches[0];
    pool->next = 0;
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        pool->busy = pool->threads - 1;
        ++pool->generation;
    }
    pool->wake.notify_all();
}

// Helps with the active batch, waits for the threads and keeps the sums of its dropped rows.
void finishBatch() {
    if (!pool->active) return;
    analyseShare(0);
    {
        std::unique_lock<std::mutex> hold(pool->lock);
        pool->done.wait(hold, [] { return pool->busy == 0; });
    }
    Batch &batch = *pool->active;
    for (int i = 0; i < batch.queued; ++i)
        if (batch.frames[i].dropped) addRowPitchSums(batch.frames[i].row, analysis.DroppedPitchSums);
    batch.queued = 0;
    pool->active = nullptr;
}

void workerLoop(int thread) {
    uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(pool->lock);
            pool->wake.wait(hold, [&] { return pool->stopping || pool->generation != seen; });
            if (pool->stopping) return;
            seen = pool->generation;
        }
        analyseShare(thread);
        std::lock_guard<std::mutex> hold(pool->lock);
        if (--pool->busy == 0) pool->done.notify_one();
    }
}

}  // namespace

void startFramePool() {
    pool = new (std::nothrow) FramePool;
    if (!pool) return;
    pool->threads = analysisThreadCount();
    if (pool->threads == 1) return;
    const int64_t frameBytes = (static_cast<int64_t>(derived.frameLength) + 2) * static_cast<int64_t>(sizeof(int32_t));
    const int64_t fit = std::min<int64_t>({QueueBytes / frameBytes, FrameQueueLimit, derived.blockLength});
    pool->capacity = static_cast<int>(std::min<int64_t>(std::max<int64_t>(fit, 2 * pool->threads), FrameQueueLimit));
    for (int b = 0; b < 2; ++b) {
        pool->batches[b].spareBase = b * (pool->capacity + 1);  // and one for a silent row while it is full
        pool->batches[b].frames.resize(pool->capacity);
        for (QueuedFrame &frame : pool->batches[b].frames)
            frame.samples = static_cast<int32_t *>(allocZeroed(derived.frameLength + 2, sizeof(int32_t), 1));
    }
    pool->works.resize(pool->threads);
    pool->masks.resize(static_cast<size_t>(KeyLimit) * pool->threads);
    for (int t = 0; t < pool->threads; ++t) {
        allocateFrameWork(pool->works[t], false);
        pool->works[t].mask = pool->masks.data() + static_cast<size_t>(KeyLimit) * t;
    }
    try {
        for (int t = 1; t < pool->threads; ++t) pool->workers.emplace_back(workerLoop, t);
    } catch (const std::system_error &) {
        pool->threads = static_cast<int>(pool->workers.size()) + 1;  // go on with the threads that started
    }
}

void analyseFrameOrQueue() {
    if (!pool || pool->threads == 1) {
        if (settings.Filter == -1)
            analyseFrame(run.CurrentRow);
        else
            measureAllKeys(run.CurrentRow);
        if (!levelRowHeld(run.CurrentRow)) addRowPitchSums(levelRow(run.CurrentRow), analysis.DroppedPitchSums);
        return;
    }
    Batch *batch = pool->filling;
    if (batch->queued == pool->capacity) {
        finishBatch();
        startBatch();
        batch = pool->filling;
    }
    QueuedFrame &frame = batch->frames[batch->queued];
    std::copy(analysis.FrameSamples, analysis.FrameSamples + derived.frameLength + 2, frame.samples);
    frame.row = levelRow(run.CurrentRow);
    frame.dropped = !levelRowHeld(run.CurrentRow);
    batch->queued += 1;
    analysis.spareRow = analysis.heldRows + batch->spareBase + batch->queued;  // the next spare row is free
}

void analyseQueuedFrames() {
    if (!pool || pool->threads == 1) return;
    finishBatch();
    if (pool->filling->queued > 0) {
        startBatch();
        finishBatch();
    }
    analysis.spareRow = analysis.heldRows + pool->filling->spareBase;
}

void stopFramePool() {
    if (!pool) return;
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        pool->stopping = true;
    }
    pool->wake.notify_all();
    for (std::thread &worker : pool->workers) worker.join();
    for (Batch &batch : pool->batches)
        for (QueuedFrame &frame : batch.frames) std::free(frame.samples);
    for (FrameWork &work : pool->works) releaseFrameWork(work, false);
    delete pool;
    pool = nullptr;
}
