// Expanded TIFFs checked as they are written: a write that fails once, a profile kept in the header only,
// and (once per release run) a picture past a classic TIFF's 4 GiB.

#include <sys/statvfs.h>

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/core/drivers.h"
#include "container/messages.h"
#include "container/rpx_container.h"
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
    TIFF* tif = TIFFOpen(out.c_str(), "r");
    ASSERT_NE(tif, nullptr);
    uint32_t length = 0;
    const uint8_t* icc = nullptr;
    const char* artist = nullptr;
    ASSERT_EQ(TIFFGetField(tif, TIFFTAG_ICCPROFILE, &length, &icc), 1);
    EXPECT_TRUE(std::vector<uint8_t>(icc, icc + length) == tags.iccProfile);
    ASSERT_EQ(TIFFGetField(tif, TIFFTAG_ARTIST, &artist), 1);  // the carried tags as well
    EXPECT_STREQ(artist, "Kirune");
    TIFFClose(tif);
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
