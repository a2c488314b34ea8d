// The log file: its name, saving the recording as a Standard MIDI File, and the worker that
// saves and shows notices away from the thread that asked.
#include <chrono>
#include <exception>

#include "midifile/mididata.h"
#include "platform/library.h"
#include "platform/notice.h"
#include "plugin/plugin.h"

// --- Names -------------------------------------------------------------------------------------

void APlugin::setLogFileName(const std::string& path) {
    std::lock_guard<std::mutex> lock(namesMutex_);
    logFileName_ = path;
    hasLogFileName_.store(!path.empty());
}

std::string APlugin::logFileName() const {
    std::lock_guard<std::mutex> lock(namesMutex_);
    return logFileName_;
}

void APlugin::setTrackName(const std::string& name) {
    std::lock_guard<std::mutex> lock(namesMutex_);
    trackName_ = name;
}

std::string APlugin::trackName() const {
    std::lock_guard<std::mutex> lock(namesMutex_);
    return trackName_;
}

// --- Saving --------------------------------------------------------------------------------------

// The file is replaced whole or not at all (midifile::TMidiData::save); a failure says why in
// a notice. A save the close gave up on says nothing more: the close already did.
bool APlugin::writeRecording(const RecordingSnapshot& recording, const std::string& path,
                             const std::string& name, WorkerState& state) {
    std::string text;
    try {
        midifile::TMidiData data;
        Recorder::build(data, recording, name);
        data.fileName = path;
        data.save(&state.giveUp);
        return true;
    } catch (const std::exception& e) {
        text = "Cannot save the log to " + path + ": " + e.what();
    } catch (...) {
        text = "Cannot save the log to " + path;
    }
    if (!state.giveUp.load())
        state.notices.show(text.c_str(), "Corvella", platform::NoticeKind::Error);
    return false;
}

// "save log!" reads 1.0 while saving and 0.0 afterwards; after a failure it keeps reading 1.0.
bool APlugin::saveLogNow() {
    return saveRecording(false) == SaveResult::Saved;
}

APlugin::SaveResult APlugin::saveRecording(bool onWorker) {
    const std::string path = logFileName();
    if (path.empty()) return SaveResult::Failed;
    values_[param::SaveLog].store(1.0f, std::memory_order_relaxed);
    const RecordingSnapshot recording = engine_.recording();
    const std::string name = trackName();
    WorkerState& state = *workerState_;
    if (onWorker) {
        state.beginWrite(path);
        if (state.saveObserver) state.saveObserver(state.saveContext);
    }
    const bool ok = writeRecording(recording, path, name, state);
    // Given up: the plug-in is gone, so nothing of it may be touched any more.
    if (onWorker && !state.endWrite()) return SaveResult::GivenUp;
    if (ok) resetOneShot(param::SaveLog);
    return ok ? SaveResult::Saved : SaveResult::Failed;
}

// Set from outside (the host's automation or a restored project, on any thread): the save runs
// on the worker, from a snapshot of the recording, and the caller goes on at once.
void APlugin::applySaveLog(float v, Origin origin) {
    if (!switchOn(param::SaveLog, v)) return;
    if (origin == Origin::Outside && hasLogFileName_.load()) {
        workerBusy_.store(true);
        saveRequested_.store(true);
        workerWake_.release();
        return;
    }
    resetOneShot(param::SaveLog);
}

// Counted, not shown: the processing thread may raise it, and the worker shows it.
void APlugin::raiseNotice(EngineNotice which) noexcept {
    workerBusy_.store(true);
    (which == EngineNotice::SoundStream ? soundNotices_ : feedbackNotices_).fetch_add(1);
    workerWake_.release();
}

// Sleeps until handed something; every wake-up handles all that is pending, so several
// releases folded into one are never lost. Each notice raised passes the instance's limiter,
// which shows a text at most once a second.
void APlugin::workerLoop(WorkerState& state) {
    auto pending = [&] {
        return saveRequested_.load() || soundNotices_.load() > 0 || feedbackNotices_.load() > 0 ||
               storageWanted_.load();
    };
    for (;;) {
        workerWake_.acquire();
        while (pending()) {
            if (storageWanted_.exchange(false)) engine_.prepareStorage();
            for (int n = soundNotices_.exchange(0); n > 0; --n)
                state.notices.show("Stream is sound!", "Corvella", platform::NoticeKind::Error);
            for (int n = feedbackNotices_.exchange(0); n > 0; --n)
                state.notices.show("Feedback loop!", "Corvella", platform::NoticeKind::Warning);
            if (saveRequested_.exchange(false) && saveRecording(true) == SaveResult::GivenUp)
                return;
        }
        workerBusy_.store(false);
        // A request that arrived after the check above released the semaphore again.
        if (pending()) workerBusy_.store(true);
        if (stopWorker_.load()) break;
    }
    state.finish();
}

void APlugin::stopWorker() {
    stopWorker_.store(true);
    workerWake_.release();
    std::string path;
    if (workerState_->waitOrGiveUp(path)) {
        worker_.join();
        return;
    }
    // The worker still runs this module's code when it comes back from the file.
    platform::keepModuleLoaded();
    worker_.detach();
    const std::string text = "Gave up saving the log to " + path + ": the file took longer than " +
                             std::to_string(kCloseWait.count()) +
                             " seconds to write while the plug-in closed";
    platform::showNotice(text.c_str(), "Corvella", platform::NoticeKind::Error);
}

void APlugin::WorkerState::beginWrite(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    saving = true;
    savingTo = path;
    changed.notify_all();
}

bool APlugin::WorkerState::endWrite() {
    std::lock_guard<std::mutex> lock(mutex);
    saving = false;
    return !giveUp.load();
}

void APlugin::WorkerState::finish() {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    changed.notify_all();
}

// Past the time limit, a worker that is not writing is let finish (a notice or a snapshot
// takes no time); one that starts or is inside a write is given up.
bool APlugin::WorkerState::waitOrGiveUp(std::string& path) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, kCloseWait, [&] { return finished; }))
        changed.wait(lock, [&] { return finished || saving; });
    if (finished) return true;
    giveUp.store(true);
    path = savingTo;
    return false;
}

void APlugin::waitForWorker() {
    while (workerBusy_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

APluginCounters APlugin::counters() const noexcept {
    const EngineCounters e = engine_.counters();
    APluginCounters c;
    c.delayDrops = e.delayDrops;
    c.hostQueueDrops = e.inputQueueDrops;
    c.deviceQueueDrops = static_cast<std::size_t>(midiIO_.droppedSends());
    c.recordingDrops = e.recordingDrops;
    c.busDrops = static_cast<std::size_t>(bus_->dropped());
    c.soundStreamNotices = e.soundStreamNotices;
    c.feedbackLoopNotices = feedbackRaised_.load(std::memory_order_relaxed);
    c.sysexDrops = e.sysexDrops + static_cast<std::size_t>(midiIO_.droppedSysex());
    c.busMalformed = e.busMalformed;
    return c;
}
