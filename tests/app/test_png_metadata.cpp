// A PNG's metadata through a container: exiftool lists the same values on
// the input and on its expansion to PNG, and a TIFF expansion carries the XMP.

#include <gmock/gmock.h>

#include <cstdio>

#include "app/core/drivers.h"
#include "container/png_chunks.h"
#include "tests/app/app_support.h"
#include "tests/container/png_support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

// exiftool's listing of a file, sorted, without the lines about the file
// itself (name, dates, size) and exiftool's own.
std::vector<std::string> exiftool(const std::string& file, const char* groups = "") {
    std::vector<std::string> lines;
    const std::string command = "exiftool -a -G1 -s " + std::string(groups) + " '" + file + "' 2>&1";
    std::FILE* p = ::popen(command.c_str(), "r");
    if (!p) return lines;
    char line[4096];
    while (std::fgets(line, sizeof line, p)) {
        const std::string s(line);
        if (s.rfind("[System]", 0) == 0 || s.rfind("[File]", 0) == 0 || s.rfind("[ExifTool]", 0) == 0) continue;
        lines.push_back(s);
    }
    ::pclose(p);
    std::sort(lines.begin(), lines.end());
    return lines;
}

using PngMetadata = ScratchDir;

TEST_F(PngMetadata, ExiftoolListsTheSameValuesOnTheInputAndItsPngExpansion) {
    if (std::system("exiftool -ver > /dev/null 2>&1") != 0) GTEST_SKIP() << "exiftool is not installed";
    writePng(path("in.png"), {.width = 24, .height = 16, .pixelsPerMetre = 3937, .texts = true});
    // Exif (eXIf) and XMP (iTXt) as exiftool writes them.
    ASSERT_EQ(std::system(("exiftool -q -overwrite_original -Make=Cam -Model=X1 -Artist=Ann "
                           "-DateTimeOriginal='2020:01:02 03:04:05' -XMP-dc:Title='A title' '" +
                           path("in.png") + "'").c_str()),
              0);
    const std::vector<std::string> before = exiftool(path("in.png"));
    ASSERT_THAT(before, IsSupersetOf({HasSubstr("[XMP-dc]        Title"), HasSubstr("[ExifIFD]       DateTimeOriginal"),
                                      HasSubstr("squeezed title"), HasSubstr("PixelsPerUnitX")}));

    Quiet ui;
    const std::string rpx = compressFile(path("in.png"), FileKind::CompressPng, {}, ui).output;
    JobSettings s;
    s.pngOutput = true;
    const std::string png = expandFile(rpx, s, ui).output;
    EXPECT_EQ(exiftool(png), before);
    EXPECT_THAT(ui.warnings, IsEmpty());

    s.pngOutput = false;
    const std::string tif = expandFile(rpx, s, ui).output;
    EXPECT_THAT(exiftool(tif), Contains(HasSubstr("A title")));
}

TEST(PngChunksRecord, RoundTripsAndRefusesEveryCutOrForgedCount) {
    const PngChunks chunks{{'M', 'M', 0, 42}, {{0, "Comment", "", "", "a"}, {3, "Description", "ja", "k", "t"}}, {}};
    const std::vector<uint8_t> bytes = encodePngChunks(chunks);
    EXPECT_EQ(decodePngChunks(bytes), chunks);
    for (std::size_t n = 1; n < bytes.size(); ++n)
        EXPECT_THROW(decodePngChunks(std::span(bytes).first(n)), Error) << n;
    std::vector<uint8_t> forged = bytes;
    forged[5 + 4 + 4 + 3] = 0x7f;  // text count near 2^31
    EXPECT_THROW(decodePngChunks(forged), Error);
}

}  // namespace
