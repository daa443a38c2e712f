// What a batch may never do to a user's files: replace an input or a file unasked, hang, expose, drop a page.
// Outputs that exist before the batch writes them are asked about in list order, skipped, refused or replaced as
// the batch's rule says, and never replaced when they appear during a file's work.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <deque>
#include <stop_token>

#include "app/core/batch.h"
#include "app/core/drivers.h"
#include "app/core/failure_text.h"
#include "app/core/ui.h"
#include "container/messages.h"
#include "container/rpx_container.h"
#include "tests/container/support.h"

using namespace kirune;
using namespace kirune::test;
using namespace ::testing;

namespace {

std::string ja(const char* id) { return japaneseText(UserMessage{id}); }
const std::vector<uint8_t> kOld{'o', 'l', 'd'};

// Messages and warnings as "name|text", questions as "name>output", with the folder cut off; progress as numbers.
// Answers the questions from a script, Skip when it runs out.
struct Ui : BatchUi {
    std::string dir;
    std::deque<ExistingOutputChoice> answers;
    std::vector<std::string> messages, warnings, asked, skipped;
    std::vector<int> progress;
    std::function<void(int)> onProgress;
    std::string cut(std::string text) const {
        for (std::size_t at; (at = text.find(dir + "/")) != std::string::npos;) text.erase(at, dir.size() + 1);
        return text;
    }
    void showMessage(const std::string& p, const std::string& t) override { messages.push_back(cut(p) + "|" + cut(t)); }
    void showWarning(const std::string& p, const std::string& t) override { warnings.push_back(cut(p) + "|" + cut(t)); }
    void setPathText(const std::string&) override {}
    void setCounterText(const std::string&) override {}
    void setProgress(int p) override {
        progress.push_back(p);
        if (onProgress) onProgress(p);
    }
    ExistingOutputChoice askReplaceExisting(const std::string& p, const std::string& output) override {
        asked.push_back(cut(p) + ">" + cut(output));
        const ExistingOutputChoice a = answers.empty() ? ExistingOutputChoice::Skip : answers.front();
        if (!answers.empty()) answers.pop_front();
        return a;
    }
    void noteSkipped(const std::string& p, const std::string&) override { skipped.push_back(cut(p)); }
};

class SafeOutputs : public ScratchDir {
protected:
    // Runs the named files as one sorted batch, the UI's records of an earlier one cleared.
    BatchResult run(const std::vector<std::string>& names, JobSettings settings = {}) {
        ui.dir = dir.string(), ui.messages.clear(), ui.warnings.clear(), ui.progress.clear();
        ui.asked.clear(), ui.skipped.clear();
        settings.stop = stop.get_token();
        FileList list;
        for (const std::string& n : names) list.add(path(n));
        sortFileList(list);
        FileDrivers drivers(std::move(settings));
        return runBatch(list, drivers, ui, stop.get_token());
    }
    void tiff(const std::string& name, int w = 24, int h = 20, const ImageMetadata* tags = nullptr) {
        writeTiff(path(name), TiffLayout{.width = w, .height = h, .tags = tags});
    }
    bool replaced(const std::string& output) { return readFile(path(output)) != kOld; }
    Ui ui;
    std::stop_source stop;
};
using OutputsThatExist = SafeOutputs;

template <class F>
JobSettings with(F f) {
    JobSettings s;
    f(s);
    return s;
}
JobSettings existing(ExistingOutputs rule, int threads = 1) {
    return with([&](JobSettings& s) { s.existingOutputs = rule, s.threads = threads; });
}

// An output named as an input fails (rpx's messages test); so does one that is an input by a link.
TEST_F(SafeOutputs, NoOutputEverReplacesAnInputOfItsBatchWhateverNameLeadsToIt) {
    tiff("photo.tif");
    const std::vector<uint8_t> original = readFile(path("photo.tif"));
    std::filesystem::create_hard_link(path("photo.tif"), path("h_49-2.rpx"));
    std::filesystem::create_symlink(path("photo.tif"), path("s_49-2.rpx"));
    tiff("h.tif"), tiff("s.tif");
    EXPECT_EQ(run({"h.tif", "s.tif", "photo.tif"}).failed, 2);
    EXPECT_THAT(ui.messages, ElementsAre(HasSubstr("h_49-2.rpx (photo.tif)"), HasSubstr("s_49-2.rpx (photo.tif)")));
    EXPECT_EQ(readFile(path("photo.tif")), original);
}

TEST_F(SafeOutputs, TwoInputsOfOneOutputTheSecondFailsNamingTheFirst) {
    // Names equal but for case (two folders into one -o: rpx's messages test).
    tiff("a.tif", 24, 20), tiff("a.TIF", 32, 20);
    const BatchResult r = run({"a.tif", "a.TIF"});
    EXPECT_EQ(std::make_pair(r.succeeded, r.failed), std::make_pair(1, 1));
    EXPECT_THAT(ui.messages, ElementsAre("a.TIF|" + ja(kOutputTakenText) + ": a_49-2.rpx (a.tif)"));
    ContainerReader first(path("a_49-2.rpx"));
    ImageMetadata meta;
    EXPECT_EQ(readContainerHeader(first, meta).layout.width, 24);  // a.tif's, which came first
}

TEST_F(SafeOutputs, ExistingFilesAreRefusedUnlessReplacingAndAFailedFileTakesOutputsOfOthersWithItNever) {
    tiff("a.tif");
    writeFile(path("a_49-2.rpx"), kOld);
    EXPECT_EQ(run({"a.tif"}, existing(ExistingOutputs::Refuse)).failed, 1);
    EXPECT_THAT(ui.messages, ElementsAre("a.tif|" + ja(kOutputExistsText) + ": a_49-2.rpx"));
    EXPECT_FALSE(replaced("a_49-2.rpx"));
    EXPECT_THAT(ui.progress, Each(0));  // refused before any work
    // rpx -f: an earlier output is replaced.
    EXPECT_EQ(run({"a.tif"}, existing(ExistingOutputs::Replace)).succeeded, 1);
    EXPECT_GT(readFile(path("a_49-2.rpx")).size(), 100u);
    // A first file that failed has written nothing: the name is free for the second.
    writeFile(path("c.bmp"), {1, 2, 3});
    tiff("c.tif");
    const BatchResult r = run({"c.bmp", "c.tif"}, existing(ExistingOutputs::Refuse));
    EXPECT_EQ(std::make_pair(r.succeeded, r.failed), std::make_pair(1, 1));
    EXPECT_THAT(ui.messages, ElementsAre(StartsWith("c.bmp|" + ja(kNotBmpText))));
}

TEST_F(SafeOutputs, OnlyRegularFilesAreOpenedAndNothingWaitsOnAFifo) {
    for (const char* name : {"pipe.tif", "pipe.bmp", "fifo.rpx"}) ASSERT_EQ(::mkfifo(path(name).c_str(), 0644), 0);
    std::filesystem::create_directory(dir / "folder.tif");
    tiff("z.tif");
    const BatchResult r = run({"pipe.tif", "pipe.bmp", "fifo.rpx", "folder.tif", "/dev/null.tif", "z.tif"});
    EXPECT_EQ(std::make_pair(r.succeeded, r.failed), std::make_pair(1, 5));
    EXPECT_THAT(ui.messages, ElementsAre("/dev/null.tif|" + ja(kCannotOpenInputText) + ": No such file or directory",
                                         "fifo.rpx|" + ja(kNotRegularFileText) + ": FIFO",
                                         "folder.tif|" + ja(kNotRegularFileText) + ": folder",
                                         "pipe.bmp|" + ja(kNotRegularFileText) + ": FIFO",
                                         "pipe.tif|" + ja(kNotRegularFileText) + ": FIFO"));
    std::filesystem::create_symlink("/dev/zero", path("zero.rpx"));
    EXPECT_EQ(run({"zero.rpx"}).failed, 1);
    EXPECT_THAT(ui.messages, ElementsAre("zero.rpx|" + ja(kNotRegularFileText) + ": character device"));
}

TEST_F(SafeOutputs, OutputsTakeTheInputsPermissionsAndTimes) {
    tiff("private.tif");
    ASSERT_EQ(::chmod(path("private.tif").c_str(), 0600), 0);
    const struct timespec times[2] = {{1'600'000'000, 5}, {1'500'000'000, 123'456'789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path("private.tif").c_str(), times, 0), 0);
    ASSERT_EQ(run({"private.tif"}).succeeded, 1);
    ASSERT_EQ(::chmod(path("private_49-2.rpx").c_str(), 0640), 0);  // the container's own bits carry on
    ASSERT_EQ(run({"private_49-2.rpx"}).succeeded, 1);
    for (const char* name : {"private_49-2.rpx", "private_49-2.tif"}) {
        struct stat st {};
        ASSERT_EQ(::stat(path(name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, mode_t(0640)) << name;
        EXPECT_EQ(st.st_mtim.tv_sec, 1'500'000'000L) << name;
        EXPECT_EQ(st.st_mtim.tv_nsec, 123'456'789L) << name;
    }
}

TEST_F(SafeOutputs, PagesAreRefusedThumbnailsIgnoredAndLibtiffWarningsReported) {
    // A second page refuses the file; a thumbnail is not a page.
    writePages(path("page.tif"), {{24, 12, 0}, {8, 4, FILETYPE_PAGE}});
    writePages(path("thumb.tif"), {{24, 12, 0}, {8, 4, FILETYPE_REDUCEDIMAGE}});
    const BatchResult r = run({"page.tif", "thumb.tif"});
    EXPECT_EQ(r.succeeded, 1);
    EXPECT_THAT(ui.messages, ElementsAre("page.tif|" + ja(kMultiPageTiffText) + ": 2 pages"));
    EXPECT_EQ(entries(), (std::set<std::string>{"page.tif", "thumb.tif", "thumb_49-2.rpx"}));

    // An ASCII tag without its NUL: libtiff repairs it and says so.
    ImageMetadata tags;
    tags.artist = "Somebody";
    tiff("odd.tif", 24, 20, &tags);
    std::vector<uint8_t> b = readFile(path("odd.tif"));
    const auto at = std::search(b.begin(), b.end(), std::begin("Somebody"), std::end("Somebody"));
    ASSERT_NE(at, b.end());
    at[8] = 'y';
    writeFile(path("odd.tif"), b);
    EXPECT_EQ(run({"odd.tif"}).succeeded, 1);
    EXPECT_THAT(ui.warnings, ElementsAre(AllOf(StartsWith("odd.tif|"), HasSubstr("Artist"))));
}

TEST_F(SafeOutputs, UnwritableOutputNamesFailBeforeAnyWork) {
    tiff("a.tif");
    std::filesystem::create_directory(dir / "a_49-2.rpx");
    const std::string longName = std::string(250, 'n') + ".tif";
    tiff(longName);
    writeFile(path("a_49-2.rpx/keep"), {1});
    const BatchResult r = run({"a.tif", longName});
    EXPECT_EQ(r.failed, 2);
    EXPECT_THAT(ui.messages, ElementsAre("a.tif|" + ja(kCannotCreateOutputText) + ": a_49-2.rpx (Is a directory)",
                                         longName + "|" + ja(kCannotCreateOutputText) + ": " +
                                             std::string(250, 'n') + "_49-2.rpx (File name too long)"));
    EXPECT_THAT(ui.progress, Each(0));
    EXPECT_TRUE(std::filesystem::exists(path("a_49-2.rpx/keep")));
}

TEST_F(SafeOutputs, AStopAbandonsTheCurrentFileCleanlyAndEndsTheBatch) {
    // Several strips each way, so the stop lands between them.
    writeFile(path("a.bmp"), bmpBytes(64, 200, false));
    writeFile(path("b.bmp"), bmpBytes(16, 16, false));
    const JobSettings settings = with([](JobSettings& s) {
        s.threads = 1, s.stripBudgetLog2 = 12, s.existingOutputs = ExistingOutputs::Replace;
    });
    ASSERT_EQ(run({"a.bmp"}, settings).succeeded, 1);
    const std::vector<uint8_t> complete = readFile(path("a_49-2.rpx"));
    writeFile(path("a_49-2.rpx"), kOld);
    for (const std::string input : {"a.bmp", "a_49-2.rpx"}) {
        SCOPED_TRACE(input);
        if (input == "a_49-2.rpx") {
            writeFile(path("a_49-2.rpx"), complete);
            writeFile(path("a_49-2.tif"), kOld);
        }
        const std::set<std::string> before = entries();
        ui.onProgress = [&](int p) { p > 5 ? stop.request_stop() : false; };
        const BatchResult r = run({input, "b.bmp"}, settings);
        EXPECT_TRUE(r.stopped);
        EXPECT_EQ(std::make_tuple(r.succeeded, r.failed, r.notStarted), std::make_tuple(0, 1, 1));
        EXPECT_THAT(ui.messages, ElementsAre(input + "|" + ja(kInterruptedText)));
        EXPECT_EQ(entries(), before);
        EXPECT_FALSE(replaced(input == "a.bmp" ? "a_49-2.rpx" : "a_49-2.tif"));
        stop = std::stop_source();
    }
}

TEST_F(OutputsThatExist, TheWindowIsAskedInListOrderAndTheAnswersForAllHoldForTheRest) {
    const std::vector<std::string> names{"a.tif", "b.tif", "c.tif", "d.tif", "e.tif", "f.tif"};
    for (const std::string& n : names) tiff(n);
    const auto old = [&](std::initializer_list<const char*> outputs) {
        for (const char* o : outputs) writeFile(path(o), kOld);
    };
    using enum ExistingOutputChoice;
    // Two threads: later files may end first, yet the questions come in list order.
    old({"a_49-2.rpx", "b_49-2.rpx", "d_49-2.rpx", "e_49-2.rpx", "f_49-2.rpx"});
    ui.answers = {Replace, Skip, ReplaceAll};
    BatchResult r = run(names, existing(ExistingOutputs::Ask, 2));
    EXPECT_THAT(ui.asked, ElementsAre("a.tif>a_49-2.rpx", "b.tif>b_49-2.rpx", "d.tif>d_49-2.rpx"));
    EXPECT_EQ(std::make_tuple(r.succeeded, r.skipped, r.failed), std::make_tuple(5, 1, 0));
    EXPECT_THAT(ui.skipped, ElementsAre("b.tif"));
    for (const char* o : {"a_49-2.rpx", "c_49-2.rpx", "d_49-2.rpx", "e_49-2.rpx", "f_49-2.rpx"})
        EXPECT_TRUE(replaced(o)) << o;
    EXPECT_FALSE(replaced("b_49-2.rpx"));

    old({"a_49-2.rpx", "b_49-2.rpx", "c_49-2.rpx", "d_49-2.rpx", "e_49-2.rpx", "f_49-2.rpx"});
    ui.answers = {Replace, SkipAll};
    r = run(names, existing(ExistingOutputs::Ask, 2));
    EXPECT_THAT(ui.asked, ElementsAre("a.tif>a_49-2.rpx", "b.tif>b_49-2.rpx"));
    EXPECT_EQ(std::make_tuple(r.succeeded, r.skipped, r.failed), std::make_tuple(1, 5, 0));
    EXPECT_THAT(ui.skipped, ElementsAre("b.tif", "c.tif", "d.tif", "e.tif", "f.tif"));
    EXPECT_TRUE(replaced("a_49-2.rpx"));
    for (const char* o : {"b_49-2.rpx", "c_49-2.rpx", "d_49-2.rpx", "e_49-2.rpx", "f_49-2.rpx"})
        EXPECT_FALSE(replaced(o)) << o;
    EXPECT_THAT(ui.messages, IsEmpty());
}

TEST_F(OutputsThatExist, SkipIsNeverAskedAndInputsOfTheBatchAreNeverReplaced) {
    tiff("a.tif"), tiff("b.tif");
    writeFile(path("a_49-2.rpx"), kOld);
    BatchResult r = run({"a.tif", "b.tif"}, existing(ExistingOutputs::Skip));
    EXPECT_EQ(std::make_tuple(r.succeeded, r.skipped, r.failed), std::make_tuple(1, 1, 0));
    EXPECT_THAT(ui.skipped, ElementsAre("a.tif"));
    EXPECT_FALSE(replaced("a_49-2.rpx"));

    // Refusing: the safe-outputs test. An output that is an input of the batch fails as before, unasked, even when
    // replacing all.
    std::filesystem::rename(path("a_49-2.rpx"), path("x_49-2.rpx"));
    std::filesystem::copy_file(path("b_49-2.rpx"), path("a_49-2.rpx"));
    ui.answers = {ExistingOutputChoice::ReplaceAll};
    r = run({"a.tif", "a_49-2.rpx"}, existing(ExistingOutputs::Ask));
    EXPECT_EQ(std::make_tuple(r.succeeded, r.failed), std::make_tuple(1, 1));
    EXPECT_THAT(ui.asked, IsEmpty());
    EXPECT_THAT(ui.messages, ElementsAre("a.tif|" + ja(kOutputIsInputText) + ": a_49-2.rpx (a_49-2.rpx)"));
}

TEST_F(OutputsThatExist, AnOutputThatAppearsDuringTheWorkIsNeverReplaced) {
    // A racing run finishes the file while this one works on it.
    writeFile(path("a.bmp"), bmpBytes(64, 200, false));
    ui.onProgress = [&](int p) {
        if (p > 5 && !std::filesystem::exists(path("a_49-2.rpx"))) writeFile(path("a_49-2.rpx"), kOld);
    };
    BatchResult r = run({"a.bmp"}, existing(ExistingOutputs::Skip));
    EXPECT_EQ(std::make_tuple(r.succeeded, r.skipped, r.failed), std::make_tuple(0, 1, 0));
    EXPECT_THAT(ui.skipped, ElementsAre("a.bmp"));
    EXPECT_THAT(ui.messages, IsEmpty());
    EXPECT_FALSE(replaced("a_49-2.rpx"));

    std::filesystem::remove(path("a_49-2.rpx"));
    r = run({"a.bmp"}, existing(ExistingOutputs::Ask));
    EXPECT_EQ(std::make_tuple(r.succeeded, r.skipped, r.failed), std::make_tuple(0, 0, 1));
    EXPECT_THAT(ui.asked, IsEmpty());
    EXPECT_THAT(ui.messages, ElementsAre("a.bmp|" + ja(kOutputExistsText) + ": a_49-2.rpx"));
    EXPECT_FALSE(replaced("a_49-2.rpx"));
}

}  // namespace
