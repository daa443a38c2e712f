// The batch: dispatch by name, output names, messages in English and the dialog's Japanese, the folder walk, and
// the drivers end to end on files (TIFF and BMP in, container out, and back).

#include <gmock/gmock.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "app/core/batch.h"
#include "app/core/drivers.h"
#include "app/core/failure_text.h"
#include "app/core/folder_walk.h"
#include "app/core/i18n.h"
#include "app/core/output_names.h"
#include "app/core/presets.h"
#include "app/core/ui.h"
#include "container/image_input.h"
#include "container/messages.h"
#include "kirune/Error.h"
#include "tests/app/app_support.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;
namespace fs = std::filesystem;

namespace {

// Every call in order, one line each; as the processor it fails b.rpx.
struct Recorder : BatchUi, FileProcessor {
    std::vector<std::string> events;
    void showMessage(const std::string& p, const std::string& t) override { events.push_back("msg:" + p + "|" + t); }
    void setPathText(const std::string& t) override { events.push_back("path:" + t); }
    void setCounterText(const std::string& t) override { events.push_back("count:" + t); }
    void setProgress(int p) override { events.push_back(std::to_string(p)); }
    bool processOneFile(const std::string& path, FileKind kind, BatchUi&) override {
        events.push_back(std::string(std::array{"?", "tiff:", "bmp:", "png:", "expand:"}[int(kind)]) + path);
        return path != "b.rpx";
    }
};

JobSettings presetSettings(int digit) {
    JobSettings s;
    s.usePreset(kPresets[digit]);
    s.measureQuality = true;
    return s;
}

// PSNR of an expanded w x h 16-bit TIFF against the samples the reader takes from a `bits`-bit source, on the
// 16-bit scale the encoder measures on.
double psnrOfExpansion(const std::string& path, uint32_t w, uint32_t h, int bits) {
    const std::vector<uint16_t> got = tiffSamples(path);
    EXPECT_EQ(got.size(), size_t{w} * h * 3) << path;
    double sum = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        const int v = photo(int(i / 3 % w), int(i / 3 / w), int(i % 3));
        const double ref = bits == 16 ? ((v + 8) >> 4) * 16.0 : (v >> 8) * 256.0;
        sum += (ref - got[i]) * (ref - got[i]);
    }
    return sum == 0 ? INFINITY : 10 * std::log10(65535.0 * 65535.0 * 3 * w * h / sum);
}

using Drivers = ScratchDir;


TEST(Dispatch, ClassifiesByTheFinalExtensionAndSortsCaseInsensitivelyByUnsignedBytes) {
    using enum FileKind;
    const std::pair<const char*, FileKind> cases[] = {
        {"/scan/Photo.TIF", CompressTiff},       {"a.tiff", CompressTiff},   {"x.rpx.tif", CompressTiff},
        {"/d/my.tif.files/b.bmp", CompressBmp},  {"/d/c.BMP", CompressBmp},  {"/d/img_49-2.RPX", Expand},
        {"/d/picture.PNG", CompressPng},         {"/d/folder", Unsupported}, {"/d/x.rpx-old/c.tif", CompressTiff},
        {"/d/x.rpx-old/c", Unsupported}};
    for (const auto& [path, kind] : cases) EXPECT_EQ(classifyPath(path), kind) << path;
    // The Japanese names the text after the path's last '.', wherever it is, as the dialog always has; the English
    // the file's own extension, or its lack.
    EXPECT_EQ(japaneseText(unsupportedMessage("/a.b/c.Jpeg")), "jpegファイル形式には対応していません");
    EXPECT_EQ(japaneseText(unsupportedMessage("/d/folder")), "ファイル形式には対応していません");
    EXPECT_EQ(japaneseText(unsupportedMessage("/a.b/c")), "b/cファイル形式には対応していません");
    EXPECT_THAT(Error(unsupportedMessage("/a.b/c.Jpeg")).what(), ::testing::StartsWith("unsupported extension .jpeg: "));
    EXPECT_EQ(unsupportedMessage("/a.b/c").text, kNoExtensionText);

    const auto sorted = [](std::initializer_list<const char*> names) {
        FileList list;
        for (const char* n : names) list.add(n);
        sortFileList(list);
        return list.paths();
    };
    // '_' (0x5f) sorts before the lower-cased letters, a UTF-8 lead byte after them.
    EXPECT_EQ(sorted({"b.tif", "A.tif", "\xe5\x86\x99.tif", "c.rpx", "_x.tif", "Z.tif"}),
              (std::vector<std::string>{"_x.tif", "A.tif", "b.tif", "c.rpx", "Z.tif", "\xe5\x86\x99.tif"}));
    // Names equal but for case are never exchanged with each other; only a smaller name moves one.
    EXPECT_EQ(sorted({"B.tif", "b.tif", "a.tif"}), (std::vector<std::string>{"a.tif", "b.tif", "B.tif"}));
}

