// Ctrl-C and termination: the handlers only count and flag; the scheduler and
// the stages read the flags. The flags are lock-free atomics, so that a handler
// running on any thread and the workers reading them never race.
#include "app/starter/pipeline/pipeline.h"

#include <cerrno>

#include "app/starter/protocol/exit_code.h"

std::atomic<int> interruptCount{0};
std::atomic<int> terminateSignal{0};
std::atomic<bool> stopRequested{false};

// A handler may only touch flags that need no lock.
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

namespace {

thread_local const std::atomic<bool> *threadCancel = nullptr;

// Two Ctrl-C presses may reach two threads at once: the count is one atomic step.
void onInterrupt(int) {
    int saved = errno;
    interruptCount.fetch_add(1);
    stopRequested = true;
    errno = saved;
}

void onTerminate(int sig) {
    int saved = errno;
    terminateSignal = sig;
    stopRequested = true;
    errno = saved;
}

}  // namespace

void installSignalHandlers() {
    struct sigaction sa{};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = onInterrupt;
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = onTerminate;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A file-size limit makes the write fail (EFBIG) instead of ending the process, so the
    // file ends with its write-failure sentence and its private folder is removed.
    signal(SIGXFSZ, SIG_IGN);
}

bool stopAtOnce() {
    return terminateSignal != 0 || interruptCount >= 2;
}

int stoppedExitCode() {
    const int sig = terminateSignal;
    return sig != 0 ? 128 + sig : exitStatus(ExitCode::Interrupted);
}

void setThreadCancel(const std::atomic<bool> *flag) {
    threadCancel = flag;
}

const std::atomic<bool> *stopFlag() {
    return threadCancel ? threadCancel : &stopRequested;
}
