// A MIDI backend for tests, installed with platform::ScopedMidiBackend.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "platform/midi.h"

namespace platform {

// A backend for tests: devices are names in two lists, every request is recorded as a line of
// text, an open can be made to fail, and deliver() plays the driver's thread.
class ScriptedMidiBackend : public MidiBackend {
public:
    ScriptedMidiBackend(std::vector<std::string> inputs, std::vector<std::string> outputs);

    int inputCount() noexcept override { return static_cast<int>(inputs_.size()); }
    int outputCount() noexcept override { return static_cast<int>(outputs_.size()); }
    std::string inputName(int number) override;
    std::string outputName(int number) override;
    bool openInput(int number, MidiInputProc proc, void* context,
                   MidiErrorText& error) noexcept override;
    void closeInput() noexcept override;
    bool openOutput(int number, MidiErrorText& error) noexcept override;
    void closeOutput() noexcept override;
    void sendShort(std::uint32_t word) noexcept override;
    // Records "sysex SIZE" and keeps the bytes.
    bool sendLong(const std::uint8_t* data, std::size_t size) noexcept override;
    void setLongMessages(bool on) noexcept override { longMessages_.store(on); }
    // With holdLongSends set, sendLong waits (up to 10 s) until cancelLong (false then) or until
    // holdLongSends is cleared (then it sends).
    void cancelLong() noexcept override { cancelled_.store(true); }
    std::atomic<bool> holdLongSends{false};
    std::atomic<bool> longSendWaiting{false};
    bool longMessages() const noexcept { return longMessages_.load(); }
    std::vector<std::vector<std::uint8_t>> sentLong() const;

    // The next open of that direction fails with this text.
    void failNextOpen(bool output, std::string text);
    // "open in 1", "close in", "open out 0", "close out", "send 00403C90", in order.
    std::vector<std::string> calls() const;
    void clearCalls();
    // Calls the open input's procedure as its driver would; false when no input is open.
    bool deliver(unsigned message, std::uintptr_t param1, std::uintptr_t param2 = 0) noexcept;
    // With holdOpens set, opening either direction waits (up to 10 s) until it is cleared.
    std::atomic<bool> holdOpens{false};
    // The thread of the last open or send.
    std::thread::id lastCallThread() const;
    // How often two sendShort calls overlapped (the contract allows none).
    int overlappingSends() const noexcept { return overlaps_.load(); }

private:
    void record(std::string line) noexcept;
    bool takeFailure(std::string& failure, MidiErrorText& error) noexcept;

    std::vector<std::string> inputs_, outputs_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::thread::id lastThread_;
    std::string failInput_, failOutput_;
    std::atomic<MidiInputProc> proc_{nullptr};
    std::atomic<void*> context_{nullptr};
    std::atomic<int> sending_{0}, overlaps_{0};
    std::atomic<bool> longMessages_{false};
    std::atomic<bool> cancelled_{false};
    std::vector<std::vector<std::uint8_t>> sentLong_;
};

}  // namespace platform
