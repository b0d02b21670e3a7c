// The progress sink of each thread.
#include "app/starter/audio/progress.h"

#include <algorithm>

namespace {

thread_local std::atomic<double> *sink = nullptr;

}  // namespace

void setProgressSink(std::atomic<double> *fraction) {
    sink = fraction;
}

void reportProgress(double done, double total) {
    if (sink && total > 0)
        sink->store(std::clamp(done / total, 0.0, 1.0), std::memory_order_relaxed);
}
