#pragma once
// A child process runs one piece of work under limits that must not reach the test process
// (address space, file size, capabilities) and sends back a text.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "tests/app/app_support.h"
#include "tests/container/support.h"

namespace kirune::test {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;  // its shadow memory rules out RLIMIT_AS
#else
inline constexpr bool kSanitized = false;
#endif

// Runs `work` in a forked child and returns the text it produced; a child
// that does not end normally gives "child died ...".
inline std::string inChild(const std::function<std::string()>& work) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string text;
        try {
            text = work();
        } catch (const std::exception& e) {
            text = std::string("exception: ") + e.what();
        }
        for (size_t at = 0; at < text.size();) {
            const ssize_t n = ::write(fds[1], text.data() + at, text.size() - at);
            if (n <= 0) break;
            at += size_t(n);
        }
        ::_exit(0);  // no test-framework teardown in the child
    }
    ::close(fds[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
    ::close(fds[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return "fork failed";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "child died, status " + std::to_string(status) + ": " + text;
    return text;
}

}  // namespace kirune::test