TEST(Dispatch, BatchShowsCounterAndPathAndGoesOnAfterFailures) {
    FileList list;
    for (const char* p : {"A.tif", "notes.txt", "b.rpx", "c.bmp"}) list.add(p);
    Recorder ui;
    const BatchResult r = runBatch(list, ui, ui);
    EXPECT_EQ(std::make_pair(r.succeeded, r.failed), std::make_pair(2, 2));
    EXPECT_EQ(ui.events, (std::vector<std::string>{
                             "count:1 / 4", "path:A.tif", "tiff:A.tif", "path:", "count:2 / 4",
                             "msg:notes.txt|txtファイル形式には対応していません", "path:", "count:3 / 4",
                             "path:b.rpx", "expand:b.rpx", "path:", "count:4 / 4", "path:c.bmp", "bmp:c.bmp",
                             "path:", "path:", "count:0 / 0"}));
    ui.events.clear();
    runBatch(FileList{}, ui, ui);
    EXPECT_EQ(ui.events, (std::vector<std::string>{"path:", "count:0 / 0"}));
}

TEST(OutputNames, ReplaceFromTheLastDotOfTheFileName) {
    EXPECT_EQ(compressedName("/scan/Photo.TIF", "40"), "/scan/Photo_40-2.rpx");
    EXPECT_EQ(compressedName("/d/x.rpx.tif", "49"), "/d/x.rpx_49-2.rpx");
    // A dot in a folder name does not move the output into the parent folder.
    EXPECT_EQ(compressedName("/d/my.tif.files/scan", "49"), "/d/my.tif.files/scan_49-2.rpx");
    EXPECT_EQ(compressedName("/d/shots.rpx/a.bmp", "47", "/out"), "/out/a_47-2.rpx");
    EXPECT_EQ(expandedName("/scan/img01_49-2.rpx", false), "/scan/img01_49-2.tif");
    EXPECT_EQ(expandedName("/d/a_49-2.rpx", true, "/out/"), "/out/a_49-2.bmp");
    EXPECT_EQ(expandedName("rel.rpx", true, "o"), "o/rel.bmp");
}

// The expanded pixels are the encoder's own reconstruction: the PSNR it reported.
TEST_F(Drivers, SmallAndOddGeometriesSurviveEveryPresetAndSampleWidthAndTagsComeBack) {
    const ImageMetadata tags = allTags();
    const TiffLayout sizes[] = {{.width = 101, .height = 67, .tags = &tags},
                                {.width = 1, .height = 1},
                                {.width = 3, .height = 3, .bits = 8},
                                {.width = 8, .height = 1},
                                {.width = 1001, .height = 9, .compression = COMPRESSION_LZW},
                                {.width = 4, .height = 13, .bits = 8, .compression = COMPRESSION_ADOBE_DEFLATE}};
    for (const TiffLayout& size : sizes)
        for (int digit = 0; digit < 10; ++digit) {
            writeTiff(path("g.tif"), size, photo);
            Recorder ui;
            const FileReport c = compressFile(path("g.tif"), FileKind::CompressTiff, presetSettings(digit), ui);
            const FileReport e = expandFile(c.output, presetSettings(digit), ui);
            EXPECT_EQ(ui.events.back(), "0");  // the bar is cleared after each file
            EXPECT_NEAR(psnrOfExpansion(e.output, size.width, size.height, size.bits), c.psnr, 1e-9)
                << size.width << "x" << size.height << " preset " << digit;
            if (size.tags) {
                EXPECT_EQ(fields(openInputImage(e.output, InputFormat::Tiff)->metadata), fields(tags));
            }
        }
}


