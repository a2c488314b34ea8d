// The log file: its name, saving the recording as a Standard MIDI File, and what the process's
// worker does for the plug-in: saves and notices, away from the thread that asked.
#include <chrono>
#include <thread>

#include "host/notices.h"
#include "platform/library.h"
#include "platform/notice.h"
#include "plugin/plugin.h"

// --- Saving --------------------------------------------------------------------------------------

// "save log!" reads 1.0 while saving and 0.0 afterwards; after a failure it keeps reading 1.0.
bool APlugin::saveLogNow() {
    return saveRecording(false) == SaveResult::Saved;
}

// The file is replaced whole or not at all; a failure says why in a notice. A save the close
// gave up on says nothing more: the close already did.
APlugin::SaveResult APlugin::saveRecording(bool onWorker) {
    const std::string path = logFile_.path();
    if (path.empty()) return SaveResult::Failed;
    values_[param::SaveLog].store(1.0f, std::memory_order_relaxed);
    const RecordingSnapshot recording = engine_.recording();
    const std::string name = logFile_.trackName();
    WorkerState& state = *workerState_;
    if (onWorker) {
        state.beginWrite(path);
        if (state.saveObserver) state.saveObserver(state.saveContext);
    }
    const std::string failure = host::LogFile::write(recording, path, name, &state.giveUp);
    // Given up: the plug-in is gone, so nothing of it may be touched any more.
    if (onWorker && !state.endWrite()) return SaveResult::GivenUp;
    if (!failure.empty()) {
        state.notices.show(failure.c_str(), host::kNoticeCaption, platform::NoticeKind::Error);
        return SaveResult::Failed;
    }
    resetOneShot(param::SaveLog);
    return SaveResult::Saved;
}

// Set from outside (the host's automation or a restored project, on any thread): the save runs
// on the worker, from a snapshot of the recording, and the caller goes on at once.
void APlugin::applySaveLog(float v, Origin origin) {
    if (!switchOn(param::SaveLog, v)) return;
    if (origin == Origin::Outside && logFile_.hasPath()) {
        host::Worker::post(workerState_->client, kSaveBit);
        return;
    }
    resetOneShot(param::SaveLog);
}

// Counted, not shown: the processing thread may raise it, and the worker shows it.
void APlugin::raiseNotice(EngineNotice which) noexcept {
    (which == EngineNotice::SoundStream ? soundNotices_ : feedbackNotices_).fetch_add(1);
    host::Worker::post(workerState_->client, kNoticeBit);
}

// Each notice raised passes the instance's limiter, which shows a text at most once a second.
void APlugin::showNotices(WorkerState& state) noexcept {
    auto show = [&](std::atomic<int>& count, EngineNotice which) {
        const host::NoticeText notice = host::noticeOf(which);
        for (int n = count.exchange(0); n > 0; --n)
            state.notices.show(notice.text, host::kNoticeCaption, notice.kind);
    };
    show(soundNotices_, EngineNotice::SoundStream);
    show(feedbackNotices_, EngineNotice::FeedbackLoop);
}

void APlugin::workerRun(host::Worker::Client& client, std::uint32_t bits) noexcept {
    auto& state = *static_cast<WorkerState*>(client.owner());
    APlugin* plugin = state.owner();
    if (!plugin) return;
    if (bits & kStorageBit) plugin->engine_.prepareStorage();
    if (bits & kNoticeBit) plugin->showNotices(state);
    // Given up: the plug-in is gone, so nothing of it may be touched any more.
    if ((bits & kSaveBit) && plugin->saveRecording(true) == SaveResult::GivenUp) return;
    // Notices raised during the save.
    if (bits & kSaveBit) plugin->showNotices(state);
}

void APlugin::stopWorker() {
    std::string path;
    if (workerState_->waitOrGiveUp(path)) return;
    // The worker still runs this module's code when it comes back from the file; it frees the
    // state afterwards.
    host::Worker::abandon(workerState_.release()->client, [](host::Worker::Client& c) noexcept {
        delete static_cast<WorkerState*>(c.owner());
    });
    const std::string text = "Gave up saving the log to " + path + ": the file took longer than " +
                             std::to_string(kCloseWait.count()) +
                             " seconds to write while the plug-in closed";
    platform::showNotice(text.c_str(), "Corvella", platform::NoticeKind::Error);
}

void APlugin::WorkerState::beginWrite(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    saving = true;
    savingTo = path;
}

bool APlugin::WorkerState::endWrite() {
    std::lock_guard<std::mutex> lock(mutex);
    saving = false;
    return !giveUp.load();
}

APlugin* APlugin::WorkerState::owner() {
    std::lock_guard<std::mutex> lock(mutex);
    return plugin;
}

// Past the time limit, a worker that is not writing is let finish (a notice or a snapshot
// takes no time); one that starts or is inside a write is given up.
bool APlugin::WorkerState::waitOrGiveUp(std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + kCloseWait;
    for (;;) {
        if (host::Worker::idle(client)) return true;
        if (std::chrono::steady_clock::now() >= deadline) {
            std::lock_guard<std::mutex> lock(mutex);
            if (saving) {
                giveUp.store(true);
                plugin = nullptr;
                path = savingTo;
                return false;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void APlugin::waitForWorker() {
    host::Worker::settle(workerState_->client);
    devices_.settle();
}

APluginCounters APlugin::counters() const noexcept {
    const EngineCounters e = engine_.counters();
    APluginCounters c;
    c.delayDrops = e.delayDrops;
    c.hostQueueDrops = e.inputQueueDrops;
    c.deviceQueueDrops = static_cast<std::size_t>(devices_.io().droppedSends());
    c.recordingDrops = e.recordingDrops;
    c.busDrops = static_cast<std::size_t>(bus_->dropped());
    c.soundStreamNotices = e.soundStreamNotices;
    c.feedbackLoopNotices = feedbackRaised_.load(std::memory_order_relaxed);
    c.sysexDrops = e.sysexDrops + static_cast<std::size_t>(devices_.io().droppedSysex());
    c.busMalformed = e.busMalformed;
    return c;
}
