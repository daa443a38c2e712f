#pragma once
// Scratch folders, small BMP inputs and child processes for the hardening
// tests. A child runs one piece of work under limits that must not reach the
// test process (address space, file size, capabilities) and sends back a text.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/core/ui.h"

namespace kirune::test {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;  // its shadow memory rules out RLIMIT_AS
#else
inline constexpr bool kSanitized = false;
#endif

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kirune-hardening-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string path(const std::string& name) const { return (dir / name).string(); }
    std::filesystem::path dir;
};

inline std::vector<uint8_t> readFile(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}
inline void writeFile(const std::string& p, const std::vector<uint8_t>& bytes, bool append = false) {
    std::ofstream f(p, append ? std::ios::binary | std::ios::app : std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Names in a folder, hidden temporaries included, sorted.
inline std::vector<std::string> entries(const std::filesystem::path& d) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(d)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A bottom-up 24-bit BMP with a gentle texture, so that it codes like a photo.
inline std::vector<uint8_t> bmpBytes(int w, int h) {
    const size_t stride = (size_t(w) * 3 + 3) & ~size_t{3};
    std::vector<uint8_t> b(54 + stride * h, 0);
    auto le = [&](size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b[at + i] = uint8_t(v >> (8 * i));
    };
    b[0] = 'B', b[1] = 'M';
    le(2, uint32_t(b.size()), 4), le(10, 54, 4), le(14, 40, 4), le(18, w, 4), le(22, h, 4), le(26, 1, 2), le(28, 24, 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) b[54 + y * stride + 3 * x + c] = uint8_t(90 + 40 * c + (x * 3 + y * 5) % 23);
    return b;
}

struct RecordingUi : BatchUi {
    std::vector<std::string> messages;  // "path|text"
    void showMessage(const std::string& path, const std::string& text) override {
        messages.push_back(path + "|" + text);
    }
    void setPathText(const std::string&) override {}
    void setCounterText(const std::string&) override {}
    void setProgress(int) override {}
};

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
