// The text of the MIDI log: one line per message, note names and controller names.
#pragma once

#include <cstddef>
#include <string>

#include "engine/midiword.h"

// "C 5" for 60, "C#5" for 61, "---" beyond 119.
std::string noteName(int n);
// The controller's name, or "Invalid control change message" beyond 127.
const char* controllerName(int n) noexcept;

// Writes the log line of a message into `out` (at most `capacity` - 1 characters and a
// terminating zero, cut when longer) and answers its length. Allocates nothing.
std::size_t formatLogLine(MidiWord word, char* out, std::size_t capacity) noexcept;
std::string logLine(MidiWord word);

// The longest line any word makes stays below this.
constexpr std::size_t kMaxLogLine = 96;
// Writes the log line of a message into `out`, which has room for kMaxLogLine characters, with
// no terminating zero, and answers its length. Allocates nothing.
std::size_t writeLogLine(MidiWord word, char* out) noexcept;
