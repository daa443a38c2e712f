// kirune-thumbnailer: the desktop's preview of an .rpx file, as a PNG.
//
//   kirune-thumbnailer [-s SIZE] INPUT.rpx OUTPUT.png
//
// File managers run it on whatever file carries the name, so it caps its own
// memory and processor time: a hostile file ends in a failure exit, never in
// a hang or a starved desktop. Exit 0 with the PNG in place, 1 with no output
// and one line on standard error, 2 for a usage error.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "app/thumbnailer/thumbnail.h"
#include "kirune/Error.h"

// AddressSanitizer reserves far more address space than it uses, so its
// builds go without the address-space cap.
#if defined(__SANITIZE_ADDRESS__)
#define KIRUNE_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIRUNE_ADDRESS_SANITIZER 1
#endif
#endif

namespace {

constexpr const char* kProgram = "kirune-thumbnailer";
constexpr int kDefaultSize = 256;
// One strip's working set is under 150 MiB; the rest is headroom for the
// libraries, not for a file to claim.
constexpr rlim_t kAddressSpaceBytes = rlim_t{512} << 20;
constexpr rlim_t kCpuSeconds = 30;

void cpuExhausted(int) {
    static const char text[] = "kirune-thumbnailer: processor time limit reached\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text, sizeof text - 1);
    ::_exit(1);  // the unnamed temporary output vanishes with the process
}

// Lowers a limit, never raising one the caller set tighter.
void lowerLimit(int resource, rlim_t soft, rlim_t hard) {
    rlimit now{};
    if (::getrlimit(resource, &now) != 0) return;
    const rlimit next{std::min(soft, now.rlim_cur), std::min(hard, now.rlim_max)};
    ::setrlimit(resource, &next);
}

void limitResources() {
#ifndef KIRUNE_ADDRESS_SANITIZER
    lowerLimit(RLIMIT_AS, kAddressSpaceBytes, kAddressSpaceBytes);
#endif
    struct sigaction sa {};
    sa.sa_handler = cpuExhausted;
    ::sigaction(SIGXCPU, &sa, nullptr);
    // The hard limit kills outright should the soft one's signal be missed.
    lowerLimit(RLIMIT_CPU, kCpuSeconds, kCpuSeconds + 2);
}

int usage(const char* problem) {
    if (problem) std::fprintf(stderr, "%s: %s\n", kProgram, problem);
    std::fprintf(stderr, "usage: %s [-s SIZE] INPUT.rpx OUTPUT.png\n", kProgram);
    return 2;
}

// One line, whatever the text holds.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    limitResources();
    int size = kDefaultSize;
    const char* paths[2] = {};
    int pathCount = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(nullptr);
            return 0;
        }
        if (arg == "-s" || arg == "--size") {
            if (++i == argc) return usage("-s needs a size");
            const std::string_view v = argv[i];
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), size);
            if (ec != std::errc() || end != v.data() + v.size() || size < 1 || size > kirune::kMaxThumbnailSide)
                return usage("the size must be a number of pixels from 1 to 4096");
            continue;
        }
        if (pathCount == 2) return usage("too many arguments");
        paths[pathCount++] = argv[i];
    }
    if (pathCount != 2) return usage("an input and an output are needed");

    try {
        kirune::writePng(kirune::thumbnailOfFile(paths[0], size), paths[1]);
        return 0;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: %s: %s\n", kProgram, paths[0], kirune::kOutOfMemoryText);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s: %s\n", kProgram, paths[0], oneLine(e.what()).c_str());
    }
    return 1;
}
