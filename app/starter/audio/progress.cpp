// The progress sink of each thread.
#include "app/starter/audio/progress.h"

#include <algorithm>

namespace {

thread_local std::atomic<double> *sink = nullptr;
thread_local double rangeFrom = 0, rangeTo = 1;

}  // namespace

void setProgressSink(std::atomic<double> *fraction) {
    sink = fraction;
    setProgressRange(0, 1);
}

void setProgressRange(double from, double to) {
    rangeFrom = from;
    rangeTo = to;
}

void reportProgress(double done, double total) {
    if (sink && total > 0)
        sink->store(rangeFrom + (rangeTo - rangeFrom) * std::clamp(done / total, 0.0, 1.0), std::memory_order_relaxed);
}
