// Ctrl-C and termination: the handlers only count and flag; the scheduler and
// the stages read the flags.
#include "app/starter/pipeline/pipeline.h"

volatile std::sig_atomic_t interruptCount = 0;
volatile std::sig_atomic_t terminateSignal = 0;
volatile std::sig_atomic_t stopRequested = 0;

namespace {

void onInterrupt(int) {
    interruptCount = interruptCount + 1;
    stopRequested = 1;
}

void onTerminate(int sig) {
    terminateSignal = sig;
    stopRequested = 1;
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
}

bool stopAtOnce() {
    return terminateSignal != 0 || interruptCount >= 2;
}
