// How a log view shows the log's lines: statuses it hides (the lines stay in the log and the
// recording), the optional time prefix, and saving the shown lines as text. Shared by the
// editor's log view and corvella-host --log; used on one reader thread at a time.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/logentry.h"

enum class LogTimePrefix { Off, Seconds, Bars };

class LogShow {
public:
    // Hides or shows lines of one status byte.
    void hide(std::uint8_t status, bool on) noexcept { hidden_[status] = on; }
    bool hidden(std::uint8_t status) const noexcept { return hidden_[status]; }
    // A channel message's kind (0x80..0xE0) on all 16 channels; a system status itself.
    void hideKind(std::uint8_t status, bool on) noexcept;
    bool kindHidden(std::uint8_t status) const noexcept;
    // Timing clock (0xF8) and active sensing (0xFE) together.
    void hideClockAndSensing(bool on) noexcept;
    bool clockAndSensingHidden() const noexcept { return hidden_[0xF8] && hidden_[0xFE]; }
    // Hides the statuses of a comma-separated list of names (clock, sensing, note-off, note-on,
    // poly-pressure, control, program, channel-pressure, pitch-bend, sysex, mtc, song-position,
    // song-select, tune, start, continue, stop, reset) and status bytes (0xF8, 0x90: exactly
    // that byte). False with the item it could not read.
    bool hideList(const std::string& list, std::string& bad);

    // Lines of no message (status 0) always show.
    bool shows(const LogEntry& e) const noexcept { return !hidden_[e.info.status]; }

    void setTimePrefix(LogTimePrefix p) noexcept { prefix_ = p; }
    LogTimePrefix timePrefix() const noexcept { return prefix_; }
    // The line as shown: the time prefix and a space, then the line's exact text.
    std::string text(const LogEntry& e) const;

private:
    std::bitset<256> hidden_;
    LogTimePrefix prefix_ = LogTimePrefix::Off;
};

// "seconds.milliseconds" of a sample clock (milliseconds cut, not rounded, so a line never
// shows a time before its message); "-.---" when the rate is unknown or the time is too far
// out to hold.
std::string secondsText(std::int64_t clock, double sampleRate);
// "bar.beat.tick" of the host's position (bar and beat from 1, 960 ticks per quarter note, so
// 480 per eighth-note beat); the time signature is 4/4 when the host gives none. "-.-.---" when
// the host gives no position, or one too far out to count.
std::string barsText(const LogLineInfo& info);

// The text as UTF-8: valid UTF-8 stays; any other byte is taken as Latin-1.
std::string utf8Text(const std::string& text);
// Writes the lines, each followed by '\n', as a UTF-8 file, replacing any file of that name
// whole or not at all (platform::saveFile). False with the reason.
bool saveLogText(const std::string& path, const std::vector<std::string>& lines,
                 std::string& error);
