#include "tools/host/editorwindow.h"

#include <chrono>
#include <vector>

namespace host {

RealtimeProcessing::RealtimeProcessing(VstHost& h) : host_(h) {
    host_.live = true;
    thread_ = std::thread([this] {
        const std::vector<ScheduledEvent> none;
        const auto start = std::chrono::steady_clock::now();
        for (long b = 0; !stop_; ++b) {
            const auto due =
                start + std::chrono::duration<double>(static_cast<double>(b) * host_.blockSize /
                                                      host_.sampleRate);
            std::this_thread::sleep_until(
                std::chrono::time_point_cast<std::chrono::steady_clock::duration>(due));
            host_.runBlock(none);
        }
    });
}

RealtimeProcessing::~RealtimeProcessing() {
    stop_ = true;
    thread_.join();
    host_.live = false;
}

}  // namespace host