TEST(Messages, ArgumentsFillTheirSlotsInAnyOrderAndTheDetailFollows) {
    const UserMessage m{"strip {1} of {2}", {"3", "4"}, "why"};
    EXPECT_EQ(composeMessage(m.text, m), "strip 3 of 4: why");
    EXPECT_EQ(composeMessage("{2}, {1}, {2}", m), "4, 3, 4: why");
    // A translation may leave arguments out; slots without an argument, and braces around anything else, are text.
    EXPECT_EQ(composeMessage("damaged", m), "damaged: why");
    EXPECT_EQ(composeMessage("{3} {0} {x} {1", m), "{3} {0} {x} {1: why");
    EXPECT_EQ(composeMessage("{1}", UserMessage{"", {"only"}}), "only");
}

TEST(Messages, ErrorsAreEnglishAndKeepTheirMessage) {
    const Error e(UserMessage{kTruncatedStripText, {"3", "4"}});
    EXPECT_STREQ(e.what(), "truncated: the file ends inside strip 3 of 4");
    EXPECT_STREQ(Error(kCannotOpenInputText, "No such file or directory").what(),
                 "cannot open the file: No such file or directory");
    // A copy shares the message: copying an exception never allocates.
    const Error copy = e;
    EXPECT_EQ(&copy.message(), &e.message());
}

TEST(Messages, TheBuiltInJapaneseIsTheDialogsOwn) {
    EXPECT_STREQ(builtInJapanese(kDamagedFileText), "ファイルが壊れています");
    EXPECT_STREQ(builtInJapanese(kOutOfMemoryText), "Out of Memory");
    EXPECT_EQ(builtInJapanese("a text no catalogue has"), nullptr);
    EXPECT_EQ(builtInJapanese(""), nullptr);  // the catalogue's header is no translation
    // More detailed English, the same Japanese as before.
    EXPECT_EQ(japaneseText(UserMessage{kTruncatedStripText, {"3", "4"}}), "ファイルが壊れています");
    EXPECT_EQ(japaneseText(UserMessage{kBadMagicText}), japaneseText(UserMessage{kTruncatedHeaderText}));
    EXPECT_EQ(japaneseText(UserMessage{kBmpTooLargeText, {"4404019254"}}),
              "BMPの上限4GiBを超えるため書き出せません (4404019254 bytes)");
    EXPECT_EQ(japaneseText(UserMessage{kOutputExistsText, {}, "a_49-2.rpx"}),
              "出力ファイルが既にあります（置き換えるには -f/--force）: a_49-2.rpx");
    // Internal faults have no translation and read the same in both.
    EXPECT_EQ(japaneseText(UserMessage{"strip 9 is outside the image"}), "strip 9 is outside the image");
}

TEST(Messages, FailuresAreToldInTheDialogsJapaneseUnlessTheProgramChoseTheLocale) {
    ASSERT_FALSE(localeTexts());  // this program never calls useLocaleTexts()
    const auto text = [](auto thrown) { return failureText(std::make_exception_ptr(thrown)); };
    EXPECT_EQ(text(Error(kNotBmpText)), "BMPファイルではありません");
    EXPECT_EQ(text(Interrupted(kInterruptedText)), "中断しました（出力は書き出していません）");
    EXPECT_EQ(text(std::bad_alloc()), "Out of Memory");
    EXPECT_EQ(text(std::runtime_error("from elsewhere")), "from elsewhere");
}

