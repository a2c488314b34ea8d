// The MIDI log: the log stage, the sample clock with the host's tempo and time signature, the
// recording and saving it as a Standard MIDI File.
#include <cmath>
#include <exception>

#include "midifile/mididata.h"
#include "platform/notice.h"
#include "plugin/logtext.h"
#include "plugin/plugin.h"

// --- Clock and ticks -----------------------------------------------------------------------------

// The decimal factor 0.016667 (not exactly 1/60) is part of the conversion: saved files place
// events exactly where it puts them. The low 32 bits of the rounded result are the tick.
std::int32_t APlugin::samplesToTicks(std::int64_t samples) const noexcept {
    const long double ticks = static_cast<long double>(conversionTempo_) * Recorder::kPpqn *
                              static_cast<long double>(samples) * 0.016667L /
                              static_cast<long double>(sampleRate);
    const long double r = std::nearbyint(ticks);
    if (!(std::fabs(r) < 9.2e18L)) return 0;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(r)));
}

// The log stage: each message as it enters the chain, before replacing and filtering.
void APlugin::logStep(APlugin& p, MidiWord w, VstInt32 frameOffset) noexcept {
    const std::int32_t tick = p.samplesToTicks(p.sampleClock_ + frameOffset);
    p.lastEventTick_ = tick;
    RecordedEvent e{
        tick,
        RecordedEvent::Message,
        {static_cast<std::uint8_t>(wordStatus(w)), static_cast<std::uint8_t>(wordData1(w)),
         static_cast<std::uint8_t>(wordData2(w)), 0}};
    p.recorder_.insert(e);
    char line[LogLines::kLineLength + 1];
    const std::size_t n = formatLogLine(w, line, sizeof line);
    if (p.params_[param::ClearLog] < 0.5f) p.logLines_.append(line, n);
}

// Once per frame while logging (processing thread, chain lock held).
void APlugin::metaLogStep(APlugin& p) noexcept {
    const VstTimeInfo* time = nullptr;
    if (p.params_[param::LogMeta] >= 0.5f) time = p.getTimeInfo(kVstTempoValid | kVstTimeSigValid);
    p.metaLogWith(time);
}

void APlugin::metaLogWith(const VstTimeInfo* time) noexcept {
    ++sampleClock_;
    if (params_[param::LogMeta] < 0.5f || !time) return;  // no record: nothing to log
    timeCopy_ = *time;
    if (timeCopy_.tempo != conversionTempo_) tempoStep(timeCopy_.tempo);
    if (timeCopy_.timeSigNumerator != writtenNumerator_ ||
        timeCopy_.timeSigDenominator != writtenDenominator_)
        timeSignatureStep(timeCopy_.timeSigNumerator, timeCopy_.timeSigDenominator);
}

// The tempo event sits at the tick computed with the tempo before the change.
void APlugin::tempoStep(double hostTempo) noexcept {
    if (!(hostTempo >= 1.0)) return;
    const std::int64_t micros = static_cast<std::int64_t>(std::nearbyint(60000000.0 / hostTempo));
    RecordedEvent e{samplesToTicks(sampleClock_),
                    RecordedEvent::Tempo,
                    {static_cast<std::uint8_t>((micros >> 16) & 0xFF),
                     static_cast<std::uint8_t>((micros >> 8) & 0xFF),
                     static_cast<std::uint8_t>(micros & 0xFF), 0}};
    recorder_.insert(e);
    conversionTempo_ = hostTempo;
    tempoWritten_.store(true);
}

void APlugin::timeSignatureStep(VstInt32 numerator, VstInt32 denominator) noexcept {
    if (numerator == 0 && denominator == 0) return;
    const double power = denominator > 0 ? std::log2(static_cast<double>(denominator)) : 0.0;
    RecordedEvent e{samplesToTicks(sampleClock_),
                    RecordedEvent::TimeSignature,
                    {static_cast<std::uint8_t>(numerator & 0xFF),
                     static_cast<std::uint8_t>(roundEven(power) & 0xFF), 24, 8}};
    recorder_.insert(e);
    writtenNumerator_ = numerator;
    writtenDenominator_ = denominator;
    timeSigWritten_.store(true);
}

