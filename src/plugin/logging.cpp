// The log file: its name, saving the recording as a Standard MIDI File, and the worker that
// saves and shows notices away from the thread that asked.
#include <chrono>
#include <exception>

#include "midifile/mididata.h"
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

bool APlugin::writeRecording(const RecordingSnapshot& recording, const std::string& path,
                             const std::string& name) {
    try {
        midifile::TMidiData data;
        Recorder::build(data, recording, name);
        data.fileName = path;
        data.save();
        return true;
    } catch (const std::exception& e) {
        const std::string text = "Cannot save the log to " + path + ": " + e.what();
        platform::showNotice(text.c_str(), "Corvella", platform::NoticeKind::Error);
    } catch (...) {
        const std::string text = "Cannot save the log to " + path;
        platform::showNotice(text.c_str(), "Corvella", platform::NoticeKind::Error);
    }
    return false;
}

// "save log!" reads 1.0 while saving and 0.0 afterwards; after a failure it keeps reading 1.0.
bool APlugin::saveLogNow() {
    const std::string path = logFileName();
    if (path.empty()) return false;
    values_[param::SaveLog].store(1.0f, std::memory_order_relaxed);
    const bool ok = writeRecording(engine_.recording(), path, trackName());
    if (ok) resetOneShot(param::SaveLog);
    return ok;
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

void APlugin::raiseNotice(EngineNotice which) noexcept {
    workerBusy_.store(true);
    (which == EngineNotice::SoundStream ? soundNotices_ : feedbackNotices_).fetch_add(1);
    workerWake_.release();
}

// Sleeps until handed something; every wake-up handles all that is pending, so several
// releases folded into one are never lost.
void APlugin::workerLoop() {
    auto pending = [&] {
        return saveRequested_.load() || soundNotices_.load() > 0 || feedbackNotices_.load() > 0;
    };
    for (;;) {
        workerWake_.acquire();
        while (pending()) {
            for (int n = soundNotices_.exchange(0); n > 0; --n)
                platform::showNotice("Stream is sound!", "Corvella", platform::NoticeKind::Error);
            for (int n = feedbackNotices_.exchange(0); n > 0; --n)
                platform::showNotice("Feedback loop!", "Corvella", platform::NoticeKind::Warning);
            if (saveRequested_.exchange(false)) saveLogNow();
        }
        workerBusy_.store(false);
        // A request that arrived after the check above released the semaphore again.
        if (pending()) workerBusy_.store(true);
        if (stopWorker_.load()) return;
    }
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
