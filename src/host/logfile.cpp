#include "host/logfile.h"

#include <exception>

#include "midifile/mididata.h"

namespace host {

void LogFile::setPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = path;
    hasPath_.store(!path.empty());
}

std::string LogFile::path() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
}

void LogFile::setTrackName(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    trackName_ = name;
}

std::string LogFile::trackName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return trackName_;
}

std::string LogFile::write(const RecordingSnapshot& recording, const std::string& path,
                           const std::string& trackName, const std::atomic<bool>* giveUp) {
    if (path.empty()) return "No log file name is set";
    try {
        midifile::TMidiData data;
        Recorder::build(data, recording, trackName);
        data.fileName = path;
        data.save(giveUp);
        return {};
    } catch (const std::exception& e) {
        return "Cannot save the log to " + path + ": " + e.what();
    } catch (...) {
        return "Cannot save the log to " + path;
    }
}

}  // namespace host
