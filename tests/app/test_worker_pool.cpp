// Strip workers handed on from file to file: the next file of the same size
// works in them, a file of another size or a failed one never does, and the
// bytes written are those of fresh workers.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "app/core/drivers.h"
#include "app/core/presets.h"
#include "app/core/strip_pipeline.h"
#include "tests/app/app_support.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;

namespace {

class WorkerReuse : public ScratchDir {
protected:
    // Compresses `tif` into `folder` and expands the container again into it
    // (with workers of its own, so that the pool holds the compression's);
    // returns both outputs' bytes.
    std::vector<std::vector<uint8_t>> roundTrip(const std::string& tif, const std::string& folder, JobSettings s) {
        s.outputDir = path(folder);
        std::filesystem::create_directories(s.outputDir);
        Quiet ui;
        const FileReport c = compressFile(tif, FileKind::CompressTiff, s, ui);
        s.workerPool = nullptr;
        const FileReport e = expandFile(c.output, s, ui);
        return {readFile(c.output), readFile(e.output)};
    }
    // What the pool holds for the coding of container `rpx`, taken out and
    // put back.
    static std::set<StripWorker*> held(WorkerPool& pool, const std::string& rpx) {
        auto workers = pool.take(openContainer(rpx).coding, 64);
        std::set<StripWorker*> ids;
        for (const auto& w : workers) ids.insert(w.get());
        pool.keep(workers);
        return ids;
    }
};

TEST_F(WorkerReuse, FilesOfOneSizeWorkInTheSameSetsAndWriteWhatFreshSetsWrite) {
    // Two pictures of one size (three strips), and one of another size.
    writeTiff(path("a.tif"), TiffLayout{.width = 64, .height = 150}, photo);
    writeTiff(path("b.tif"), TiffLayout{.width = 64, .height = 150});
    writeTiff(path("c.tif"), TiffLayout{.width = 72, .height = 150}, photo);
    JobSettings s;
    s.usePreset(kPresets[2]);
    s.stripBudgetLog2 = 12, s.threads = 2;
    JobSettings pooled = s;
    pooled.workerPool = makeWorkerPool();
    WorkerPool& pool = *pooled.workerPool;

    EXPECT_EQ(roundTrip(path("a.tif"), "pooled", pooled), roundTrip(path("a.tif"), "fresh", s));
    const std::string rpxA = path("pooled/a_49-2.rpx");
    const std::set<StripWorker*> first = held(pool, rpxA);
    EXPECT_EQ(first.size(), 2u);  // one per thread, given back
    // A different picture of the same size: the same workers, the bytes of fresh ones.
    EXPECT_EQ(roundTrip(path("b.tif"), "pooled", pooled), roundTrip(path("b.tif"), "fresh", s));
    EXPECT_EQ(held(pool, rpxA), first);
    // Another size takes none of them and leaves only its own.
    EXPECT_EQ(roundTrip(path("c.tif"), "pooled", pooled), roundTrip(path("c.tif"), "fresh", s));
    EXPECT_EQ(held(pool, path("pooled/c_49-2.rpx")).size(), 2u);
    EXPECT_EQ(held(pool, rpxA), std::set<StripWorker*>{});
}

TEST_F(WorkerReuse, AFileThatFailsMidwayHandsNothingOnAndTheNextOneDecodesRight) {
    writeTiff(path("a.tif"), TiffLayout{.width = 64, .height = 150}, photo);
    JobSettings s;
    s.usePreset(kPresets[2]);
    s.stripBudgetLog2 = 12, s.threads = 2;
    const std::vector<uint8_t> fresh = roundTrip(path("a.tif"), "fresh", s)[1];
    // The same container with its last strip's streams damaged (checksums left
    // out, so that only decoding finds it), after its first strips decoded.
    const std::string rpx = path("fresh/a_49-2.rpx");
    std::vector<uint8_t> damaged = withoutTrailer(readFile(rpx));
    for (std::size_t i = damaged.size() - 60; i < damaged.size() - 20; ++i) damaged[i] ^= 0x5a;
    writeFile(path("damaged.rpx"), damaged);

    s.workerPool = makeWorkerPool();
    s.outputDir = path("pooled");
    std::filesystem::create_directories(s.outputDir);
    Quiet ui;
    for (int threads : {1, 2}) {
        s.threads = 2;
        expandFile(rpx, s, ui);  // leaves two workers in the pool
        ASSERT_EQ(held(*s.workerPool, rpx).size(), 2u);
        s.threads = threads;
        EXPECT_EQ(errorText([&] { expandFile(path("damaged.rpx"), s, ui); }), kDamagedFileText) << threads;
        // Only those it did not take are left.
        EXPECT_EQ(held(*s.workerPool, rpx).size(), 2u - threads) << threads;
        const FileReport e = expandFile(rpx, s, ui);
        EXPECT_EQ(readFile(e.output), fresh) << threads;
    }
}

}  // namespace
