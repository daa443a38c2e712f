#pragma once
// A small fork-join loop: f(0) .. f(n-1) on up to `threads` threads, the caller
// among them. Items are independent; the first failure (lowest index among the
// items that ran) is rethrown after every thread has stopped, and items not yet
// started are skipped once one has failed.

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace kirune {

// Threads to use when the user asked for `requested` (0: every core).
inline int resolveThreadCount(int requested) {
    if (requested > 0) return requested;
    const unsigned n = std::thread::hardware_concurrency();
    return n ? static_cast<int>(n) : 1;
}

template <class F>
void parallelFor(int n, int threads, F&& f) {
    threads = std::clamp(threads, 1, std::max(n, 1));
    if (threads == 1) {
        for (int i = 0; i < n; ++i) f(i);
        return;
    }
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::mutex m;
    std::exception_ptr error;
    int errorIndex = n;
    auto run = [&] {
        for (int i; !failed.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < n;) {
            try {
                f(i);
            } catch (...) {
                std::lock_guard lock(m);
                if (i < errorIndex) {
                    errorIndex = i;
                    error = std::current_exception();
                }
                failed = true;
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        helpers.reserve(static_cast<std::size_t>(threads - 1));
        try {
            for (int t = 1; t < threads; ++t) helpers.emplace_back(run);
        } catch (const std::system_error&) {
            // Fewer threads than asked for: the ones running finish the work.
        }
        run();
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace kirune
