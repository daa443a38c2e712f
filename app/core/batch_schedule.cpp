#include "app/core/batch_schedule.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "app/core/failure_text.h"
#include "app/core/ui.h"
#include "container/messages.h"

namespace kirune {

std::optional<FileIdentity> identityOfPath(const std::string& path) {
    const std::optional<struct stat> st = pathStatus(path);
    if (!st) return std::nullopt;
    return identityOf(*st);
}

namespace {

struct IdentityHash {
    std::size_t operator()(const FileIdentity& id) const noexcept {
        return std::hash<uint64_t>{}(static_cast<uint64_t>(id.inode) * 0x9e3779b97f4a7c15ULL ^
                                     static_cast<uint64_t>(id.device));
    }
};
// Each identity with the first file of the list it belongs to.
using IdentityIndex = std::unordered_map<FileIdentity, std::size_t, IdentityHash>;

// The window as one file at work sees it. Messages, warnings and in-order
// actions wait for the file's turn; progress reaches the window only while
// the file is the earliest one unfinished, and never waits for it.
class TurnUi final : public BatchUi {
public:
    TurnUi(BatchUi& ui, std::mutex& uiMutex) : ui_(ui), uiMutex_(uiMutex) {}

    void showMessage(const std::string& p, const std::string& t) override {
        keep([p, t](BatchUi& u) { u.showMessage(p, t); });
    }
    void showWarning(const std::string& p, const std::string& t) override {
        keep([p, t](BatchUi& u) { u.showWarning(p, t); });
    }
    void setPathText(const std::string& t) override {
        keep([t](BatchUi& u) { u.setPathText(t); });
    }
    void setCounterText(const std::string& t) override {
        keep([t](BatchUi& u) { u.setCounterText(t); });
    }
    void inOrder(std::function<void()> action) override {
        keep([a = std::move(action)](BatchUi&) { a(); });
    }
    void setProgress(int percent) override {
        live([&] { ui_.setProgress(percent); });
    }
    void repaint() override {
        live([&] { ui_.repaint(); });
    }

    void goLive() { live_ = true; }
    // Once the file's work has ended, on the batch's thread with the window's
    // lock held.
    void replay() {
        live_ = false;
        replaying_ = true;
        for (auto& call : kept_) call(ui_);
        kept_.clear();
        replaying_ = false;
    }

private:
    // An in-order action that speaks to this window in its turn is heard at once.
    void keep(std::function<void(BatchUi&)> call) {
        if (replaying_)
            call(ui_);
        else
            kept_.push_back(std::move(call));
    }
    template <class F>
    void live(F f) {
        if (!live_) return;
        // A message box waiting on the user holds the window; progress skips it.
        std::unique_lock lock(uiMutex_, std::try_to_lock);
        if (lock) f();
    }

