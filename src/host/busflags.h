// The bus switches of one instance, for every front end: the sender flag on the bus it sends
// to, and the feedback warning when it both reads and writes one bus.
#pragma once

#include <array>
#include <atomic>

#include "engine/parameters.h"
#include "vstbus/vstbus.h"

namespace host {

class BusFlags {
public:
    using Values = std::array<std::atomic<float>, kNumParams>;

    // After a change of a bus setting (`sendChanged` for the send bus; the other bus settings
    // otherwise), from the newest values: the flag moves to the send bus, and is set while
    // "put to bus" is on. True when the settings leave reading and writing on one bus: the
    // caller shows the feedback warning. Any thread, one at a time per instance; never waits.
    bool apply(vstbus::TVstBus& bus, bool sendChanged, const Values& values) noexcept {
        auto value = [&](int i) {
            return values[static_cast<std::size_t>(i)].load(std::memory_order_relaxed);
        };
        const int r = busOf(value(param::RecvBus));
        const int s = busOf(value(param::SendBus));
        const bool get = switchOn(param::GetFromBus, value(param::GetFromBus));
        const bool put = switchOn(param::PutToBus, value(param::PutToBus));
        if (sendChanged) {
            const int before = flagged_.exchange(s);
            if (before >= 0) bus.markSender(before, false);
        }
        if (put) bus.markSender(s, true);
        return r == s && get && put;
    }
    // The instance closes: its flag goes (the closing thread).
    void leave(vstbus::TVstBus& bus) noexcept {
        const int before = flagged_.exchange(-1);
        if (before >= 0) bus.markSender(before, false);
    }

private:
    std::atomic<int> flagged_{-1};  // the bus flagged as this instance's, -1 for none yet
};

}  // namespace host
