// A stream that only the range decoder finds damaged reaches the user as the damaged-file error, in
// English and in Japanese, from every command that decodes it, and leaves no output behind.

#include <gmock/gmock.h>

#include <string>

#include "app/core/drivers.h"
#include "tests/container/range_damage.h"
#include "tests/hardening/support.h"

namespace kirune {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using RangeDamage = test::ScratchDir;

// Smooth enough that the side streams are block-sorted rather than stored.
uint16_t gradient(int x, int y, int c) { return static_cast<uint16_t>(x * 700 + y * 300 + c * 5000); }

// What `rpx ARGS` prints (both streams) under LANG=lang alone, and its exit status.
test::Ran rpx(const std::string& lang, const std::string& args) {
    return test::runCommand("env -u LC_ALL -u LC_MESSAGES -u LANGUAGE LANG=" + lang + " " + KIRUNE_RPX + " " + args);
}

TEST_F(RangeDamage, EveryDecodingCommandSaysTheFileIsDamagedInEachLanguage) {
    test::writeTiff(path("pic.tif"), test::TiffLayout{.width = 96, .height = 64}, gradient);
    test::RecordingUi ui;
    const std::string good = compressFile(path("pic.tif"), FileKind::CompressTiff, {}, ui).output;
    const std::string bad = path("bad.rpx");
    test::writeRangeCoderDamage(good, bad);
    for (const auto& [lang, damaged] : {std::pair{"C.UTF-8", "the file is damaged"},
                                        std::pair{"ja_JP.UTF-8", "ファイルが壊れています"}}) {
        SCOPED_TRACE(lang);
        for (const std::string& args : {"-q " + bad, "verify " + bad}) {
            const auto [status, text] = rpx(lang, args);
            EXPECT_EQ(status, 1) << args;
            EXPECT_THAT(text, HasSubstr(std::string(damaged) + ": range decoder: ")) << args;
            EXPECT_THAT(text, Not(HasSubstr("RangeCoder"))) << args;
        }
        // info reads the header and trailer only, which are whole: it lists the file.
        EXPECT_EQ(rpx(lang, "info " + bad).status, 0);
    }
    EXPECT_EQ(entries(), (std::set<std::string>{"bad.rpx", "pic.tif", "pic_49-2.rpx"}));
}

}  // namespace
}  // namespace kirune
