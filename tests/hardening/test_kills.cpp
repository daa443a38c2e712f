// rpx killed (SIGKILL, SIGINT, SIGTERM) at random points of a 16-megapixel compression and expansion:
// only inputs and complete outputs remain, an output it was to replace keeps its bytes unless the run
// completed, and SIGINT and SIGTERM end rpx with 130 and 143 (0 when the file was done first).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/hardening/support.h"

namespace kirune {
namespace {

using Clock = std::chrono::steady_clock;
using test::readFile;
using test::writeFile;

// Smaller under the sanitizers, which slow rpx many times; still several strips.
constexpr int kWidth = test::kSanitized ? 2048 : 4096;
constexpr int kHeight = test::kSanitized ? 2048 : 4096;

// A 16-bit RGB TIFF with shading and seeded grain, so that it codes like a scan.
void writeGrainTiff(const std::string& path) {
    std::mt19937 grain(7);
    test::writeTiff(path, test::TiffLayout{.width = kWidth, .height = kHeight, .rowsPerStrip = 64},
                    [&](int x, int y, int c) { return uint16_t(12000 + 9 * x + 5 * y + 3000 * c + (grain() & 2047)); });
}

struct Outcome {
    int status = 0;  // as waitpid gives it
    double seconds = 0;
};

// Runs rpx with `args`; when `killAfter` is set, sends `sig` that many seconds in.
Outcome rpx(const std::vector<std::string>& args, double killAfter = -1, int sig = 0) {
    std::vector<char*> argv{const_cast<char*>(KIRUNE_RPX)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1), ::dup2(null, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    Outcome r;
    if (pid < 0) return {-1, 0};
    if (killAfter >= 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(killAfter));
        ::kill(pid, sig);
    }
    ::waitpid(pid, &r.status, 0);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return r;
}

bool exitedWith(const Outcome& r, int code) { return WIFEXITED(r.status) && WEXITSTATUS(r.status) == code; }

class Kills : public test::ScratchDir {};

TEST_F(Kills, SignalsAtAnyPointLeaveOnlyInputsAndCompleteOutputsAndSparedFilesIntact) {
    const std::string input = path("scan.tif"), container = path("scan_49-2.rpx"), image = path("scan_49-2.tif");
    writeGrainTiff(input);
    const Outcome c = rpx({"-q", "-j", "2", input});
    ASSERT_TRUE(exitedWith(c, 0));
    const Outcome e = rpx({"-q", "-j", "2", container});
    ASSERT_TRUE(exitedWith(e, 0));
    const std::vector<uint8_t> completeContainer = readFile(container), completeImage = readFile(image);
    const std::set<std::string> names = entries();
    const std::vector<uint8_t> old = {'o', 'l', 'd'};

    const unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    struct Direction {
        const char* what;
        std::string in, out;
        const std::vector<uint8_t>& complete;
        double seconds;
    };
    for (const Direction& d : {Direction{"compression", input, container, completeContainer, c.seconds},
                               Direction{"expansion", container, image, completeImage, e.seconds}}) {
        writeFile(container, completeContainer);  // the expansion's input
        for (const int sig : {SIGKILL, SIGINT, SIGTERM})
            for (const bool existing : {true, false}) {
                const double at = std::uniform_real_distribution<double>(0.02, 1.0)(rng) * d.seconds;
                SCOPED_TRACE(std::string(d.what) + ", signal " + std::to_string(sig) + " at " + std::to_string(at) +
                             " s of " + std::to_string(d.seconds) + (existing ? ", replacing" : ", new"));
                if (existing)
                    writeFile(d.out, old);
                else
                    std::filesystem::remove(d.out);
                const Outcome r = existing ? rpx({"-q", "-f", "-j", "2", d.in}, at, sig) : rpx({"-q", "-j", "2", d.in}, at, sig);
                const bool finished = exitedWith(r, 0);
                // A signal that lands before rpx has started (loading, sanitizer set-up) ends it
                // as the signal would; it has written nothing then, as the checks below see.
                const bool killed = WIFSIGNALED(r.status) && WTERMSIG(r.status) == sig && (sig == SIGKILL || at < 0.2);
                EXPECT_TRUE(finished || killed || (sig != SIGKILL && exitedWith(r, 128 + sig))) << r.status;
                // Nothing but what was there and, when it was written whole, the output.
                std::set<std::string> expected = names;
                if (!std::filesystem::exists(d.out)) expected.erase(std::filesystem::path(d.out).filename().string());
                EXPECT_EQ(entries(), expected);
                if (!std::filesystem::exists(d.out)) {
                    EXPECT_FALSE(existing || finished);
                    continue;
                }
                // A signal may land after the file was done: complete, or the old bytes, never a mix.
                const std::vector<uint8_t> got = readFile(d.out);
                if (finished || !existing)
                    EXPECT_TRUE(got == d.complete) << "a partial output of " << got.size() << " bytes";
                else
                    EXPECT_TRUE(got == old || got == d.complete) << "neither the old nor the complete output";
            }
        writeFile(d.out, d.complete);
    }
}

}  // namespace
}  // namespace kirune
