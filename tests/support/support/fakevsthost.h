// A VST 2 host for tests: it answers what a plug-in asks of its host (version, transport,
// product string) and keeps what the plug-in told it. Constructing one makes it the host that
// `callback` answers for until it is destroyed; with none, the callback answers only the
// version, as a bare host does. Any thread may call the callback.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/midiword.h"
#include "support/midimessages.h"
#include "vst/aeffect.h"

namespace testsupport {

class FakeVstHost {
public:
    struct Call {
        AEffect* effect;
        VstInt32 opcode, index;
        VstIntPtr value;
        void* ptr;
        float opt;
    };
    // One event of a processEvents call: the MIDI event as sent, or the SysEx's bytes.
    struct Event {
        VstMidiEvent midi{};
        Bytes sysex;
        VstInt32 listSize = 0;  // the events of the call that brought it
        long stamp = 0;         // `stamp` when it arrived
        std::thread::id thread;
        MidiWord word() const { return std::get<MidiWord>(message()); }
        Message message() const {
            if (midi.type == kVstSysExType) return sysex;
            return packWord(static_cast<std::uint8_t>(midi.midiData[0]),
                            static_cast<std::uint8_t>(midi.midiData[1]),
                            static_cast<std::uint8_t>(midi.midiData[2]));
        }
    };

    FakeVstHost() { current() = this; }
    ~FakeVstHost() { current() = nullptr; }
    FakeVstHost(const FakeVstHost&) = delete;
    FakeVstHost& operator=(const FakeVstHost&) = delete;

    VstIntPtr version = 2400;
    VstIntPtr answer = 0;  // to every other call; processEvents takes 0 as 1 (accepted)
    std::string product = "MyHost 2";
    VstTimeInfo time{};
    bool timeAvailable = true;
    std::atomic<int> timeCalls{0};
    std::function<void()> duringGetTime;            // runs once, inside the next time call
    std::function<VstIntPtr(AEffect*)> sampleRate;  // answers audioMasterGetSampleRate when set
    std::atomic<long> stamp{0};                     // the test's clock, stamped on each event
    // Keeps calls and events in the lists below. That allocates: a test that counts the
    // processing thread's allocations turns it off.
    bool keep = true;
    std::mutex mutex;  // guards the lists
    std::vector<Call> calls;
    std::vector<Event> events;

    // The calls of one of these opcodes (those kept), as (opcode, index).
    std::vector<std::pair<VstInt32, VstInt32>> callsOf(std::initializer_list<VstInt32> opcodes) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::pair<VstInt32, VstInt32>> out;
        for (const Call& c : calls)
            for (VstInt32 op : opcodes)
                if (c.opcode == op) out.emplace_back(c.opcode, c.index);
        return out;
    }
    // The parameters automated so far, as (index, value).
    std::vector<std::pair<int, float>> automated() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::pair<int, float>> out;
        for (const Call& c : calls)
            if (c.opcode == audioMasterAutomate) out.emplace_back(c.index, c.opt);
        return out;
    }
    std::vector<Message> messages() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Message> out;
        for (const Event& e : events) out.push_back(e.message());
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        calls.clear();
        events.clear();
    }

    static VstIntPtr VSTCALLBACK callback(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                          VstIntPtr value, void* ptr, float opt) {
        FakeVstHost* host = current();
        if (!host) return opcode == audioMasterVersion ? 2400 : 0;
        return host->answerCall({effect, opcode, index, value, ptr, opt});
    }

private:
    static FakeVstHost*& current() {
        static FakeVstHost* host = nullptr;
        return host;
    }

    VstIntPtr answerCall(const Call& c) {
        if (keep) {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back(c);
        }
        switch (c.opcode) {
            case audioMasterVersion:
                return version;
            case audioMasterGetTime:
                ++timeCalls;
                if (auto hook = std::exchange(duringGetTime, nullptr)) hook();
                return timeAvailable ? reinterpret_cast<VstIntPtr>(&time) : 0;
            case audioMasterGetProductString:
                std::snprintf(static_cast<char*>(c.ptr), 64, "%s", product.c_str());
                return 1;
            case audioMasterGetSampleRate:
                return sampleRate ? sampleRate(c.effect) : answer;
            case audioMasterProcessEvents:
                if (!c.ptr) return answer;
                if (keep) keepEvents(*static_cast<const VstEvents*>(c.ptr));
                return answer == 0 ? 1 : answer;
            default:
                return answer;
        }
    }

    void keepEvents(const VstEvents& list) {
        std::lock_guard<std::mutex> lock(mutex);
        for (VstInt32 i = 0; i < list.numEvents; ++i) {
            const VstEvent* e = eventAt(&list, i);
            Event got;
            got.listSize = list.numEvents;
            got.stamp = stamp.load();
            got.thread = std::this_thread::get_id();
            if (e->type == kVstSysExType) {
                const auto* x = reinterpret_cast<const VstMidiSysexEvent*>(e);
                got.midi.type = kVstSysExType;
                got.sysex.assign(x->sysexDump, x->sysexDump + x->dumpBytes);
            } else {
                got.midi = *reinterpret_cast<const VstMidiEvent*>(e);
            }
            events.push_back(std::move(got));
        }
    }
};

}  // namespace testsupport
