// Hostile headers: whatever size a container claims, expanding it allocates one strip's working set
// per worker, one block-sorting call's buffers and the output it really writes; lengths past their
// buffer or the file are refused before anything is allocated. Measured with RLIMIT_AS in a child.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <fstream>
#include <string>

#include "app/core/drivers.h"
#include "container/image_input.h"
#include "container/messages.h"
#include "container/rpx_container.h"
#include "kirune/Error.h"
#include "tests/hardening/support.h"

namespace kirune {
namespace {

using test::inChild;
using test::putLe;
using test::readFile;
using test::writeFile;

// Address space the expansion may add: two workers' 2^22-pixel strips with their buffers are below 300 MiB.
constexpr uint64_t kHeadroom = uint64_t{1} << 30;

bool limitAddressSpace(uint64_t headroom) {
    std::ifstream status("/proc/self/status");
    uint64_t kb = 0;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) kb = std::stoull(line.substr(7));
    const rlimit lim{kb * 1024 + headroom, kb * 1024 + headroom};
    return kb > 0 && ::setrlimit(RLIMIT_AS, &lim) == 0;
}

class ResourceLimits : public test::ScratchDir {
protected:
    void SetUp() override {
        if (test::kSanitized) GTEST_SKIP() << "address-space limits do not work under the sanitizers";
        ScratchDir::SetUp();
    }

    // Expands `rpx` to TIFF or BMP under the address limit; the error's message id, or "expanded".
    std::string expandLimited(const std::string& rpx, bool bmp) {
        return inChild([&] {
            if (!limitAddressSpace(kHeadroom)) return std::string("no limit");
            JobSettings settings;
            settings.bmpOutput = bmp;
            settings.threads = 2;  // each worker holds a working set of its own
            test::RecordingUi ui;
            try {
                expandFile(rpx, settings, ui);
            } catch (const Error& e) {
                return e.message().text;
            }
            return std::string("expanded");
        });
    }
};

TEST_F(ResourceLimits, HugeClaimedImagesExpandWithinTheStripWorkingSet) {
    // One real strip of 1024 x 64, then a header claiming 400,000 rows (a 2.4 GB TIFF) on a 64 Ki-pixel
    // budget, and empty tables for the other strips: strip 0 decodes and is written, the next is damaged.
    writeFile(path("strip.bmp"), test::bmpBytes(1024, 64, false));
    test::RecordingUi ui;
    const FileReport c = compressFile(path("strip.bmp"), FileKind::CompressBmp, JobSettings{}, ui);
    std::vector<uint8_t> bytes = readFile(c.output);
    putLe(bytes, 14, 400000, 4);
    putLe(bytes, 26, 16, 4);
    const size_t strip1 = bytes.size();
    bytes.resize(bytes.size() + 6249 * kStreamTableBytes, 0);
    writeFile(path("tall.rpx"), bytes);
    // The same with strip 1 claiming a 3.75 GiB matchBytes stream.
    putLe(bytes, strip1 + 6 * 8, 0xF0000000u, 4);
    putLe(bytes, strip1 + 6 * 8 + 4, 16, 4);
    writeFile(path("greedy.rpx"), bytes);

    for (const char* name : {"tall", "greedy"})
        for (bool bmp : {false, true})
            EXPECT_EQ(expandLimited(path(std::string(name) + ".rpx"), bmp), kDamagedFileText) << name << bmp;

    // 500,000 x 1,000,000 with a table for every strip: the BMP is refused before any output exists,
    // the TIFF fails at the first strip's data.
    std::vector<uint8_t> huge = encodeContainerHeader([] {
        FileCoding c;
        c.layout.width = 500000;
        c.layout.height = 1000000;
        c.quality.qualityLevel = 12;
        return c;
    }(), ImageMetadata{});
    huge.resize(huge.size() + 125000 * kStreamTableBytes, 0);
    writeFile(path("huge.rpx"), huge);
    EXPECT_EQ(expandLimited(path("huge.rpx"), false), kDamagedFileText);
    EXPECT_EQ(expandLimited(path("huge.rpx"), true), kBmpTooLargeText);

    // Nothing stays behind but the inputs.
    EXPECT_EQ(entries(), (std::set<std::string>{"greedy.rpx", "huge.rpx", "strip.bmp", "strip_49-2.rpx", "tall.rpx"}));
}

// A forged BMP whose row stride times height passes 63 bits once overflowed the file-size check.
using HostileInputs = test::ScratchDir;

TEST_F(HostileInputs, BmpSizesBeyondTheFileAreRefusedWithoutOverflow) {
    const std::string p = path("huge.bmp");
    for (const uint32_t height : {0x7FFFFFFFu, 0x951F19FFu /* top-down */, 2u}) {
        std::vector<uint8_t> b = test::bmpBytes(1, 1, false);
        putLe(b, 18, 0x7FFFFFFFu, 4);
        putLe(b, 22, height, 4);
        writeFile(p, b);
        try {
            openInputImage(p, InputFormat::Bmp);
            ADD_FAILURE() << height;
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(kInputReadText, 0), 0u) << e.what();
        }
    }
}

}  // namespace
}  // namespace kirune
