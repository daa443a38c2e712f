// The folder walk behind `rpx -r` and dropped folders, and the batch's file
// limit, which is the caller's choice.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/core/batch.h"
#include "app/core/folder_walk.h"
#include "tests/container/support.h"

using namespace kirune;
namespace fs = std::filesystem;

namespace {

// Walks root_, tree/ in the scratch folder, which things outside it may point into.
class FolderWalk : public test::ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        base_ = dir, root_ = path("tree");
        fs::create_directories(root_);
    }

    void touch(const fs::path& p) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << "x";
    }
    std::vector<std::string> relative(const std::vector<std::string>& paths) const {
        std::vector<std::string> out;
        for (const std::string& p : paths) {
            EXPECT_EQ(p.rfind(root_, 0), 0u) << p << " does not start with the root";
            out.push_back(fs::path(p).lexically_relative(root_).string());
        }
        return out;
    }

    fs::path base_;
    std::string root_;
};

TEST_F(FolderWalk, FindsImagesInNestedFoldersInByteOrderLeavingOthersOut) {
    const fs::path r = root_;
    for (const char* name : {"b.tif", "A.TIFF", "a/z.bmp", "a/b/c/deep.rpx", "a/b/c/photo_49-2.rpx", "b/x.tif",
                             "notes.txt", "a/readme", "a/b/.x_49-2.rpx.Ab12Cd34.part"})
        touch(r / name);
    fs::create_directories(r / "empty.tif");  // a folder named like an image is not one
    EXPECT_EQ(relative(collectFolderImages(root_)),
              (std::vector<std::string>{"A.TIFF", "a/b/c/deep.rpx", "a/b/c/photo_49-2.rpx", "a/z.bmp", "b.tif",
                                        "b/x.tif"}));
    // A trailing slash, as shells complete folder names, changes nothing.
    EXPECT_EQ(collectFolderImages(root_), collectFolderImages(root_ + "/"));
}

TEST_F(FolderWalk, FollowsSymlinkedFilesOnlyInsideTheTreeAndNeverSymlinkedFolders) {
    const fs::path r = root_;
    touch(r / "in/real.tif");
    touch(base_ / "outside/secret.tif");
    touch(base_ / "outside/more/deep.tif");
    fs::create_symlink(r / "in/real.tif", r / "link-inside.tif");
    fs::create_symlink(base_ / "outside/secret.tif", r / "link-outside.tif");
    fs::create_symlink("in/real.tif", r / "rel.tif");  // relative target
    fs::create_symlink(base_ / "outside", r / "outdir");
    fs::create_symlink(r / "in", r / "loop");  // would list in/ twice if entered
    fs::create_symlink(r / "missing.tif", r / "dangling.tif");
    EXPECT_EQ(relative(collectFolderImages(root_)),
              (std::vector<std::string>{"in/real.tif", "link-inside.tif", "rel.tif"}));
}


TEST_F(FolderWalk, UnreadableFolderCostsOnlyItsOwnFiles) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    const fs::path r = root_;
    touch(r / "a/locked/x.tif");
    touch(r / "b/y.tif");
    touch(r / "c.tif");
    ASSERT_EQ(::chmod((r / "a/locked").c_str(), 0), 0);
    const std::vector<std::string> found = relative(collectFolderImages(root_));
    ::chmod((r / "a/locked").c_str(), 0755);
    EXPECT_EQ(found, (std::vector<std::string>{"b/y.tif", "c.tif"}));
}

TEST_F(FolderWalk, ARootGivenThroughASymlinkIsWalkedAndAMissingRootOrAPlainFileGivesNothing) {
    touch(fs::path(root_) / "sub/a.tif");
    const std::string alias = (base_ / "alias").string();
    fs::create_symlink(root_, alias);
    EXPECT_EQ(collectFolderImages(alias), std::vector<std::string>{alias + "/sub/a.tif"});
    EXPECT_TRUE(collectFolderImages(root_ + "/nowhere").empty());
    EXPECT_TRUE(collectFolderImages(root_ + "/sub/a.tif").empty());
}

TEST(FileListLimit, DialogDefaultStopsAtItsLimitAndAnUnlimitedListDoesNot) {
    FileList dialog;
    for (std::size_t i = 0; i < kMaxBatchFiles; ++i) ASSERT_TRUE(dialog.add("f.tif"));
    EXPECT_FALSE(dialog.add("one-more.tif"));
    EXPECT_EQ(dialog.count(), kMaxBatchFiles);

    FileList unlimited(SIZE_MAX);
    for (std::size_t i = 0; i <= kMaxBatchFiles; ++i) ASSERT_TRUE(unlimited.add("f.tif"));
    EXPECT_EQ(unlimited.count(), kMaxBatchFiles + 1);
}

TEST_F(FolderWalk, CompressionWalksFindPngsAndExpansionWalksLeaveThemOut) {
    const fs::path r = root_;
    for (const char* name : {"scan.PNG", "a/b.png", "a/b_49-2.rpx", "c.png.txt"}) touch(r / name);
    EXPECT_EQ(relative(collectFolderImages(root_, WalkFinds::Images)),
              (std::vector<std::string>{"a/b.png", "scan.PNG"}));
    EXPECT_EQ(relative(collectFolderImages(root_, WalkFinds::Containers)), (std::vector<std::string>{"a/b_49-2.rpx"}));
}

}  // namespace