    BatchUi& ui_;
    std::mutex& uiMutex_;
    std::atomic<bool> live_{false};
    bool replaying_ = false;
    std::vector<std::function<void(BatchUi&)>> kept_;  // touched by the file's worker until it ends
};

// Names that may lead to the same output file: its folder's identity and the
// name lowered (for folders that ignore case), with every byte outside ASCII
// made alike, since how such letters fold depends on the file system. None
// when that cannot be known without writing: no folder, or a name that is a
// symbolic link.
struct OutputKey {
    FileIdentity folder;
    std::string name;
    bool operator==(const OutputKey&) const = default;
};

std::optional<OutputKey> outputKeyOf(const std::string& output) {
    const std::filesystem::path p(output);
    struct stat st{};
    if (::lstat(output.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return std::nullopt;
    const std::string folder = p.parent_path().empty() ? std::string(".") : p.parent_path().string();
    const std::optional<FileIdentity> id = identityOfPath(folder);
    if (!id) return std::nullopt;
    std::string name = asciiLower(p.filename().string());
    for (char& c : name)
        if (static_cast<unsigned char>(c) >= 0x80) c = '\x80';
    return OutputKey{*id, std::move(name)};
}

enum class Stage { Waiting, Running, Ended, Shown };
// What the batch decided before a file's work.
enum class Verdict { Run, Refused, Skipped };

struct FileSlot {
    Stage stage = Stage::Waiting;
    bool classified = false;
    FileKind kind = FileKind::Unsupported;
    Verdict verdict = Verdict::Run;
    bool replace = false;  // its output may replace an existing file
    std::string refusal;   // the message of a file refused before its work
    std::string output;
    std::optional<OutputKey> key;
    std::optional<FileFootprint> footprint;
    int threads = 0;
    uint64_t memory = 0;
    FileOutcome outcome = FileOutcome::Failed;
    std::exception_ptr error;  // what the processor threw
    std::unique_ptr<TurnUi> ui;
    std::jthread worker;  // last: joined before the rest goes
};

// Starts a batch's files side by side within its threads and memory, and
// shows their messages and counts in list order.
class BatchScheduler {
public:
    BatchScheduler(const FileList& list, FileProcessor& processor, BatchUi& ui)
        : list_(list), processor_(processor), ui_(ui), n_(list.count()),
          threads_(std::max(1, processor.batchThreads())), rule_(processor.existingOutputs()), slots_(n_),
          inputs_(n_) {
        inputIndex_.reserve(n_);
        for (std::size_t i = 0; i < n_; ++i) {
            inputs_[i] = identityOfPath(list[i]);
            if (inputs_[i]) inputIndex_.emplace(*inputs_[i], i);
        }
        freeThreads_ = threads_;
    }
    // Workers still at work when this goes (a display that threw) are joined
    // by their slots, before anything they use is gone.
    ~BatchScheduler() { slots_.clear(); }

    BatchResult run(const std::stop_token& stop);

private:
    bool launch(std::size_t j);
    bool decideOutput(std::size_t j);
    void refuse(FileSlot& s, const char* text, const std::string& other);
    void ask(std::size_t j);
    void start(std::size_t j);
    void showReady();
    void reapEnded();
    void showTurn(std::size_t j);
    void announce(std::size_t j);

    const FileList& list_;
    FileProcessor& processor_;
    BatchUi& ui_;
    const std::size_t n_;
    const int threads_;
    const ExistingOutputs rule_;
    std::optional<ExistingOutputChoice> answerForAll_;  // ReplaceAll or SkipAll, once given
    std::vector<FileSlot> slots_;
    std::vector<std::optional<FileIdentity>> inputs_;
    IdentityIndex inputIndex_;
    IdentityIndex written_;              // outputs the batch wrote, and the file that wrote each
    std::vector<std::size_t> atWork_;    // the files running, at most one per thread
    int freeThreads_ = 0;
    uint64_t freeMemory_ = kSideBySideMemory;
    int running_ = 0;
    std::size_t next_ = 0;        // the next file to start
    std::size_t turn_ = 0;        // the next file to show
    std::size_t announced_ = SIZE_MAX;  // the file the window follows
    BatchResult result_;

    std::mutex uiMutex_;  // the window: one call at a time
    std::mutex endedMutex_;
    std::condition_variable endedChanged_;
    std::deque<std::size_t> ended_;  // files whose work ended, not yet reaped
};

BatchResult BatchScheduler::run(const std::stop_token& stop) {
    for (;;) {
        reapEnded();
        showReady();
        while (next_ < n_ && !stop.stop_requested() && launch(next_)) {
            ++next_;
            showReady();
        }
        // With nothing at work a file always starts, so nothing is left
        // unshown only at the end or once stopped.
        if (turn_ == next_) break;
        std::unique_lock lock(endedMutex_);
        endedChanged_.wait(lock, [&] { return !ended_.empty(); });
    }
    result_.notStarted = static_cast<int>(n_ - next_);
    result_.stopped = stop.stop_requested();
    std::lock_guard lock(uiMutex_);
    ui_.setPathText("");
    ui_.setCounterText("0 / 0");
    ui_.repaint();
    return result_;
}

// Shows the files that ended, in list order, up to the first still at work,
// which the window then follows.
void BatchScheduler::showReady() {
    while (turn_ < next_) {
        if (announced_ != turn_) announce(announced_ = turn_);
        if (slots_[turn_].stage != Stage::Ended) break;
        showTurn(turn_++);
    }
}

// Starts file j, or refuses it, when the files at work leave room for it;
// false when it must wait for one of them to end.
bool BatchScheduler::launch(std::size_t j) {
    FileSlot& s = slots_[j];
    const std::string& path = list_[j];
    if (!s.classified) {
        s.classified = true;
        s.kind = classifyPath(path);
        if (s.kind == FileKind::Unsupported) {
            s.verdict = Verdict::Refused;
            s.refusal = messageText(unsupportedMessage(path));
            s.stage = Stage::Ended;
            return true;
        }
        s.output = processor_.outputPath(path, s.kind);
        if (!s.output.empty()) s.key = outputKeyOf(s.output);
    }
    // Whether the output is taken is only known once every earlier file that
    // may write the same name has ended; an input missing at the start may be
    // an earlier file's output.
    const bool alone = !inputs_[j] || (!s.output.empty() && !s.key);
    if (running_ > 0 && alone) return false;
    if (s.key)
        for (std::size_t i : atWork_)
            if (slots_[i].key == s.key) return false;
    if (!decideOutput(j)) return false;
    if (s.verdict != Verdict::Run) {
        s.stage = Stage::Ended;
        return true;
    }
    // One thread: every file runs alone, and its header need not be read twice.
    if (!s.footprint) s.footprint = threads_ > 1 ? processor_.footprint(path, s.kind) : FileFootprint{1, 0};
    s.threads = s.footprint->strips > 0 ? std::min(s.footprint->strips, threads_) : threads_;
    const uint64_t perThread = s.footprint->bytesPerThread;
    s.memory = perThread > kSideBySideMemory / static_cast<uint64_t>(s.threads)
                   ? kSideBySideMemory
                   : perThread * static_cast<uint64_t>(s.threads);
    if (running_ > 0 && (s.threads > freeThreads_ || s.memory > freeMemory_)) return false;
    start(j);
    return true;
}

void BatchScheduler::refuse(FileSlot& s, const char* text, const std::string& other) {
    s.verdict = Verdict::Refused;
    s.refusal = messageText(other.empty() ? UserMessage{text, {}, s.output}
                                          : UserMessage{text, {}, s.output + " (" + other + ")"});
}

// What becomes of file j's output name, by what it holds now: false when the
// window must be asked and the file's turn has not come.
bool BatchScheduler::decideOutput(std::size_t j) {
    FileSlot& s = slots_[j];
    s.verdict = Verdict::Run;
    s.replace = rule_ == ExistingOutputs::Replace;
    struct stat st{};
    if (s.output.empty() || ::lstat(s.output.c_str(), &st) != 0) return true;
    // A folder is no earlier output: the file fails on it with the system's reason.
    const std::optional<struct stat> followed = S_ISLNK(st.st_mode) ? pathStatus(s.output) : st;
    if (followed && S_ISDIR(followed->st_mode)) return true;
    const std::optional<FileIdentity> target = followed ? std::optional(identityOf(*followed)) : std::nullopt;
    if (target)
        if (const auto it = written_.find(*target); it != written_.end()) {
            refuse(s, kOutputTakenText, list_[it->second]);
            return true;
        }
    // A resumed batch: what exists is done, whichever file of the batch it is.
    if (rule_ == ExistingOutputs::Skip) {
        s.verdict = Verdict::Skipped;
        return true;
    }
    if (target)
        if (const auto it = inputIndex_.find(*target); it != inputIndex_.end()) {
            refuse(s, kOutputIsInputText, list_[it->second]);
            return true;
        }
    if (rule_ == ExistingOutputs::Refuse) refuse(s, kOutputExistsText, {});
    if (rule_ != ExistingOutputs::Ask) return true;
    if (!answerForAll_) {
        if (turn_ != j) return false;
        ask(j);
        return true;
    }
    s.replace = *answerForAll_ == ExistingOutputChoice::ReplaceAll;
    if (!s.replace) s.verdict = Verdict::Skipped;
    return true;
}

// Asked with every earlier file shown and none at work, so the question comes
// in list order.
void BatchScheduler::ask(std::size_t j) {
    FileSlot& s = slots_[j];
    ExistingOutputChoice choice;
    {
        std::lock_guard lock(uiMutex_);
        ui_.setCounterText(std::to_string(j + 1) + " / " + std::to_string(n_));
        choice = ui_.askReplaceExisting(list_[j], s.output);
    }
    if (choice == ExistingOutputChoice::ReplaceAll || choice == ExistingOutputChoice::SkipAll) answerForAll_ = choice;
    s.replace = choice == ExistingOutputChoice::Replace || choice == ExistingOutputChoice::ReplaceAll;
    if (!s.replace) s.verdict = Verdict::Skipped;
}

void BatchScheduler::start(std::size_t j) {
    FileSlot& s = slots_[j];
    s.stage = Stage::Running;
    s.ui = std::make_unique<TurnUi>(ui_, uiMutex_);
    ++running_;
    atWork_.push_back(j);
    freeThreads_ -= s.threads;
    freeMemory_ -= std::min(s.memory, freeMemory_);
    auto work = [this, j] {
        FileSlot& slot = slots_[j];
        try {
            slot.outcome = processor_.processFile({list_[j], slot.kind, slot.threads, slot.replace}, *slot.ui);
        } catch (...) {
            slot.error = std::current_exception();
        }
        {
            std::lock_guard lock(endedMutex_);
            ended_.push_back(j);
        }
        endedChanged_.notify_all();
    };
    // A file that has the batch to itself (all its threads, or the last file
    // with nothing else at work) runs here: every earlier file has been shown,
    // and a thread of its own would only add two wake-ups.
    if (running_ == 1 && turn_ == j && (s.threads == threads_ || j + 1 == n_)) {
        announce(announced_ = j);
        work();
        return;
    }
    try {
        s.worker = std::jthread(work);
    } catch (const std::system_error&) {
        work();  // no thread to spare: the file runs here
    }
}

// Takes back what ended files held; their outputs now count as written.
void BatchScheduler::reapEnded() {
    std::deque<std::size_t> ended;
    {
        std::lock_guard lock(endedMutex_);
        ended.swap(ended_);
    }
    for (std::size_t j : ended) {
        FileSlot& s = slots_[j];
        if (s.worker.joinable()) s.worker.join();
        s.stage = Stage::Ended;
        --running_;
        atWork_.erase(std::find(atWork_.begin(), atWork_.end(), j));
        freeThreads_ += s.threads;
        freeMemory_ = std::min(kSideBySideMemory, freeMemory_ + s.memory);
        if (s.outcome == FileOutcome::Done && !s.error)
            if (const auto made = identityOfPath(s.output)) written_.emplace(*made, j);
    }
}

// The counter and path of the earliest file not shown yet, which the window
// follows until its turn.
void BatchScheduler::announce(std::size_t j) {
    std::lock_guard lock(uiMutex_);
    ui_.setCounterText(std::to_string(j + 1) + " / " + std::to_string(n_));
    FileSlot& s = slots_[j];
    if (s.verdict != Verdict::Run) return;
    ui_.setPathText(list_[j]);
    ui_.repaint();
    s.ui->goLive();
}

// Everything file j had to say, in the place the file holds in the list.
void BatchScheduler::showTurn(std::size_t j) {
    FileSlot& s = slots_[j];
    s.stage = Stage::Shown;
    std::lock_guard lock(uiMutex_);
    if (s.verdict == Verdict::Refused) {
        ui_.showMessage(list_[j], s.refusal);
        ui_.setPathText("");
        ++result_.failed;
        return;
    }
    if (s.verdict == Verdict::Run) {
        s.ui->replay();
        if (s.error) std::rethrow_exception(s.error);
    }
    if (s.verdict == Verdict::Skipped || s.outcome == FileOutcome::Skipped) {
        ui_.noteSkipped(list_[j], s.output);
        ++result_.skipped;
    } else {
        ++(s.outcome == FileOutcome::Done ? result_.succeeded : result_.failed);
    }
    ui_.setPathText("");
    ui_.repaint();
}

}  // namespace

BatchResult runFilesSideBySide(const FileList& list, FileProcessor& processor, BatchUi& ui, std::stop_token stop) {
    BatchScheduler batch(list, processor, ui);
    return batch.run(stop);
}

}  // namespace kirune
