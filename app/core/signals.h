#pragma once
// SIGINT, SIGTERM and SIGHUP as a stop request instead of a sudden end. The
// signals are blocked in every thread and one thread of this object waits for
// them, so the file being worked on is abandoned through the ordinary error
// paths: its temporary output removed, nothing half-written, existing files
// untouched, and the program ends when it is ready. A second signal ends the
// process at once, as the signal would have. SIGXFSZ is ignored, so that an
// output past the file size limit is a write error of its file.

#include <atomic>
#include <stop_token>
#include <thread>

namespace kirune {

class SignalStop {
public:
    // Blocks the signals in the calling thread, and so in every thread it
    // starts afterwards: construct it before any other thread exists.
    SignalStop();
    ~SignalStop();
    SignalStop(const SignalStop&) = delete;
    SignalStop& operator=(const SignalStop&) = delete;

    std::stop_token token() const { return source_.get_token(); }
    // The first signal that arrived, 0 when none.
    int signal() const { return signal_.load(); }

private:
    std::stop_source source_;
    std::atomic<int> signal_{0};
    std::atomic<bool> closing_{false};
    std::thread waiter_;
};

}  // namespace kirune
