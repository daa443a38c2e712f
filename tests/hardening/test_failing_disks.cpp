// Full disk (RLIMIT_FSIZE, SIGXFSZ ignored: EFBIG) and read-only folder (capabilities dropped) in a child: every
// output kind fails with a message, leaves no temporary nor touches an existing output, and the batch goes on.

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "app/core/batch.h"
#include "app/core/drivers.h"
#include "app/core/failure_text.h"
#include "container/messages.h"
#include "container/output_file.h"
#include "kirune/Error.h"
#include "tests/hardening/support.h"

namespace kirune {
namespace {

using test::readFile;
using test::writeFile;

enum class Failure { FullDisk, ReadOnly };
enum class Job { Compress, ExpandTiff, ExpandBmp };

// Outputs of the big input (200 x 160) exceed this, those of the small one (16 x 16) do not.
constexpr rlim_t kFileSizeLimit = 16 * 1024;

bool applyFailure(Failure f) {
    if (f == Failure::FullDisk) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit lim{kFileSizeLimit, kFileSizeLimit};
        return ::setrlimit(RLIMIT_FSIZE, &lim) == 0;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    return ::syscall(SYS_capset, &header, none) == 0;
}

class FailingDisks : public test::ScratchDir {
protected:
    // target/ holds the big input and an existing file of each output name; rw/ the small input.
    void SetUp() override {
        ScratchDir::SetUp();
        std::filesystem::create_directory(dir / "target");
        std::filesystem::create_directory(dir / "rw");
        std::filesystem::copy_file(std::string(KIRUNE_TEST_DATA) + "/coffee-200.tif", path("target/big.tif"));
        writeFile(path("rw/small.bmp"), test::bmpBytes(16, 16, false));
        test::RecordingUi ui;
        FileDrivers drivers{JobSettings{}};
        FileList list;
        list.add(path("target/big.tif")), list.add(path("rw/small.bmp"));
        ASSERT_EQ(runBatch(list, drivers, ui).succeeded, 2);
        writeFile(path("target/big_49-2.tif"), {'o', 'l', 'd', 't'});
        writeFile(path("target/big_49-2.bmp"), {'o', 'l', 'd', 'b'});
        for (const std::string& name : test::folderEntries(dir / "target")) before_[name] = readFile(path("target/" + name));
    }
    void TearDown() override {
        ::chmod((dir / "target").c_str(), 0755);
        ScratchDir::TearDown();
    }

    // Runs the batch [big, small] for `job` in a child under `failure`: "succeeded failed", then the messages.
    std::string runFailing(Job job, Failure failure) {
        const bool compress = job == Job::Compress;
        JobSettings settings;
        settings.bmpOutput = job == Job::ExpandBmp;
        settings.existingOutputs = ExistingOutputs::Replace;  // the old files are there to be kept by a failure
        FileList list;
        list.add(path(compress ? "target/big.tif" : "target/big_49-2.rpx"));
        list.add(path(compress ? "rw/small.bmp" : "rw/small_49-2.rpx"));
        if (failure == Failure::ReadOnly) ::chmod((dir / "target").c_str(), 0555);
        const std::string result = test::inChild([&] {
            if (!applyFailure(failure)) return std::string("limit not applied");
            test::RecordingUi ui;
            FileDrivers drivers(settings);
            const BatchResult r = runBatch(list, drivers, ui);
            std::string text = std::to_string(r.succeeded) + " " + std::to_string(r.failed);
            for (const std::string& m : ui.messages) text += "\n" + m;
            return text;
        });
        ::chmod((dir / "target").c_str(), 0755);
        return result;
    }

    std::map<std::string, std::vector<uint8_t>> before_;
};

TEST_F(FailingDisks, EachOutputFailsCleanlyAndTheBatchGoesOn) {
    const struct { Job job; const char *input, *output, *smallOutput; } jobs[] = {
        {Job::Compress, "target/big.tif", "target/big_49-2.rpx", "rw/small_49-2.rpx"},
        {Job::ExpandTiff, "target/big_49-2.rpx", "target/big_49-2.tif", "rw/small_49-2.tif"},
        {Job::ExpandBmp, "target/big_49-2.rpx", "target/big_49-2.bmp", "rw/small_49-2.bmp"},
    };
    for (const Failure failure : {Failure::FullDisk, Failure::ReadOnly}) {
        // As the batch shows it by default, in the dialog's Japanese.
        const std::string text =
            japaneseText(UserMessage{failure == Failure::FullDisk ? kCannotWriteOutputText : kCannotCreateOutputText});
        // The system's own reason, also from inside libtiff's writer.
        const char* reason = failure == Failure::FullDisk ? "File too large)" : "Permission denied)";
        for (const auto& j : jobs) {
            SCOPED_TRACE(std::string(j.output) + (failure == Failure::FullDisk ? ", full disk" : ", read-only"));
            std::filesystem::remove(path(j.smallOutput));
            // One message, naming the file and its output; the small file still done.
            const std::string got = runFailing(j.job, failure);
            const std::string want = "1 1\n" + path(j.input) + "|" + text + ": " + path(j.output) + " (" + reason;
            EXPECT_EQ(got.rfind(want, 0), 0u) << got;
            EXPECT_EQ(got.find('\n', want.size()), std::string::npos) << got;
            EXPECT_TRUE(std::filesystem::exists(path(j.smallOutput)));
            // The target folder holds exactly what it held, byte for byte.
            std::vector<std::string> changed;
            for (const std::string& name : test::folderEntries(dir / "target"))
                if (!before_.count(name) || before_[name] != readFile(path("target/" + name))) changed.push_back(name);
            EXPECT_EQ(test::folderEntries(dir / "target").size(), before_.size());
            EXPECT_TRUE(changed.empty()) << ::testing::PrintToString(changed);
        }
    }
}

// Without capabilities, as for an ordinary user, an unnamed output is still put in place (linkat or /proc).
TEST_F(FailingDisks, UnnamedOutputsArePutInPlaceWithoutPrivileges) {
    const std::string got = test::inChild([&] {
        if (!applyFailure(Failure::ReadOnly)) return std::string("capabilities kept");
        for (const bool replace : {false, true}) {
            OutputOptions options;
            options.replaceExisting = replace;
            OutputFile f(path("rw/plain.rpx"), options);
            if (!f.tempPath().empty()) return std::string("not unnamed");
            std::fputs(replace ? "second" : "first", f.stream());
            f.commit();
        }
        return std::string("ok");
    });
    EXPECT_EQ(got, "ok");
    EXPECT_EQ(readFile(path("rw/plain.rpx")), (std::vector<uint8_t>{'s', 'e', 'c', 'o', 'n', 'd'}));
    EXPECT_EQ(test::folderEntries(dir / "rw").size(), 3u);  // small.bmp, its container and this
}

}  // namespace
}  // namespace kirune
