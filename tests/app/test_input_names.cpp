// The input's name a container stores, and expansions under it (rpx -N): a
// stored name is untrusted, and containers without one keep the default name.

#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "app/core/drivers.h"
#include "app/core/output_names.h"
#include "container/rpx_container.h"
#include "container/trailer.h"
#include "tests/app/app_support.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

std::optional<Trailer> trailerOf(const std::string& path) {
    const ContainerReader in(path);
    return readTrailer(in.fd(), in.size());
}

class InputNames : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        writeTiff(path("pic.tif"), TiffLayout{.width = 24, .height = 16});
        Quiet ui;
        made = compressFile(path("pic.tif"), FileKind::CompressTiff, JobSettings{}, ui).output;
        std::filesystem::create_directory(dir / "sub");
    }
    // The container again as sub/forged.rpx, its trailer's name record as `name` says.
    std::string forge(const std::optional<std::string>& name) {
        Trailer t = *trailerOf(made);
        if (name)
            t.inputName->name = *name;
        else
            t.inputName.reset();
        std::vector<uint8_t> bytes = withoutTrailer(readFile(made));
        const std::vector<uint8_t> trailer = encodeTrailer(t);
        bytes.insert(bytes.end(), trailer.begin(), trailer.end());
        writeFile(path("sub/forged.rpx"), bytes);
        return path("sub/forged.rpx");
    }
    std::string made;
};

TEST_F(InputNames, HostileStoredNamesFallBackToTheDefaultNameWithAWarning) {
    const std::string longest = std::string(251, 'n') + ".tif";
    const std::string hostile[] = {"../evil.tif", "a/b.tif", "/tmp/evil.tif", "..", ".", "",
                                   longest + "x", std::string("ok\0.tif", 7)};
    JobSettings s;
    s.restoreName = true;
    for (const std::string& name : hostile) {
        SCOPED_TRACE(name);
        const std::string forged = forge(name);
        Quiet ui;
        EXPECT_EQ(FileDrivers(s).outputPath(forged, FileKind::Expand), path("sub/forged.tif"));
        EXPECT_EQ(expandFile(forged, s, ui).output, path("sub/forged.tif"));
        EXPECT_THAT(ui.warnings, ElementsAre(HasSubstr("not a plain file name")));
        EXPECT_FALSE(std::filesystem::exists(dir / "evil.tif"));
        std::filesystem::remove(dir / "sub/forged.tif");
    }
    // The longest name a file system takes is a name.
    Quiet ui;
    EXPECT_EQ(expandFile(forge(longest), s, ui).output, path("sub/" + longest));
    EXPECT_THAT(ui.warnings, IsEmpty());
}

TEST_F(InputNames, ContainerWithoutTheRecordKeepsTheDefaultNameWithAWarning) {
    const std::string forged = forge(std::nullopt);
    JobSettings s;
    s.restoreName = true;
    Quiet ui;
    EXPECT_EQ(FileDrivers(s).outputPath(forged, FileKind::Expand), path("sub/forged.tif"));
    EXPECT_EQ(expandFile(forged, s, ui).output, path("sub/forged.tif"));
    EXPECT_THAT(ui.warnings, ElementsAre(HasSubstr("stores no input name")));
    EXPECT_EQ(verifyFile(forged, false, s, ui), (VerifyResult{true, true, true, false}));
}

TEST(RestoredNames, KeptWhenTheExtensionSaysTheKindElseTheStemTakesIt) {
    EXPECT_EQ(restoredName("a_49-2.rpx", "x.TIFF", false), "x.TIFF");
    EXPECT_EQ(restoredName("a_49-2.rpx", "x.Tif", true), "x.bmp");
    EXPECT_EQ(restoredName("a_49-2.rpx", "x.BMP", true), "x.BMP");
    EXPECT_EQ(restoredName("a_49-2.rpx", "scan 2.final.tif", true), "scan 2.final.bmp");
    EXPECT_EQ(restoredName("a_49-2.rpx", "noext", false), "noext.tif");
    EXPECT_EQ(restoredName("in/d.x/a_49-2.rpx", "x.tiff", false), "in/d.x/x.tiff");
    EXPECT_EQ(restoredName("in/a_49-2.rpx", "x.tif", true, "out"), "out/x.bmp");
}

TEST(InputNameRecord, ReadsBackAndAnImpossibleTimeIsDamage) {
    Trailer t;
    t.pixels = Checksum128{1, 2};
    t.inputName = InputName{std::string("na\xff\x01me.tif"), -86400, 999'999'999};
    char tmpl[] = "/tmp/kirune-name-XXXXXX";
    const int fd = ::mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    ::unlink(tmpl);
    const auto readBack = [&](const Trailer& x) {
        const std::vector<uint8_t> b = encodeTrailer(x);
        EXPECT_EQ(::ftruncate(fd, 0), 0);
        EXPECT_EQ(::pwrite(fd, b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
        return readTrailer(fd, static_cast<int64_t>(b.size()));
    };
    const std::optional<Trailer> got = readBack(t);
    EXPECT_TRUE(got && got->inputName == t.inputName && got->pixels == t.pixels);
    t.inputName->modifiedNanoseconds = 1'000'000'000;
    EXPECT_THAT(errorText([&] { readBack(t); }), HasSubstr("impossible"));
    ::close(fd);
}

}  // namespace
