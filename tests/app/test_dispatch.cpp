#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/core/FileList.h"
#include "app/core/output_names.h"
#include "app/core/presets.h"
#include "app/core/ui.h"

using namespace kirune;

namespace {

struct RecordingUi : BatchUi {
    std::vector<std::string> events;
    void showMessage(const std::string& path, const std::string& text) override {
        events.push_back("msg:" + path + "|" + text);
    }
    void setPathText(const std::string& t) override { events.push_back("path:" + t); }
    void setCounterText(const std::string& t) override { events.push_back("count:" + t); }
    void setProgress(int p) override { events.push_back("progress:" + std::to_string(p)); }
};

struct RecordingProcessor : FileProcessor {
    std::vector<std::pair<std::string, FileKind>> calls;
    std::string failOn;
    bool processOneFile(const std::string& path, FileKind kind, BatchUi&) override {
        calls.emplace_back(path, kind);
        return path != failOn;
    }
};

}  // namespace

TEST(Dispatch, ClassifiesByNameWithRpxFirst) {
    EXPECT_EQ(classifyPath("/scan/Photo.TIF"), FileKind::CompressTiff);
    EXPECT_EQ(classifyPath("a.tiff"), FileKind::CompressTiff);
    EXPECT_EQ(classifyPath("x.rpx.tif"), FileKind::Expand);
    EXPECT_EQ(classifyPath("/d/my.tif.files/b.bmp"), FileKind::CompressTiff);
    EXPECT_EQ(classifyPath("/d/c.BMP"), FileKind::CompressBmp);
    EXPECT_EQ(classifyPath("/d/img_49-2.RPX"), FileKind::Expand);
    EXPECT_EQ(classifyPath("/d/picture.png"), FileKind::Unsupported);
    EXPECT_EQ(classifyPath("/d/folder"), FileKind::Unsupported);
}

TEST(Dispatch, UnsupportedMessageUsesLowerCasedTextAfterLastDot) {
    EXPECT_EQ(unsupportedMessage("/d/Picture.PNG"), "pngファイル形式には対応していません");
    EXPECT_EQ(unsupportedMessage("/d/folder"), "ファイル形式には対応していません");
    EXPECT_EQ(unsupportedMessage("noext"), "ファイル形式には対応していません");
    EXPECT_EQ(unsupportedMessage("/a.b/c.Jpeg"), "jpegファイル形式には対応していません");
}

TEST(Dispatch, SortIsCaseInsensitive) {
    FileList list;
    for (const char* p : {"b.tif", "A.tif", "c.rpx", "_x.tif", "Z.tif"}) list.add(p);
    sortFileList(list);
    // '_' (0x5f) sorts before the lower-cased letters.
    const std::vector<std::string> want = {"_x.tif", "A.tif", "b.tif", "c.rpx", "Z.tif"};
    EXPECT_EQ(list.paths(), want);

    // Names equal but for case are never swapped with each other.
    FileList same;
    for (const char* p : {"B.tif", "a.tif", "b.tif"}) same.add(p);
    sortFileList(same);
    EXPECT_EQ(same.paths(), (std::vector<std::string>{"a.tif", "B.tif", "b.tif"}));
}

TEST(Dispatch, SortComparesBytesAsUnsigned) {
    FileList list;
    list.add("\xe5\x86\x99.tif");  // a UTF-8 lead byte sorts after ASCII
    list.add("z.tif");
    list.add("Y.tif");
    sortFileList(list);
    EXPECT_EQ(list[0], "Y.tif");
    EXPECT_EQ(list[1], "z.tif");
    EXPECT_EQ(list[2], "\xe5\x86\x99.tif");
}

TEST(Dispatch, ListStopsAtOneThousand) {
    FileList list;
    int accepted = 0;
    for (int i = 0; i < 1200; ++i) accepted += list.add("f" + std::to_string(i) + ".tif");
    EXPECT_EQ(accepted, 1000);
    EXPECT_EQ(list.count(), 1000u);
    EXPECT_EQ(list[999], "f999.tif");
}

