// How far a long pass through a recording has got. The pipeline names a sink
// for the thread that runs a stage; the passes through the audio (conversion,
// beat finding, the attack evidence) report into it as they go.
#pragma once

#include <atomic>

/** Makes the passes run on this thread report into fraction (nullptr: report nowhere). */
void setProgressSink(std::atomic<double> *fraction);
/** Reports that done of total units are through into this thread's sink, if it has one. */
void reportProgress(double done, double total);
/** Makes the passes run on this thread report into the part from..to of the sink's 0..1 (0..1 again
 *  after setProgressSink): for a stage whose pass through the audio is only part of its work. */
void setProgressRange(double from, double to);
