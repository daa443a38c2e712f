// Threads change how fast a file is done, never what it holds: the
// identical-outputs test pins the bytes at 1, 2 and 8 threads. Here damage
// found by a worker, and the parallel loop itself.

#include <gmock/gmock.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "app/core/drivers.h"
#include "app/core/ui.h"
#include "kirune/Error.h"
#include "kirune/Parallel.h"
#include "tests/app/app_support.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;

namespace {

JobSettings manyStrips(int threads) {
    JobSettings s;
    s.qualityDbText = "x";
    s.stripBudgetLog2 = 12;
    s.threads = threads;
    return s;
}

using Threads = ScratchDir;

TEST_F(Threads, DamageInALaterStripFailsTheFileWithEveryThreadCount) {
    writeTiff(path("s.tif"), TiffLayout{.width = 120, .height = 96});
    Quiet ui;
    const FileReport c = compressFile(path("s.tif"), FileKind::CompressTiff, manyStrips(1), ui);
    std::vector<uint8_t> bytes = readFile(c.output);
    bytes.resize(bytes.size() - 40);  // the last strip loses its end
    writeFile(c.output, bytes);
    for (int threads : {1, 2, 8}) {
        EXPECT_EQ(errorText([&] { expandFile(c.output, manyStrips(threads), ui); }), kDamagedFileText) << threads;
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
        if (threads == 1) {
            EXPECT_EQ(text, "10");
        } else {
            EXPECT_THAT(text, ::testing::AnyOf("10", "20"));
        }
    }
    parallelFor(0, 4, [](int) { FAIL(); });
}

}  // namespace
