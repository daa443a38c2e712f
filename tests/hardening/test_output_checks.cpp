// Outputs checked as they are written. Full disk (RLIMIT_FSIZE, SIGXFSZ ignored: EFBIG) and read-only
// folder (capabilities dropped) in a child: every output kind fails with a message, leaves no temporary nor
// touches an existing output, and the batch goes on. Expanded TIFFs: a write that fails once, a profile
// kept in the header only, and (once per release run) a picture past a classic TIFF's 4 GiB.

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "app/core/batch.h"
#include "app/core/drivers.h"
#include "app/core/failure_text.h"
#include "container/image_input.h"
#include "container/messages.h"
#include "container/output_file.h"
#include "container/rpx_container.h"
#include "kirune/Error.h"
#include "tests/hardening/support.h"

// The test binary is linked with --wrap=write: the writers' own calls come here.
extern "C" ssize_t __real_write(int fd, const void* buf, size_t n);
namespace {
std::atomic<bool> failNextLargeWrite{false};
}
extern "C" ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    if (n >= (size_t{1} << 19) && failNextLargeWrite.exchange(false)) {
        errno = ENOSPC;
        return -1;
    }
    return __real_write(fd, buf, n);
}

namespace kirune {
namespace {

using test::readFile;
using test::writeFile;

enum class Failure { FullDisk, ReadOnly };
enum class Job { Compress, ExpandTiff, ExpandBmp };

// Outputs of the big input (200 x 160) exceed this, those of the small one (16 x 16) do not.
constexpr rlim_t kFileSizeLimit = 16 * 1024;

bool applyFailure(Failure f) {
    if (f == Failure::FullDisk) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit lim{kFileSizeLimit, kFileSizeLimit};
        return ::setrlimit(RLIMIT_FSIZE, &lim) == 0;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    return ::syscall(SYS_capset, &header, none) == 0;
}

class FailingDisks : public test::ScratchDir {
protected:
    // target/ holds the big input and an existing file of each output name; rw/ the small input.
    void SetUp() override {
        ScratchDir::SetUp();
        std::filesystem::create_directory(dir / "target");
        std::filesystem::create_directory(dir / "rw");
        std::filesystem::copy_file(std::string(KIRUNE_TEST_DATA) + "/coffee-200.tif", path("target/big.tif"));
        writeFile(path("rw/small.bmp"), test::bmpBytes(16, 16, false));
        test::RecordingUi ui;
        FileDrivers drivers{JobSettings{}};
        FileList list;
        list.add(path("target/big.tif")), list.add(path("rw/small.bmp"));
        ASSERT_EQ(runBatch(list, drivers, ui).succeeded, 2);
        writeFile(path("target/big_49-2.tif"), {'o', 'l', 'd', 't'});
        writeFile(path("target/big_49-2.bmp"), {'o', 'l', 'd', 'b'});
        before_ = snapshot("target");
    }
    void TearDown() override {
        ::chmod((dir / "target").c_str(), 0755);
        ScratchDir::TearDown();
    }

    // Runs the batch [big, small] for `job` in a child under `failure`: "succeeded failed", then the messages.
    std::string runFailing(Job job, Failure failure) {
        const bool compress = job == Job::Compress;
        JobSettings settings;
        settings.bmpOutput = job == Job::ExpandBmp;
        settings.existingOutputs = ExistingOutputs::Replace;  // the old files are there to be kept by a failure
        FileList list;
        list.add(path(compress ? "target/big.tif" : "target/big_49-2.rpx"));
        list.add(path(compress ? "rw/small.bmp" : "rw/small_49-2.rpx"));
        if (failure == Failure::ReadOnly) ::chmod((dir / "target").c_str(), 0555);
        const std::string result = test::inChild([&] {
            if (!applyFailure(failure)) return std::string("limit not applied");
            test::RecordingUi ui;
            FileDrivers drivers(settings);
            const BatchResult r = runBatch(list, drivers, ui);
            std::string text = std::to_string(r.succeeded) + " " + std::to_string(r.failed);
            for (const std::string& m : ui.messages) text += "\n" + m;
            return text;
        });
        ::chmod((dir / "target").c_str(), 0755);
        return result;
    }

