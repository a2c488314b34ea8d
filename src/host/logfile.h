// The log file of one instance, for every front end: the file's and the track's names, and
// saving a recording there as a Standard MIDI File, whole or not at all.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "engine/recorder.h"

namespace host {

class LogFile {
public:
    // The names (any thread; the editor's, the host's state calls, the worker).
    void setPath(const std::string& path);
    std::string path() const;
    // Whether a file is named, where the name may not be copied (any thread, the processing
    // thread too).
    bool hasPath() const noexcept { return hasPath_.load(); }
    void setTrackName(const std::string& name);
    std::string trackName() const;

    // Writes `recording` under the names as they are now (a thread that may wait: the worker
    // or the user's). Answers "" when saved, otherwise the reason, as a notice words it; on
    // failure the file stays as it was.
    std::string save(const RecordingSnapshot& recording) const {
        return write(recording, path(), trackName());
    }
    // The same with the names given; touches no LogFile, so the owner may go while it writes.
    // `giveUp` as midifile::TMidiData::save takes it.
    static std::string write(const RecordingSnapshot& recording, const std::string& path,
                             const std::string& trackName,
                             const std::atomic<bool>* giveUp = nullptr);

private:
    mutable std::mutex mutex_;
    std::string path_;
    std::string trackName_ = "Corvella";
    std::atomic<bool> hasPath_{false};
};

}  // namespace host