TEST(Dispatch, BatchShowsCounterPathAndGoesOnAfterFailures) {
    FileList list;
    for (const char* p : {"A.tif", "notes.txt", "b.rpx", "c.bmp"}) list.add(p);
    RecordingUi ui;
    RecordingProcessor proc;
    proc.failOn = "b.rpx";
    const BatchResult r = runBatch(list, proc, ui);
    EXPECT_EQ(r.succeeded, 2);
    EXPECT_EQ(r.failed, 2);
    ASSERT_EQ(proc.calls.size(), 3u);
    EXPECT_EQ(proc.calls[0], std::make_pair(std::string("A.tif"), FileKind::CompressTiff));
    EXPECT_EQ(proc.calls[1], std::make_pair(std::string("b.rpx"), FileKind::Expand));
    EXPECT_EQ(proc.calls[2], std::make_pair(std::string("c.bmp"), FileKind::CompressBmp));

    const std::vector<std::string> want = {
        "count:1 / 4", "path:A.tif", "path:", "count:2 / 4",
        "msg:notes.txt|txtファイル形式には対応していません", "path:", "count:3 / 4", "path:b.rpx",
        "path:", "count:4 / 4", "path:c.bmp", "path:", "path:", "count:0 / 0"};
    EXPECT_EQ(ui.events, want);
}

TEST(Dispatch, EmptyBatchResetsCounter) {
    FileList list;
    RecordingUi ui;
    RecordingProcessor proc;
    runBatch(list, proc, ui);
    EXPECT_EQ(ui.events, (std::vector<std::string>{"path:", "count:0 / 0"}));
}

TEST(OutputNames, ReplaceFromTheLastDotOfTheFileName) {
    EXPECT_EQ(compressedName("/scan/img01.tif", "49"), "/scan/img01_49-2.rpx");
    EXPECT_EQ(compressedName("/scan/Photo.TIF", "40"), "/scan/Photo_40-2.rpx");
    EXPECT_EQ(compressedName("/d/x.rpx.tif", "49"), "/d/x.rpx_49-2.rpx");
    EXPECT_EQ(expandedName("/scan/img01_49-2.rpx", false), "/scan/img01_49-2.tif");
    EXPECT_EQ(expandedName("/scan/img01_49-2.rpx", true), "/scan/img01_49-2.bmp");
    // A dot in a folder name does not move the output into the parent folder.
    EXPECT_EQ(compressedName("/d/my.tif.files/scan", "49"), "/d/my.tif.files/scan_49-2.rpx");
    EXPECT_EQ(compressedName("/d/shots.rpx/a.bmp", "47", "/out"), "/out/a_47-2.rpx");
    EXPECT_EQ(expandedName("/d/a_49-2.rpx", false, "/out/"), "/out/a_49-2.tif");
    EXPECT_EQ(expandedName("rel.rpx", true, "o"), "o/rel.bmp");
}

TEST(Presets, DigitTableAndRadios) {
    ASSERT_EQ(presetForRadio(0)->qualityLevel, 21);
    EXPECT_EQ(presetForRadio(1)->dbFigure, 49);
    EXPECT_EQ(presetForRadio(2)->qualityLevel, 6);
    EXPECT_FALSE(presetForRadio(-1).has_value());
    EXPECT_FALSE(presetForRadio(3).has_value());
    for (int d = 0; d < 10; ++d) EXPECT_EQ(kPresets[d].digit, d);
    EXPECT_EQ(kPresets[0].colourSampling, 1);
    EXPECT_EQ(kPresets[8].colourSampling, 2);
    EXPECT_EQ(kPresets[9].qualityLevel, 200);
    EXPECT_EQ(kPresets[kDefaultPresetDigit].qualityLevel, 12);
}
