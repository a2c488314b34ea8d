// The MIDI input and output device of one instance, for every front end. A change of a device
// parameter, on whatever thread the host makes it, only records the wish; the process's worker
// then selects, opens and closes the devices, and sends what the instance queued for the output
// device. So nothing on the processing thread talks to a device driver or waits for one.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/midiword.h"
#include "host/worker.h"
#include "midiio/midiio.h"

namespace host {

// Whether the device parameters' values choose the same number for input and output (a loop
// through outside MIDI when both are patched together), as the editor warns.
inline bool devicesLoop(float outputValue, float inputValue) noexcept {
    return choiceOf(outputValue) == choiceOf(inputValue);
}

class Devices {
public:
    // Attaches the process's worker (the creating thread).
    Devices();
    // Closes both devices (see close).
    ~Devices();
    Devices(const Devices&) = delete;
    Devices& operator=(const Devices&) = delete;

    // As TMidiIO's, before any device opens (the creating thread).
    void setInputHandler(TMidiIO::InputHandler handler, void* owner) noexcept {
        io_.setInputHandler(handler, owner);
    }
    void enableSysex(TMidiIO::SysexHandler handler, void* owner) {
        io_.enableSysex(handler, owner);
    }

    // Records the newest value of a device parameter (device numbers, open switches; other
    // indexes are ignored) and asks the worker to apply it (any thread; never waits).
    void wish(int index, float value) noexcept;
    // Whether the worker has opened the input (false) or output (true) device (any thread).
    bool open(bool output) const noexcept { return output ? io_.outputOpen() : io_.inputOpen(); }
    // Queue for the output device; the worker sends (any thread; never waits).
    void send(std::uint32_t word) noexcept { io_.sendShortMessage(word); }
    void sendSysex(const std::uint8_t* data, std::size_t size) noexcept {
        io_.sendSysex(data, size);
    }
    // Takes no more wishes, waits for the worker to be done with this instance and closes both
    // devices; nothing arrives from the input device afterwards (the closing thread).
    void close() noexcept;
    // Waits until the worker has applied every wish and sent every word given before the call
    // (any thread but the worker and the processing thread).
    void settle() noexcept;

    // The devices themselves: lists and names for the editor, counters (any thread).
    TMidiIO& io() noexcept { return io_; }
    const TMidiIO& io() const noexcept { return io_; }

private:
    enum Bits : std::uint32_t { kSend = 1, kApply = 2 };
    static void run(Worker::Client& client, std::uint32_t bits) noexcept;
    static void wakeSender(void* self) noexcept;
    void apply() noexcept;

    Worker::Use worker_;
    TMidiIO io_;
    // The newest wishes not applied yet, -1 for none (a device number, or 0/1 for closed/open).
    std::atomic<int> inputDevice_{-1}, outputDevice_{-1};
    std::atomic<int> inputOpen_{-1}, outputOpen_{-1};
    std::atomic<bool> closed_{false};
    Worker::Client client_{&Devices::run, this};
};

}  // namespace host
