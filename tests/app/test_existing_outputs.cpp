// Outputs that exist before the batch writes them: asked about in list order,
// skipped, refused or replaced as the batch's rule says, and never replaced
// when they appear during a file's work.

#include <gmock/gmock.h>

#include <deque>
#include <filesystem>

#include "app/core/batch.h"
#include "app/core/drivers.h"
#include "app/core/failure_text.h"
#include "app/core/ui.h"
#include "container/messages.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::vector<uint8_t> kOld{'o', 'l', 'd'};

// Answers the questions from a script and writes down what it was told.
struct Answering : BatchUi {
    std::string dir;
    std::deque<ExistingOutputChoice> answers;
    std::vector<std::string> asked, skipped, messages;
    std::function<void(int)> onProgress;
    std::string name(const std::string& p) const { return std::filesystem::path(p).filename().string(); }
    void showMessage(const std::string& p, const std::string& t) override { messages.push_back(name(p) + "|" + t); }
    void setPathText(const std::string&) override {}
    void setCounterText(const std::string&) override {}
    void setProgress(int p) override {
        if (onProgress) onProgress(p);
    }
    ExistingOutputChoice askReplaceExisting(const std::string& p, const std::string& output) override {
        asked.push_back(name(p) + ">" + name(output));
        const ExistingOutputChoice a = answers.empty() ? ExistingOutputChoice::Skip : answers.front();
        if (!answers.empty()) answers.pop_front();
        return a;
    }
    void noteSkipped(const std::string& p, const std::string&) override { skipped.push_back(name(p)); }
};

class OutputsThatExist : public ScratchDir {
protected:
    BatchResult run(const std::vector<std::string>& names, ExistingOutputs rule, int threads = 1) {
        JobSettings s;
        s.existingOutputs = rule;
        s.threads = threads;
        FileList list;
        for (const std::string& n : names) list.add(path(n));
        FileDrivers drivers(s);
        return runBatch(list, drivers, ui);
    }
    bool replaced(const std::string& output) { return readFile(path(output)) != kOld; }
    Answering ui;
};

}  // namespace

TEST_F(OutputsThatExist, TheWindowIsAskedInListOrderAndTheAnswersForAllHoldForTheRest) {
    const std::vector<std::string> names{"a.tif", "b.tif", "c.tif", "d.tif", "e.tif", "f.tif"};
    for (const std::string& n : names) writeTiff(path(n), TiffLayout{.width = 24, .height = 20});
    const auto old = [&](std::initializer_list<const char*> outputs) {
        for (const char* o : outputs) writeFile(path(o), kOld);
    };
    using enum ExistingOutputChoice;
    // Two threads: later files may end first, yet the questions come in list order.
    old({"a_49-2.rpx", "b_49-2.rpx", "d_49-2.rpx", "e_49-2.rpx", "f_49-2.rpx"});
    ui.answers = {Replace, Skip, ReplaceAll};
    BatchResult r = run(names, ExistingOutputs::Ask, 2);
    EXPECT_THAT(ui.asked, ElementsAre("a.tif>a_49-2.rpx", "b.tif>b_49-2.rpx", "d.tif>d_49-2.rpx"));
    EXPECT_EQ(std::make_tuple(r.succeeded, r.skipped, r.failed), std::make_tuple(5, 1, 0));
    EXPECT_THAT(ui.skipped, ElementsAre("b.tif"));
    for (const char* o : {"a_49-2.rpx", "c_49-2.rpx", "d_49-2.rpx", "e_49-2.rpx", "f_49-2.rpx"})
        EXPECT_TRUE(replaced(o)) << o;
    EXPECT_FALSE(replaced("b_49-2.rpx"));

    ui.asked.clear(), ui.skipped.clear();
    old({"a_49-2.rpx", "b_49-2.rpx", "c_49-2.rpx", "d_49-2.rpx", "e_49-2.rpx", "f_49-2.rpx"});
    ui.answers = {Replace, SkipAll};
    r = run(names, ExistingOutputs::Ask, 2);
    EXPECT_THAT(ui.asked, ElementsAre("a.tif>a_49-2.rpx", "b.tif>b_49-2.rpx"));
    EXPECT_EQ(std::make_tuple(r.succeeded, r.skipped, r.failed), std::make_tuple(1, 5, 0));
    EXPECT_THAT(ui.skipped, ElementsAre("b.tif", "c.tif", "d.tif", "e.tif", "f.tif"));
    EXPECT_TRUE(replaced("a_49-2.rpx"));
    for (const char* o : {"b_49-2.rpx", "c_49-2.rpx", "d_49-2.rpx", "e_49-2.rpx", "f_49-2.rpx"})
        EXPECT_FALSE(replaced(o)) << o;
    EXPECT_THAT(ui.messages, IsEmpty());
}

