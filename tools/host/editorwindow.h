// corvella-host --editor: the plug-in's editor in a top-level window of its own, with
// processing running in real time beside it, so the plug-in works without a DAW.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "tools/host/vsthost.h"

namespace host {

// Processes blocks at the pace of the sample rate on a thread of its own while it exists, with
// the host in live mode (see VstHost::live). The host must have been started.
class RealtimeProcessing {
public:
    explicit RealtimeProcessing(VstHost& h);
    ~RealtimeProcessing();
    RealtimeProcessing(const RealtimeProcessing&) = delete;
    RealtimeProcessing& operator=(const RealtimeProcessing&) = delete;

private:
    VstHost& host_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Opens a top-level window, opens the plug-in's editor in it (effEditGetRect, effEditOpen),
// calls effEditIdle about 30 times a second and processes blocks at the pace of the sample
// rate on a thread of its own, until the window is closed or the process is interrupted
// (Ctrl+C). With `screenshotDir` set it saves a PNG of each tab and of the options dialog there
// and returns. The caller has started processing. Answers the process's exit code; on failure
// `error` says why.
int runEditorWindow(VstHost& h, const std::string& screenshotDir, std::string& error);

}  // namespace host