// Walks tree/ in the scratch folder, which things outside it may point into.
class FolderWalk : public ScratchDir {
protected:
    void touch(const fs::path& p) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << "x";
    }
    std::vector<std::string> walk(WalkFinds finds = WalkFinds::Both) const {
        std::vector<std::string> out;
        for (const std::string& p : collectFolderImages(root, finds)) {
            EXPECT_EQ(p.rfind(root, 0), 0u) << p << " does not start with the root";
            out.push_back(fs::path(p).lexically_relative(root).string());
        }
        return out;
    }
    void SetUp() override { ScratchDir::SetUp(), root = path("tree"); }
    std::string root;
};

TEST_F(FolderWalk, FindsImagesAndFilesSymlinkedInsideTheTreeInByteOrderAndNeverEntersSymlinkedFolders) {
    const fs::path r = root;
    for (const char* name : {"b.tif", "A.TIFF", "a/z.bmp", "a/b/c/deep.rpx", "a/b/c/photo_49-2.rpx", "b/x.tif",
                             "notes.txt", "a/readme", "a/b/.x_49-2.rpx.Ab12Cd34.part", "p/scan.PNG", "c.png.txt",
                             "in/real.tif"})
        touch(r / name);
    fs::create_directories(r / "empty.tif");  // a folder named like an image is not one
    touch(dir / "outside/secret.tif");
    touch(dir / "outside/more/deep.tif");
    fs::create_symlink(r / "in/real.tif", r / "link-inside.tif");
    fs::create_symlink(dir / "outside/secret.tif", r / "link-outside.tif");
    fs::create_symlink("in/real.tif", r / "rel.tif");  // relative target
    fs::create_symlink(dir / "outside", r / "outdir");
    fs::create_symlink(r / "in", r / "loop");  // would list in/ twice if entered
    fs::create_symlink(r / "missing.tif", r / "dangling.tif");
    EXPECT_EQ(walk(), (std::vector<std::string>{"A.TIFF", "a/b/c/deep.rpx", "a/b/c/photo_49-2.rpx", "a/z.bmp",
                                                "b.tif", "b/x.tif", "in/real.tif", "link-inside.tif", "p/scan.PNG",
                                                "rel.tif"}));
    // Compression walks find PNGs, expansion walks leave them out.
    EXPECT_EQ(walk(WalkFinds::Images), (std::vector<std::string>{"A.TIFF", "a/z.bmp", "b.tif", "b/x.tif",
                                                                 "in/real.tif", "link-inside.tif", "p/scan.PNG",
                                                                 "rel.tif"}));
    EXPECT_EQ(walk(WalkFinds::Containers), (std::vector<std::string>{"a/b/c/deep.rpx", "a/b/c/photo_49-2.rpx"}));
    // A trailing slash, as shells complete folder names, changes nothing; a root given through a symbolic link is
    // walked; a missing root or a plain file gives nothing.
    EXPECT_EQ(collectFolderImages(root), collectFolderImages(root + "/"));
    fs::create_symlink(root, path("alias"));
    EXPECT_EQ(collectFolderImages(path("alias"), WalkFinds::Containers),
              (std::vector<std::string>{path("alias/a/b/c/deep.rpx"), path("alias/a/b/c/photo_49-2.rpx")}));
    EXPECT_TRUE(collectFolderImages(root + "/nowhere").empty());
    EXPECT_TRUE(collectFolderImages(root + "/b.tif").empty());
}

TEST_F(FolderWalk, UnreadableFolderCostsOnlyItsOwnFiles) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    for (const char* name : {"a/locked/x.tif", "b/y.tif", "c.tif"}) touch(fs::path(root) / name);
    ASSERT_EQ(::chmod((root + "/a/locked").c_str(), 0), 0);
    const std::vector<std::string> found = walk();
    ::chmod((root + "/a/locked").c_str(), 0755);
    EXPECT_EQ(found, (std::vector<std::string>{"b/y.tif", "c.tif"}));
}

}  // namespace