TEST_F(OutputsThatExist, SkipIsNeverAskedAndInputsOfTheBatchAreNeverReplaced) {
    for (const char* n : {"a.tif", "b.tif"}) writeTiff(path(n), TiffLayout{.width = 24, .height = 20});
    writeFile(path("a_49-2.rpx"), kOld);
    BatchResult r = run({"a.tif", "b.tif"}, ExistingOutputs::Skip);
    EXPECT_EQ(std::make_tuple(r.succeeded, r.skipped, r.failed), std::make_tuple(1, 1, 0));
    EXPECT_THAT(ui.skipped, ElementsAre("a.tif"));
    EXPECT_FALSE(replaced("a_49-2.rpx"));

    // Refusing: the safe-outputs test. An output that is an input of the batch fails as before, unasked,
    // even when replacing all.
    std::filesystem::rename(path("a_49-2.rpx"), path("x_49-2.rpx"));
    std::filesystem::copy_file(path("b_49-2.rpx"), path("a_49-2.rpx"));
    ui.answers = {ExistingOutputChoice::ReplaceAll};
    r = run({"a.tif", "a_49-2.rpx"}, ExistingOutputs::Ask);
    EXPECT_EQ(std::make_tuple(r.succeeded, r.failed), std::make_tuple(1, 1));
    EXPECT_THAT(ui.asked, IsEmpty());
    EXPECT_THAT(ui.messages, ElementsAre("a.tif|" + messageText({kOutputIsInputText, {}, path("a_49-2.rpx") + " (" +
                                                                                       path("a_49-2.rpx") + ")"})));
}

TEST_F(OutputsThatExist, AnOutputThatAppearsDuringTheWorkIsNeverReplaced) {
    // A racing run finishes the file while this one works on it.
    writeFile(path("a.bmp"), bmpBytes(64, 200, false));
    ui.onProgress = [&](int p) {
        if (p > 5 && !std::filesystem::exists(path("a_49-2.rpx"))) writeFile(path("a_49-2.rpx"), kOld);
    };
    BatchResult r = run({"a.bmp"}, ExistingOutputs::Skip);
    EXPECT_EQ(std::make_tuple(r.succeeded, r.skipped, r.failed), std::make_tuple(0, 1, 0));
    EXPECT_THAT(ui.skipped, ElementsAre("a.bmp"));
    EXPECT_THAT(ui.messages, IsEmpty());
    EXPECT_FALSE(replaced("a_49-2.rpx"));

    std::filesystem::remove(path("a_49-2.rpx"));
    r = run({"a.bmp"}, ExistingOutputs::Ask);
    EXPECT_EQ(std::make_tuple(r.succeeded, r.skipped, r.failed), std::make_tuple(0, 0, 1));
    EXPECT_THAT(ui.asked, IsEmpty());
    EXPECT_THAT(ui.messages, ElementsAre("a.bmp|" + messageText({kOutputExistsText, {}, path("a_49-2.rpx")})));
    EXPECT_FALSE(replaced("a_49-2.rpx"));
}
