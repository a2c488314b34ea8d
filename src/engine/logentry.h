// What a log line carries beside its text: the message's status and its time, as the sample
// clock and as the host's musical position. Filled on the processing thread per message (only
// copies); readers turn it into the optional time prefix and filter on the status.
#pragma once

#include <cstdint>
#include <string>

struct LogLineInfo {
    std::int64_t clock = 0;      // sample frames since logging started, at the message's frame
    float sampleRate = 0.0f;     // the rate the clock counts in (0: unknown)
    double ppq = 0.0;            // the host's position in quarter notes at the message
    double barStart = 0.0;       // the quarter-note position of the start of its bar
    std::uint8_t status = 0;     // the message's status byte; 0 for a line that is no message
    std::uint8_t numerator = 0;  // the host's time signature; 0 when unknown
    std::uint8_t denominator = 0;
    bool hasPpq = false;  // ppq is the host's
    bool hasBar = false;  // barStart is the host's
};

// One line as a reader sees it.
struct LogEntry {
    std::uint64_t sequence = 0;  // the line's number (see LogLines::appended)
    std::string text;
    LogLineInfo info;
};
