// Engine ports that keep what the engine sends; the buses are plain lists and the host's time is
// whatever the test sets.
#pragma once

#include <map>
#include <vector>

#include "engine/ports.h"
#include "support/preparingports.h"
#include "support/midimessages.h"

namespace testsupport {

struct FakeEnginePorts : PreparingPorts {
    // A message for the host with its frame and the test's call count when it left.
    struct Sent {
        Message message;
        int frame = 0;
        long call = 0;
        bool operator==(const Sent&) const = default;
        MidiWord word() const { return std::get<MidiWord>(message); }
    };
    std::vector<Sent> host;       // words and SysEx in the order they left
    std::vector<Message> device;  // the same for the MIDI output device
    std::map<int, std::vector<MidiWord>> buses;
    std::vector<EngineNotice> notices;
    HostTime time{120.0, 4, 4};
    bool timeValid = true;
    int timeCalls = 0;      // hostTime and hostMeter
    int positionCalls = 0;  // hostTime alone: the calls that asked for the position too
    long call = 0;          // the test counts its processing calls here

    std::vector<Message> hostMessages() const {
        std::vector<Message> out;
        for (const Sent& s : host) out.push_back(s.message);
        return out;
    }

    void hostOutput(MidiWord word, int frame) noexcept override {
        host.push_back({word, frame, call});
    }
    void hostSysexOutput(const std::uint8_t* data, std::size_t size, int frame) noexcept override {
        host.push_back({Bytes(data, data + size), frame, call});
    }
    bool hostTime(HostTime& t) noexcept override {
        ++timeCalls;
        ++positionCalls;
        t = time;
        return timeValid;
    }
    HostMeter hostMeter() noexcept override {
        ++timeCalls;
        if (!timeValid) return {};
        return {time.tempo, time.numerator, time.denominator};
    }
    int busTake(int bus, MidiWord* words, int capacity) noexcept override {
        auto& b = buses[bus];
        int n = 0;
        for (MidiWord w : b)
            if (n < capacity) words[n++] = w;
        b.clear();
        return n;
    }
    void busWrite(int bus, MidiWord word) noexcept override { buses[bus].push_back(word); }
    void deviceOutput(MidiWord word) noexcept override { device.emplace_back(word); }
    void deviceSysexOutput(const std::uint8_t* data, std::size_t size) noexcept override {
        device.emplace_back(Bytes(data, data + size));
    }
    void notice(EngineNotice which) noexcept override { notices.push_back(which); }
};

}  // namespace testsupport