// Switching logging on restarts the sample clock and runs the clock step once at once. The
// host is asked for its time before the chain lock is taken, so no other thread ever waits on
// a host call.
void APlugin::applyLogging(float v) {
    const VstTimeInfo* time = nullptr;
    if (v > 0.5f && value(param::LogMeta) >= 0.5f)
        time = getTimeInfo(kVstTempoValid | kVstTimeSigValid);
    std::lock_guard<RecursiveSpinLock> guard(chainLock_);
    if (v > 0.5f) {
        sampleClock_ = 0;
        metaLogWith(time);
        logStage_ = logStep;
        metaLogStep_ = metaLogStep;
    } else {
        logStage_ = noLogStep;
        metaLogStep_ = noFrameStep;
    }
}

// --- Clear and reset -----------------------------------------------------------------------------

// The conversion tempo starts at 120: events logged without tempo logging then land where a
// reader at the default tempo expects them.
void APlugin::resetRecording() noexcept {
    std::lock_guard<RecursiveSpinLock> guard(chainLock_);
    conversionTempo_ = 120.0;
    writtenNumerator_ = 0;
    writtenDenominator_ = 0;
    recorder_.reset();
    lastEventTick_ = 0;
    sampleClock_ = 0;
}

void APlugin::clearLog() noexcept {
    resetRecording();
    logLines_.clear();
}

std::size_t APlugin::recordedEvents() const noexcept {
    std::lock_guard<RecursiveSpinLock> guard(chainLock_);
    return recorder_.size();
}

std::size_t APlugin::droppedRecordings() const noexcept {
    std::lock_guard<RecursiveSpinLock> guard(chainLock_);
    return recorder_.dropped();
}

std::vector<RecordedEvent> APlugin::recordingSnapshot() const {
    std::lock_guard<RecursiveSpinLock> guard(chainLock_);
    return recorder_.snapshot();
}

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

bool APlugin::writeRecording(const std::vector<RecordedEvent>& events, const std::string& path,
                             const std::string& name) {
    try {
        midifile::TMidiData data;
        Recorder::build(data, events, name);
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
    const bool ok = writeRecording(recordingSnapshot(), path, trackName());
    if (ok) resetOneShot(param::SaveLog);
    return ok;
}

// Set from outside (the host's automation or a restored project, on any thread): the save runs
// on the worker, from a snapshot of the recording, and the caller goes on at once.
void APlugin::applySaveLog(float v, Origin origin) {
    if (v <= 0.5f) return;
    if (origin == Origin::Outside && hasLogFileName_.load()) {
        workerBusy_.store(true);
        saveRequested_.store(true);
        workerWake_.notify_one();
        return;
    }
    resetOneShot(param::SaveLog);
}

void APlugin::raiseNotice(EngineNotice which) noexcept {
    workerBusy_.store(true);
    (which == EngineNotice::SoundStream ? soundNotices_ : feedbackNotices_).fetch_add(1);
    (which == EngineNotice::SoundStream ? soundStreamsSeen_ : feedbackLoopsSeen_).fetch_add(1);
    workerWake_.notify_one();
}

void APlugin::workerLoop() {
    std::unique_lock<std::mutex> lock(workerMutex_);
    auto pending = [&] {
        return saveRequested_.load() || soundNotices_.load() > 0 || feedbackNotices_.load() > 0;
    };
    for (;;) {
        // A bounded wait: a wake-up sent between the test and the wait is never lost for long.
        workerWake_.wait_for(lock, std::chrono::milliseconds(50),
                             [&] { return stopWorker_ || pending(); });
        if (pending()) {
            lock.unlock();
            for (int n = soundNotices_.exchange(0); n > 0; --n)
                platform::showNotice("Stream is sound!", "Corvella", platform::NoticeKind::Error);
            for (int n = feedbackNotices_.exchange(0); n > 0; --n)
                platform::showNotice("Feedback loop!", "Corvella", platform::NoticeKind::Warning);
            if (saveRequested_.exchange(false)) saveLogNow();
            lock.lock();
            workerBusy_.store(pending());
        } else if (stopWorker_) {
            return;
        }
    }
}

void APlugin::waitForWorker() {
    while (workerBusy_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}
