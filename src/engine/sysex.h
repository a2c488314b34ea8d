// System exclusive messages beside the packed words. A SysEx does not fit a MidiWord, so it
// travels whole, as its bytes from F0 to F7: through the engine by pointer, between threads in
// a bounded byte ring (platform::MessageRing), and in the recording in a bounded byte store.
// Nothing here allocates once constructed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/messagering.h"

// The longest SysEx the engine carries whole (F0 and F7 included); a longer one is dropped and
// counted, never cut.
inline constexpr std::size_t kMaxSysex = platform::kMaxMessage;

// Writes the log line of a SysEx, "System Exclusive 6 bytes: F0 7E 7F 06 01 F7", into `out`
// (room for kMaxLogLine characters, no terminating zero) and answers its length. A message
// whose bytes do not fit shows its first bytes, "..." and its last byte.
std::size_t writeSysexLogLine(const std::uint8_t* data, std::size_t size, char* out) noexcept;
std::string sysexLogLine(const std::uint8_t* data, std::size_t size);

// Whether the bytes are one whole SysEx: F0, data bytes, F7.
bool wholeSysex(const std::uint8_t* data, std::size_t size) noexcept;
