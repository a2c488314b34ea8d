// MIDI device ports: numbered input and output devices of the system's MIDI service, short
// messages and system exclusive dumps. One implementation per system (winmm on Windows; RtMidi over
// the ALSA sequencer or JACK elsewhere); tests install a scripted one (tests/support).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// What a driver hands the input procedure, in winmm's numbering, which every backend uses.
inline constexpr unsigned kMidiInOpen = 0x3C1;
inline constexpr unsigned kMidiInClose = 0x3C2;
inline constexpr unsigned kMidiInData = 0x3C3;  // first parameter: packed MIDI word
// A whole system exclusive message, F0 to F7: first parameter its bytes (valid during the call
// only), second its size.
inline constexpr unsigned kMidiInLongData = 0x3C4;
inline constexpr unsigned kMidiInError = 0x3C5;
inline constexpr unsigned kMidiInLongError = 0x3C6;

// Called on the driver's thread for every message of an open input device: the message code,
// then its first and second parameter (for data: the packed word and a time stamp).
using MidiInputProc = void (*)(void* context, unsigned message, std::uintptr_t param1,
                               std::uintptr_t param2) noexcept;

// Room for a device error's text, terminator included.
using MidiErrorText = std::array<char, 256>;

// Copies a text into an error buffer, cut to fit and terminated.
void setMidiErrorText(MidiErrorText& buffer, const char* text) noexcept;

// Bytes in the short message that starts with this status byte; 0 for data bytes and the
// system exclusive bytes 0xF0 and 0xF7, which no short message carries.
constexpr int shortMessageLength(std::uint8_t status) noexcept {
    if (status < 0x80 || status == 0xF0 || status == 0xF7) return 0;
    if (status < 0xC0 || (status >= 0xE0 && status < 0xF0) || status == 0xF2) return 3;
    if (status < 0xE0 || status == 0xF1 || status == 0xF3) return 2;
    return 1;
}

// One input and one output device at a time. Device numbers count from 0 in the system's
// order. Open, close and the lists are called from one thread at a time; sendShort from one
// thread at a time, possibly another one, and only while the output is open.
class MidiBackend {
public:
    virtual ~MidiBackend() = default;
    virtual int inputCount() noexcept = 0;
    virtual int outputCount() noexcept = 0;
    // The device's name; empty when the number is not below the count or the system has none.
    virtual std::string inputName(int number) = 0;
    virtual std::string outputName(int number) = 0;
    // Opens and starts an input device; from then on the driver calls proc until closeInput
    // returns. On failure writes the system's text into error and answers false.
    virtual bool openInput(int number, MidiInputProc proc, void* context,
                           MidiErrorText& error) noexcept = 0;
    virtual void closeInput() noexcept = 0;
    virtual bool openOutput(int number, MidiErrorText& error) noexcept = 0;
    virtual void closeOutput() noexcept = 0;
    virtual void sendShort(std::uint32_t word) noexcept = 0;
    // Whether an input opened from now on delivers system exclusive messages (kMidiInLongData);
    // off by default. Called before a device opens.
    virtual void setLongMessages(bool /*on*/) noexcept {}
    // Sends one whole system exclusive message, F0 to F7, while the output is open; it may
    // wait until the device has taken it, so it is called from a thread that may wait (one at
    // a time). False when the device refused it.
    virtual bool sendLong(const std::uint8_t* /*data*/, std::size_t /*size*/) noexcept {
        return false;
    }
    // Makes a sendLong under way on another thread give up soon, because the output is about
    // to close (any thread); the next openOutput sends normally again.
    virtual void cancelLong() noexcept {}
};

// The system's MIDI devices, or the backend a test installed with ScopedMidiBackend (then the
// answer borrows it and does not own it).
std::unique_ptr<MidiBackend> createMidiBackend();

// Installs a backend that createMidiBackend lends out (null restores the system's); answers
// the previous one.
MidiBackend* setMidiBackendOverride(MidiBackend* backend) noexcept;

class ScopedMidiBackend {
public:
    explicit ScopedMidiBackend(MidiBackend& backend) noexcept
        : previous_(setMidiBackendOverride(&backend)) {}
    ~ScopedMidiBackend() { setMidiBackendOverride(previous_); }
    ScopedMidiBackend(const ScopedMidiBackend&) = delete;
    ScopedMidiBackend& operator=(const ScopedMidiBackend&) = delete;

private:
    MidiBackend* previous_;
};

}  // namespace platform
