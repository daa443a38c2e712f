#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "container/messages.h"
#include "container/output_file.h"
#include "kirune/Error.h"
#include "support.h"

namespace kirune {
namespace {

using test::readFile;
using test::writeFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class OutputFileTest : public test::ScratchDir {
protected:
    void put(OutputFile& f, const std::string& text) {
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f.stream()), text.size());
    }
};

TEST_F(OutputFileTest, CommitRenamesTheCompleteFileOverTheFinalName) {
    writeFile(path("out.rpx"), {'o', 'l', 'd'});
    OutputFile f(path("out.rpx"));
    put(f, "new data");
    EXPECT_EQ(entries().size(), 2u);
    EXPECT_EQ(readFile(path("out.rpx")), std::vector<uint8_t>({'o', 'l', 'd'}));  // untouched until commit
    f.commit();
    EXPECT_THAT(entries(), ElementsAre("out.rpx"));
    EXPECT_EQ(readFile(path("out.rpx")), std::vector<uint8_t>({'n', 'e', 'w', ' ', 'd', 'a', 't', 'a'}));
    struct stat st {};
    ASSERT_EQ(::stat(path("out.rpx").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0044, 0u);  // the umask decides, not the temporary file's 0600
}

TEST_F(OutputFileTest, FailureBeforeCommitRemovesTheTemporaryAndKeepsTheOldFile) {
    writeFile(path("keep.tif"), {1, 2, 3});
    try {
        OutputFile f(path("keep.tif"));
        put(f, "half");
        throw Error("decoder failed");
    } catch (const Error&) {
    }
    EXPECT_THAT(entries(), ElementsAre("keep.tif"));
    EXPECT_EQ(readFile(path("keep.tif")), std::vector<uint8_t>({1, 2, 3}));
    {
        OutputFile f(path("new.tif"));
    }
    EXPECT_THAT(entries(), ElementsAre("keep.tif"));
}

TEST_F(OutputFileTest, UncreatableOutputNamesTheOutputAndTheReason) {
    try {
        OutputFile f(path("missing/x.rpx"));
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_THAT(e.what(), StartsWith(kCannotCreateOutputText));
        EXPECT_THAT(e.what(), HasSubstr(path("missing/x.rpx")));
    }
    // A folder of the output's name is not replaced.
    std::filesystem::create_directory(dir / "d.bmp");
    OutputFile f(path("d.bmp"));
    EXPECT_THROW(f.commit(), Error);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "d.bmp"));
    EXPECT_EQ(entries().size(), 1u);
}

TEST_F(OutputFileTest, PathsLongerThan255BytesAndNamesNearTheLimitWork) {
    std::filesystem::path deep = dir;
    for (int i = 0; i < 3; ++i) deep /= std::string(100, char('a' + i));
    std::filesystem::create_directories(deep);
    const std::string p = (deep / (std::string(240, 'n') + "_49-2.rpx")).string();
    ASSERT_GT(p.size(), 300u);
    OutputFile f(p);
    put(f, "x");
    f.commit();
    EXPECT_EQ(readFile(p).size(), 1u);
}

}  // namespace
}  // namespace kirune