    // Every file of a folder below the scratch one, hidden temporaries included, with its bytes.
    std::map<std::string, std::vector<uint8_t>> snapshot(const std::string& folder) const {
        std::map<std::string, std::vector<uint8_t>> files;
        for (const auto& e : std::filesystem::directory_iterator(dir / folder)) files[e.path().filename()] = readFile(e.path());
        return files;
    }
    std::map<std::string, std::vector<uint8_t>> before_;
};

TEST_F(FailingDisks, EachOutputFailsCleanlyAndTheBatchGoesOn) {
    const struct { Job job; const char *input, *output, *smallOutput; } jobs[] = {
        {Job::Compress, "target/big.tif", "target/big_49-2.rpx", "rw/small_49-2.rpx"},
        {Job::ExpandTiff, "target/big_49-2.rpx", "target/big_49-2.tif", "rw/small_49-2.tif"},
        {Job::ExpandBmp, "target/big_49-2.rpx", "target/big_49-2.bmp", "rw/small_49-2.bmp"},
    };
    for (const Failure failure : {Failure::FullDisk, Failure::ReadOnly}) {
        // As the batch shows it by default, in the dialog's Japanese.
        const std::string text =
            japaneseText(UserMessage{failure == Failure::FullDisk ? kCannotWriteOutputText : kCannotCreateOutputText});
        // The system's own reason, also from inside libtiff's writer.
        const char* reason = failure == Failure::FullDisk ? "File too large)" : "Permission denied)";
        for (const auto& j : jobs) {
            SCOPED_TRACE(std::string(j.output) + (failure == Failure::FullDisk ? ", full disk" : ", read-only"));
            std::filesystem::remove(path(j.smallOutput));
            // One message, naming the file and its output; the small file still done.
            const std::string got = runFailing(j.job, failure);
            const std::string want = "1 1\n" + path(j.input) + "|" + text + ": " + path(j.output) + " (" + reason;
            EXPECT_EQ(got.rfind(want, 0), 0u) << got;
            EXPECT_EQ(got.find('\n', want.size()), std::string::npos) << got;
            EXPECT_TRUE(std::filesystem::exists(path(j.smallOutput)));
            EXPECT_TRUE(snapshot("target") == before_) << "the target folder changed";
        }
    }
}

// Without capabilities, as for an ordinary user, an unnamed output is still put in place (linkat or /proc).
TEST_F(FailingDisks, UnnamedOutputsArePutInPlaceWithoutPrivileges) {
    const std::string got = test::inChild([&] {
        if (!applyFailure(Failure::ReadOnly)) return std::string("capabilities kept");
        for (const bool replace : {false, true}) {
            OutputOptions options;
            options.replaceExisting = replace;
            OutputFile f(path("rw/plain.rpx"), options);
            if (!f.tempPath().empty()) return std::string("not unnamed");
            std::fputs(replace ? "second" : "first", f.stream());
            f.commit();
        }
        return std::string("ok");
    });
    EXPECT_EQ(got, "ok");
    EXPECT_EQ(readFile(path("rw/plain.rpx")), (std::vector<uint8_t>{'s', 'e', 'c', 'o', 'n', 'd'}));
    EXPECT_EQ(snapshot("rw").size(), 3u);  // small.bmp, its container and this
}

using OutputChecks = test::ScratchDir;

// A full disk that frees space a moment later: the rows libtiff could not flush are not dropped unseen.
TEST_F(OutputChecks, AWriteThatFailsOnceFailsTheFileAndLeavesTheOldOutput) {
    test::writeTiff(path("pic.tif"), test::TiffLayout{.width = 600, .height = 400, .rowsPerStrip = 64});
    test::RecordingUi ui;
    JobSettings settings;
    const std::string container = compressFile(path("pic.tif"), FileKind::CompressTiff, settings, ui).output;
    writeFile(path("pic_49-2.tif"), {'o', 'l', 'd'});
    const auto before = entries();
    failNextLargeWrite = true;
    const std::string got = test::errorText([&] { expandFile(container, settings, ui); });
    EXPECT_FALSE(failNextLargeWrite);  // the failure did happen
    EXPECT_EQ(got, std::string(kCannotWriteOutputText) + ": " + path("pic_49-2.tif") + " (" + systemReason(ENOSPC) + ")");
    EXPECT_EQ(readFile(path("pic_49-2.tif")), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(entries(), before);
}

// A profile over the carried tags' budget stays in the container's header, and comes back from there.
TEST_F(OutputChecks, AProfileOverTheCarriedBudgetComesBackFromTheHeader) {
    ImageMetadata tags;
    tags.artist = "Kirune";
    tags.iccProfile.resize(17 << 20);
    for (std::size_t i = 0; i < tags.iccProfile.size(); ++i) tags.iccProfile[i] = uint8_t(i * 7 / 5);
    test::writeTiff(path("icc.tif"), test::TiffLayout{.width = 16, .height = 16, .tags = &tags});
    test::RecordingUi ui;
    JobSettings settings;
    const std::string out =
        expandFile(compressFile(path("icc.tif"), FileKind::CompressTiff, settings, ui).output, settings, ui).output;
    const ImageMetadata back = openInputImage(out, InputFormat::Tiff)->metadata;
    EXPECT_TRUE(back.iccProfile == tags.iccProfile);
    EXPECT_EQ(back.artist, tags.artist);  // the carried tags as well
}

// Over 4 GiB of samples (16384 x 44032 pixels) from a container of a few megabytes: one flat strip section,
// repeated. Expanded by the real rpx; run once per release test run (it writes 4.3 GB).
TEST_F(OutputChecks, APicturePastFourGibibytesComesBackWholeAsABigTiff) {
    if (!std::getenv("KIRUNE_HUGE_OUTPUT")) GTEST_SKIP() << "KIRUNE_HUGE_OUTPUT is not set";
    struct statvfs disk {};
    if (statvfs(path("").c_str(), &disk) == 0 && uint64_t{disk.f_bavail} * disk.f_frsize < (uint64_t{6} << 30))
        GTEST_SKIP() << "under 6 GiB free for the scratch folder: the picture writes 4.3 GB";
    constexpr int kWidth = 16384, kValue = 30000;
    test::writeTiff(path("flat.tif"), test::TiffLayout{.width = kWidth, .height = 512, .rowsPerStrip = 512},
                    [](int, int, int) { return uint16_t(kValue); });
    test::RecordingUi ui;
    const std::string small = compressFile(path("flat.tif"), FileKind::CompressTiff, JobSettings{}, ui).output;
    ContainerReader reader(small);
    ImageMetadata meta;
    FileCoding coding = readContainerHeader(reader, meta);
    ASSERT_EQ(coding.layout.stripCount, 2);
    test::TestImage buffers(coding);
    buffers.alloc();
    StripSection strip;
    readStripSection(reader, buffers.strip.streams, strip);
    coding.layout = computeStripLayout(kWidth, 172 * coding.layout.stripHeight, coding.layout.stripBudgetLog2);
    ASSERT_GT(int64_t{kWidth} * coding.layout.height * 6, int64_t{1} << 32);
    {
        ContainerWriter huge(path("huge.rpx"));
        writeContainerHeader(huge, coding, meta);
        for (int k = 0; k < coding.layout.stripCount; ++k) appendStripSection(huge, strip);
        huge.commit();
    }
    std::filesystem::remove(path("flat.tif")), std::filesystem::remove(small);
    const std::string command = std::string(KIRUNE_RPX) + " -q " + path("huge.rpx");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    TIFF* tif = TIFFOpen(path("huge.tif").c_str(), "r");
    ASSERT_NE(tif, nullptr);
    EXPECT_TRUE(TIFFIsBigTIFF(tif));
    uint64_t stored = 0;
    for (uint32_t s = 0; s < TIFFNumberOfStrips(tif); ++s) stored += TIFFGetStrileByteCount(tif, s);
    EXPECT_EQ(stored, uint64_t{kWidth} * coding.layout.height * 6);
    std::vector<uint16_t> first(kWidth * 3), last(kWidth * 3);
    ASSERT_EQ(TIFFReadScanline(tif, first.data(), 0, 0), 1);
    ASSERT_EQ(TIFFReadScanline(tif, last.data(), uint32_t(coding.layout.height - 1), 0), 1);
    EXPECT_NEAR(last[3 * kWidth - 1], kValue, 64);
    EXPECT_EQ(last, first);
    TIFFClose(tif);
}

}  // namespace
}  // namespace kirune
