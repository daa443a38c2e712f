// What a verification reports is exactly what it checked, for trailers holding either checksum alone.

#include <gmock/gmock.h>

#include "app/core/drivers.h"
#include "container/messages.h"
#include "container/rpx_container.h"
#include "container/trailer.h"
#include "tests/app/app_support.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

using VerifyChecks = ScratchDir;

TEST_F(VerifyChecks, EachChecksumAloneIsReportedAndTheStripsWalkedWithoutTheContainerChecksum) {
    writeTiff(path("pic.tif"), TiffLayout{.width = 64, .height = 24});
    Quiet ui;
    const std::vector<uint8_t> body =
        withoutTrailer(readFile(compressFile(path("pic.tif"), FileKind::CompressTiff, {}, ui).output));
    const std::optional<Trailer> full =
        readTrailer(ContainerReader(path("pic_49-2.rpx")).fd(), int64_t(readFile(path("pic_49-2.rpx")).size()));
    ASSERT_TRUE(full && full->container && full->pixels);
    const auto withTrailer = [&](std::vector<uint8_t> bytes, const Trailer& t, const std::string& name) {
        const std::vector<uint8_t> encoded = encodeTrailer(t);
        bytes.insert(bytes.end(), encoded.begin(), encoded.end());
        writeFile(path(name), bytes);
        return path(name);
    };
    Checksummer sum;
    sum.add(body.data(), body.size());
    Trailer containerOnly;
    containerOnly.container = sum.digest();
    Trailer pixelsOnly;
    pixelsOnly.pixels = full->pixels;
    const std::string c = withTrailer(body, containerOnly, "c.rpx"), p = withTrailer(body, pixelsOnly, "p.rpx");
    // {container checksum, pixel checksum, strips decoded, layout walked}
    EXPECT_EQ(verifyFile(c, true, {}, ui), (VerifyResult{true, false, false, false}));
    EXPECT_EQ(verifyFile(c, false, {}, ui), (VerifyResult{true, false, true, false}));
    EXPECT_EQ(verifyFile(p, true, {}, ui), (VerifyResult{false, false, false, true}));
    EXPECT_EQ(verifyFile(p, false, {}, ui), (VerifyResult{false, true, true, false}));
    // With no container checksum to vouch for them, the strips' tables must reach the trailer exactly.
    std::vector<uint8_t> longer = body;
    longer.push_back(0);
    const std::string extra = withTrailer(longer, pixelsOnly, "extra.rpx");
    EXPECT_THAT(errorText([&] { verifyFile(extra, true, {}, ui); }), StartsWith(kDamagedFileText));
}

}  // namespace
