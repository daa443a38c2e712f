#include "app/core/signals.h"

#include <pthread.h>
#include <signal.h>

namespace kirune {

namespace {

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    return set;
}

}  // namespace

SignalStop::SignalStop() {
    // A file past the size limit (ulimit -f) then fails with EFBIG, "File too
    // large", as any write error does, and the batch goes on.
    ::signal(SIGXFSZ, SIG_IGN);
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    waiter_ = std::thread([this, set] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (closing_.load()) return;
            int expected = 0;
            if (signal_.compare_exchange_strong(expected, sig)) {
                source_.request_stop();
                continue;
            }
            // Asked twice: end now, with the signal's own default action.
            struct sigaction dfl {};
            dfl.sa_handler = SIG_DFL;
            sigaction(sig, &dfl, nullptr);
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, sig);
            pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
            raise(sig);
        }
    });
}

SignalStop::~SignalStop() {
    closing_.store(true);
    // Wakes the waiter; blocked everywhere else, the signal reaches only it.
    pthread_kill(waiter_.native_handle(), SIGHUP);
    waiter_.join();
}

}  // namespace kirune
