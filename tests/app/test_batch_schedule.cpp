// Files side by side: same messages, order and bytes at any thread count, never more threads than the batch has;
// damage found by a worker, and the parallel loop itself.

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "app/core/batch.h"
#include "app/core/drivers.h"
#include "app/core/failure_text.h"
#include "app/core/presets.h"
#include "app/core/ui.h"
#include "kirune/Error.h"
#include "kirune/Parallel.h"
#include "tests/app/app_support.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;

namespace {

// What the window was told, progress aside (only the followed file reports it side by side).
struct Transcript : BatchUi {
    std::vector<std::string> events;
    void showMessage(const std::string& p, const std::string& t) override { events.push_back("msg:" + p + "|" + t); }
    void showWarning(const std::string& p, const std::string& t) override { events.push_back("warn:" + p + "|" + t); }
    void setPathText(const std::string& t) override { events.push_back("path:" + t); }
    void setCounterText(const std::string& t) override { events.push_back("count:" + t); }
    void setProgress(int) override {}
};

// Files "<strips>-<name>.tif"; earlier ones sleep longer, so later files end first; one named *f2* stops the batch.
struct SleepyFiles : FileProcessor {
    SleepyFiles(int threads, std::filesystem::path outDir) : threads_(threads), outDir_(std::move(outDir)) {}
    int batchThreads() const override { return threads_; }
    FileFootprint footprint(const std::string& path, FileKind) const override {
        return {std::stoi(std::filesystem::path(path).filename().string()), 1000};
    }
    std::string outputPath(const std::string& path, FileKind) const override {
        return (outDir_ / std::filesystem::path(path).filename()).replace_extension(".out").string();
    }
    bool processOneFile(const std::string& p, FileKind k, BatchUi& ui) override { return processOneFileOn(p, k, ui, 1); }
    bool processOneFileOn(const std::string& path, FileKind, BatchUi& ui, int threads) override {
        {
            std::lock_guard lock(m_);
            inUse_ += threads;
            peak = std::max(peak, inUse_);
            if (threads == threads_) wholeBatchFilesRanAlone &= inUse_ == threads;
        }
        if (path.find("f2") != std::string::npos) stop.request_stop();
        ui.setProgress(50);
        ui.showWarning(path, "noticed");
        std::this_thread::sleep_for(std::chrono::milliseconds(40 - 5 * std::min(7, calls_++)));
        const bool ok = path.find("bad") == std::string::npos;
        if (ok) writeFile(outputPath(path, FileKind::CompressTiff), {1});
        ui.inOrder([&ui, path] { ui.showMessage(path, "summary"); });
        { std::lock_guard lock(m_); inUse_ -= threads; }
        if (!ok) ui.showMessage(path, "failed");
        return ok;
    }
    const int threads_;
    const std::filesystem::path outDir_;
    std::atomic<int> calls_{0};
    std::mutex m_;
    std::stop_source stop;
    int inUse_ = 0, peak = 0;
    bool wholeBatchFilesRanAlone = true;
};

using SideBySide = ScratchDir;

TEST_F(SideBySide, MessagesAndCountsKeepListOrderAndThreadsStayWithinTheBatch) {
    std::filesystem::create_directories(dir / "in2");
    FileList list;
    // in2/1-a.tif has 1-a.tif's output name: it must wait for it, then fail naming it.
    for (const char* name : {"1-a.tif", "in2/1-a.tif", "1-b.tif", "1-bad.tif", "4-big.tif", "1-c.tif", "notes.txt",
                             "1-d.tif", "1-e.tif"}) {
        if (std::string(name) != "notes.txt") writeFile(path(name), {0});
        list.add(path(name));
    }
    std::map<int, Transcript> seen;
    for (int threads : {1, 2, 3}) {
        std::filesystem::remove_all(dir / "out");
        std::filesystem::create_directories(dir / "out");  // messages name it, so the same at every thread count
        SleepyFiles files(threads, dir / "out");
        Transcript& ui = seen[threads];
        const BatchResult r = runBatch(list, files, ui);
        EXPECT_EQ(std::tie(r.succeeded, r.failed, r.notStarted), std::make_tuple(6, 3, 0)) << threads;
        EXPECT_EQ(files.peak, threads) << "more threads than the batch, or one-strip files not side by side";
        if (threads > 1) {
            EXPECT_EQ(ui.events, seen[1].events) << threads << " threads";
        }
        EXPECT_TRUE(files.wholeBatchFilesRanAlone) << threads;
    }
    const std::string taken = "msg:" + path("in2/1-a.tif") + "|" + japaneseText(UserMessage{kOutputTakenText});
    EXPECT_TRUE(std::ranges::any_of(seen[1].events, [&](const std::string& s) { return s.starts_with(taken); }));
}

// Non-ASCII case folding depends on the file system: such names in one folder never write at once.
TEST_F(SideBySide, OutputNamesOutsideAsciiInOneFolderWaitForEachOther) {
    FileList list;
    for (const char* name : {"1-\xe5\x86\x99.tif", "1-\xe6\x99\xaf.tif", "1-\xef\xbc\xa1.tif", "1-\xef\xbd\x81.tif"})
        writeFile(path(name), {0}), list.add(path(name));
    SleepyFiles files(2, dir);
    Transcript ui;
    EXPECT_EQ(runBatch(list, files, ui).succeeded, 4);
    EXPECT_EQ(files.peak, 1);
}

TEST_F(SideBySide, AStopLetsTheFilesAtWorkEndAndStartsNoOther) {
    FileList list;
    for (int i = 0; i < 8; ++i) {
        const std::string name = path("1-f" + std::to_string(i) + ".tif");
        writeFile(name, {0}), list.add(name);
    }
    SleepyFiles files(2, dir);
    Transcript ui;
    const BatchResult r = runBatch(list, files, ui, files.stop.get_token());
    EXPECT_TRUE(r.stopped);
    EXPECT_GE(r.notStarted, 8 - 4);  // at most f2 and the one beside it started after the stop
    EXPECT_EQ(r.succeeded + r.failed + r.notStarted, 8);
    EXPECT_EQ(ui.events.back(), "count:0 / 0");
}

TEST_F(SideBySide, RealFilesGiveTheSameBytesMessagesAndSummariesAtOneTwoAndEightThreads) {
    FileList list;
    for (int i = 0; i < 5; ++i) {
        const std::string name = path(std::to_string(i) + "-photo.tif");
        writeTiff(name, TiffLayout{.width = 40 + 9 * i, .height = 30 + 7 * i}, photo), list.add(name);
    }
    writeFile(path("q-damaged.rpx"), {'R', 'P', 'X', 0}), list.add(path("q-damaged.rpx"));
    // Per thread count: what the window was told, and the output files' bytes by name.
    std::map<int, std::pair<std::vector<std::string>, std::map<std::string, std::vector<uint8_t>>>> runs;
    for (int threads : {1, 2, 8}) {
        JobSettings s;
        s.usePreset(kPresets[2]);
        s.threads = threads, s.measureQuality = true;
        s.stripBudgetLog2 = 12;  // one strip for all but the largest, which has two
        s.outputDir = path(std::to_string(threads) + "-threads");
        std::filesystem::create_directories(s.outputDir);
        FileDrivers drivers(s);
        Transcript ui;
        drivers.onFileDone = [&ui](const FileReport& r) {
            ui.events.push_back("done:" + std::filesystem::path(r.output).filename().string() + " " +
                                std::to_string(r.psnr));
        };
        const BatchResult r = runBatch(list, drivers, ui);
        EXPECT_EQ(std::tie(r.succeeded, r.failed), std::make_tuple(5, 1)) << threads;
        runs[threads].first = ui.events;
        for (const auto& f : std::filesystem::directory_iterator(s.outputDir))
            runs[threads].second[f.path().filename()] = readFile(f.path());
    }
    EXPECT_EQ(runs[1].second.size(), 5u);
    for (int threads : {2, 8}) EXPECT_EQ(runs[threads], runs[1]) << threads << " threads";
}

TEST_F(SideBySide, DamageInALaterStripFailsTheFileWithEveryThreadCount) {
    writeTiff(path("s.tif"), TiffLayout{.width = 120, .height = 96});
    Quiet ui;
    JobSettings s;
    s.qualityDbText = "x", s.stripBudgetLog2 = 12;
    const FileReport c = compressFile(path("s.tif"), FileKind::CompressTiff, s, ui);
    std::vector<uint8_t> bytes = readFile(c.output);
    bytes.resize(bytes.size() - 40);  // the last strip loses its end
    writeFile(c.output, bytes);
    for (int threads : {1, 2, 8}) {
        s.threads = threads;
        EXPECT_EQ(errorText([&] { expandFile(c.output, s, ui); }), kDamagedFileText) << threads;
        EXPECT_EQ(entries(), (std::set<std::string>{"s.tif", "s_x-2.rpx"})) << threads;
    }
}

TEST(ParallelFor, RunsEveryItemOnceAndRethrowsTheFirstFailure) {
    for (int threads : {1, 3, 64}) {
        std::vector<std::atomic<int>> runs(100);
        parallelFor(100, threads, [&](int i) { runs[static_cast<size_t>(i)]++; });
        for (const auto& r : runs) EXPECT_EQ(r.load(), 1) << threads;
        // Items 10 and 20 fail; one thread stops at the first.
        std::string text = "accepted";
        try {
            parallelFor(100, threads, [&](int i) {
                if (i == 10 || i == 20) throw std::runtime_error(std::to_string(i));
            });
        } catch (const std::runtime_error& e) {
            text = e.what();
        }
        EXPECT_THAT(text, threads == 1 ? ::testing::Matcher<std::string>("10") : ::testing::AnyOf("10", "20"));
    }
    parallelFor(0, 4, [](int) { FAIL(); });
}

}  // namespace
