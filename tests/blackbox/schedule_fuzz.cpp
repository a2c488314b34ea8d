// Any text as corvella-host's --send and --set arguments: parsing answers yes or no, and an
// accepted schedule holds only events with a status byte and frames in order.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/host/vsthost.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<host::ScheduledEvent> events;
    std::string error;
    if (host::parseSchedule(text, events, error)) {
        long previous = 0;
        for (const auto& e : events) {
            if (e.frame < previous || e.frame < 0) std::abort();
            previous = e.frame;
        }
    } else if (error.empty()) {
        std::abort();
    }
    double v = 0;
    host::parseValue(text, v);
    long n = 0;
    host::parseNumber(text, n);
    return 0;
}
