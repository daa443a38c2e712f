// Files side by side: whatever the threads, a batch shows the same messages,
// counter and summaries in list order and writes the same bytes; files never
// hold more threads than the batch has, and a file that may write an earlier
// file's output waits for it.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>

#include "app/core/batch.h"
#include "app/core/drivers.h"
#include "app/core/failure_text.h"
#include "app/core/presets.h"
#include "app/core/ui.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;

namespace {

// What the window was told, progress aside (which only the file the window
// follows reports when files run side by side).
struct Transcript : BatchUi {
    std::vector<std::string> events;
    void showMessage(const std::string& p, const std::string& t) override { events.push_back("msg:" + p + "|" + t); }
    void showWarning(const std::string& p, const std::string& t) override { events.push_back("warn:" + p + "|" + t); }
    void setPathText(const std::string& t) override { events.push_back("path:" + t); }
    void setCounterText(const std::string& t) override { events.push_back("count:" + t); }
    void setProgress(int) override {}
};

// Files named "<strips>-<name>.tif"; each sleeps longer the earlier it comes,
// so later files end first, and says something on the way.
class SleepyFiles : public FileProcessor {
public:
    SleepyFiles(int threads, std::filesystem::path outDir) : threads_(threads), outDir_(std::move(outDir)) {}
    int batchThreads() const override { return threads_; }
    FileFootprint footprint(const std::string& path, FileKind) const override {
        return {std::stoi(std::filesystem::path(path).filename().string()), 1000};
    }
    std::string outputPath(const std::string& path, FileKind) const override {
        return (outDir_ / std::filesystem::path(path).filename()).replace_extension(".out").string();
    }
    bool processOneFile(const std::string& path, FileKind kind, BatchUi& ui) override {
        return processOneFileOn(path, kind, ui, 1);
    }
    bool processOneFileOn(const std::string& path, FileKind, BatchUi& ui, int threads) override {
        {
            std::lock_guard lock(m_);
            inUse_ += threads;
            peak_ = std::max(peak_, inUse_);
            if (threads == threads_) alone_ &= inUse_ == threads;
        }
        ui.setProgress(50);
        ui.showWarning(path, "noticed");
        std::this_thread::sleep_for(std::chrono::milliseconds(40 - 5 * std::min(7, calls_++)));
        const bool ok = path.find("bad") == std::string::npos;
        if (ok) writeFile(outputPath(path, FileKind::CompressTiff), {1});
        ui.inOrder([&ui, path] { ui.showMessage(path, "summary"); });
        {
            std::lock_guard lock(m_);
            inUse_ -= threads;
        }
        if (!ok) ui.showMessage(path, "failed");
        return ok;
    }
    int peak() const { return peak_; }
    bool wholeBatchFilesRanAlone() const { return alone_; }

private:
    const int threads_;
    const std::filesystem::path outDir_;
    std::atomic<int> calls_{0};
    std::mutex m_;
    int inUse_ = 0, peak_ = 0;
    bool alone_ = true;
};

using SideBySide = ScratchDir;

TEST_F(SideBySide, MessagesAndCountsKeepListOrderAndThreadsStayWithinTheBatch) {
    std::filesystem::create_directories(dir / "in2");
    std::filesystem::create_directories(dir / "out");
    FileList list;
    // in2/1-a.tif writes the same output name as 1-a.tif: it must wait for it
    // and then fail naming it, as it would one after another.
    for (const char* name : {"1-a.tif", "in2/1-a.tif", "1-b.tif", "1-bad.tif", "4-big.tif", "1-c.tif", "notes.txt",
                             "1-d.tif", "1-e.tif"}) {
        if (std::string(name) != "notes.txt") writeFile(path(name), {0});
        list.add(path(name));
    }
    std::map<int, Transcript> seen;
    for (int threads : {1, 2, 3}) {
        std::filesystem::remove_all(dir / "out");
        std::filesystem::create_directories(dir / "out");
        SleepyFiles files(threads, dir / "out");
        Transcript& ui = seen[threads];
        const BatchResult r = runBatch(list, files, ui);
        EXPECT_EQ(r.succeeded, 6) << threads;
        EXPECT_EQ(r.failed, 3) << threads;
        EXPECT_EQ(r.notStarted, 0) << threads;
        EXPECT_LE(files.peak(), threads);
        if (threads > 1) {
            EXPECT_EQ(files.peak(), threads) << "one-strip files did not run side by side";
            EXPECT_EQ(ui.events, seen[1].events) << threads << " threads";
        }
        EXPECT_TRUE(files.wholeBatchFilesRanAlone()) << threads;
    }
    const auto& e = seen[1].events;
    EXPECT_NE(std::find_if(e.begin(), e.end(),
                           [&](const std::string& s) {
                               return s.rfind("msg:" + path("in2/1-a.tif") + "|" + japaneseText(UserMessage{kOutputTakenText}), 0) == 0;
                           }),
              e.end());
}

// How letters outside ASCII fold depends on the file system: such output
// names in one folder are never written at once.
TEST_F(SideBySide, OutputNamesOutsideAsciiInOneFolderWaitForEachOther) {
    FileList list;
    for (const char* name : {"1-\xe5\x86\x99.tif", "1-\xe6\x99\xaf.tif", "1-\xef\xbc\xa1.tif", "1-\xef\xbd\x81.tif"}) {
        writeFile(path(name), {0});
        list.add(path(name));
    }
    SleepyFiles files(2, dir);
    Transcript ui;
    EXPECT_EQ(runBatch(list, files, ui).succeeded, 4);
    EXPECT_EQ(files.peak(), 1);
}

TEST_F(SideBySide, AStopLetsTheFilesAtWorkEndAndStartsNoOther) {
    FileList list;
    for (int i = 0; i < 8; ++i) {
        writeFile(path("1-f" + std::to_string(i) + ".tif"), {0});
        list.add(path("1-f" + std::to_string(i) + ".tif"));
    }
    struct Stopping : SleepyFiles {
        using SleepyFiles::SleepyFiles;
        std::stop_source source;
        bool processOneFileOn(const std::string& path, FileKind kind, BatchUi& ui, int threads) override {
            if (path.find("f2") != std::string::npos) source.request_stop();
            return SleepyFiles::processOneFileOn(path, kind, ui, threads);
        }
    } files(2, dir);
    Transcript ui;
    const BatchResult r = runBatch(list, files, ui, files.source.get_token());
    EXPECT_TRUE(r.stopped);
    EXPECT_GE(r.notStarted, 8 - 4);  // at most f2 and the one beside it started after the stop
    EXPECT_EQ(r.succeeded + r.failed + r.notStarted, 8);
    EXPECT_EQ(ui.events.back(), "count:0 / 0");
}

// A photograph-like picture with some texture.
uint16_t photo(int x, int y, int c) {
    const double v = 20000 + 9000 * std::sin(x * 0.05 + c) + 7000 * std::cos(y * 0.07 - c * 0.5) +
                     ((x * 7 + y * 13 + c * 5) % 17) * 150;
    return static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
}

TEST_F(SideBySide, RealFilesGiveTheSameBytesMessagesAndSummariesAtOneTwoAndEightThreads) {
    FileList list;
    for (int i = 0; i < 5; ++i) {
        const std::string name = path(std::to_string(i) + "-photo.tif");
        writeTiff(name, TiffLayout{.width = 40 + 9 * i, .height = 30 + 7 * i}, photo);
        list.add(name);
    }
    writeFile(path("q-damaged.rpx"), {'R', 'P', 'X', 0});
    list.add(path("q-damaged.rpx"));
    std::map<int, std::vector<std::string>> transcripts;
    std::map<int, std::map<std::string, std::vector<uint8_t>>> outputs;
    for (int threads : {1, 2, 8}) {
        JobSettings s;
        s.usePreset(kPresets[2]);
        s.threads = threads;
        s.stripBudgetLog2 = 12;  // one strip for all but the largest, which has two
        s.measureQuality = true;
        s.outputDir = path(std::to_string(threads) + "-threads");
        std::filesystem::create_directories(s.outputDir);
        FileDrivers drivers(s);
        Transcript ui;
        drivers.onFileDone = [&ui](const FileReport& r) {
            ui.events.push_back("done:" + std::filesystem::path(r.output).filename().string() + " " +
                                std::to_string(r.psnr));
        };
        const BatchResult r = runBatch(list, drivers, ui);
        EXPECT_EQ(r.succeeded, 5) << threads;
        EXPECT_EQ(r.failed, 1) << threads;
        transcripts[threads] = ui.events;
        for (const auto& f : std::filesystem::directory_iterator(s.outputDir))
            outputs[threads][f.path().filename()] = readFile(f.path());
    }
    EXPECT_EQ(outputs[1].size(), 5u);
    for (int threads : {2, 8}) {
        EXPECT_EQ(transcripts[threads], transcripts[1]) << threads << " threads";
        EXPECT_EQ(outputs[threads], outputs[1]) << threads << " threads";
    }
}

}  // namespace
