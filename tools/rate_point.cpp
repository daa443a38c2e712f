// Compresses images through the drivers, as rpx would, and prints one line
// per image: name, quality level, colour sampling, container bytes, RGB PSNR
// (16-bit peak) and seconds. bench/rate_table.sh builds its tables from these.
//
//   rate_point [-p DIGIT | -k LEVEL -s SAMPLING | --psnr DB] [--rdo] -o DIR IMAGE...

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/core/drivers.h"
#include "app/core/failure_text.h"
#include "app/core/ui.h"

using namespace kirune;

namespace {

struct Silent : BatchUi {
    void showMessage(const std::string& path, const std::string& text) override {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), text.c_str());
    }
    void setPathText(const std::string&) override {}
    void setCounterText(const std::string&) override {}
    void setProgress(int) override {}
};

int usage() {
    std::fprintf(stderr, "usage: rate_point [-p DIGIT | -k LEVEL -s SAMPLING | --psnr DB] [--rdo] -o DIR IMAGE...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    JobSettings s;
    s.measureQuality = true;
    s.replaceExisting = true;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "-p" && more) {
            const int d = std::atoi(argv[++i]);
            if (d < 0 || d > 9) return usage();
            s.usePreset(kPresets[d]);
        } else if (a == "-k" && more) {
            s.qualityLevel = std::atoi(argv[++i]);
            // Formatted, not "k" + std::to_string: GCC 12 misreads the string
            // joins as an overlapping copy and warns.
            char text[16];
            std::snprintf(text, sizeof text, "k%d", s.qualityLevel);
            s.qualityDbText = text;
        } else if (a == "-s" && more) {
            s.colourSampling = std::atoi(argv[++i]);
        } else if (a == "--psnr" && more) {
            s.usePsnrTarget(std::atof(argv[++i]));
        } else if (a == "--rdo") {
            s.rateAware = true;
        } else if (a == "-o" && more) {
            s.outputDir = argv[++i];
        } else if (a.rfind('-', 0) == 0) {
            return usage();
        } else {
            files.push_back(a);
        }
    }
    if (files.empty() || s.outputDir.empty()) return usage();
    Silent ui;
    int status = 0;
    for (const std::string& f : files) {
        const auto t0 = std::chrono::steady_clock::now();
        try {
            const bool bmp = f.size() > 4 && f.compare(f.size() - 4, 4, ".bmp") == 0;
            const FileReport r = compressFile(f, bmp ? FileKind::CompressBmp : FileKind::CompressTiff, s, ui);
            const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            std::printf("%s %d %d %llu %.4f %.3f\n", f.c_str(), r.qualityLevel, r.colourSampling,
                        static_cast<unsigned long long>(r.outputBytes), r.psnr, secs);
            std::fflush(stdout);
        } catch (...) {
            std::fprintf(stderr, "%s: %s\n", f.c_str(), failureText(std::current_exception()).c_str());
            status = 1;
        }
    }
    return status;
}
