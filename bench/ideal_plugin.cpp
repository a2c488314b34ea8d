// Two reference plug-ins the benchmarks compare Corvella with, built from this one file. Both
// keep Corvella's host contract at its cheapest: each message handed to effProcessEvents is
// packed into a word, passed through three table look-ups and sent back to the host with one
// audioMasterProcessEvents call holding a one-event list; processReplacing costs the same at
// every block size. The logging-limit build (CORVELLA_BENCH_LOGGING=1) also formats each
// message's log line with table-driven code and stores a recorded event in a preallocated
// ring, asking the host's time once per block: the least that logging can cost.
// Neither is installed; they exist only for bench/.
#include <array>
#include <cstdint>
#include <cstring>

#include "vst/aeffect.h"

#ifndef CORVELLA_BENCH_LOGGING
#define CORVELLA_BENCH_LOGGING 0
#endif

namespace {

constexpr bool kLogging = CORVELLA_BENCH_LOGGING != 0;

// Identity tables standing in for the chain's decoded filter, replace and routing state.
struct Tables {
    std::array<std::uint8_t, 256> status{}, data1{}, data2{};
    Tables() {
        for (int i = 0; i < 256; ++i)
            status[i] = data1[i] = data2[i] = static_cast<std::uint8_t>(i);
    }
};
const Tables tables;

// Log text, table driven: fixed pieces are copied, numbers come from a 0..999 digit table.
struct Text {
    char* p;
    void put(const char* s, std::size_t n) {
        std::memcpy(p, s, n);
        p += n;
    }
    template <std::size_t N>
    void put(const char (&s)[N]) {
        put(s, N - 1);
    }
    void number(int v) {
        if (v < 0) {
            *p++ = '-';
            v = -v;
        }
        char digits[12];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0) *p++ = digits[--n];
    }
};

const char kNoteNames[12][3] = {"C ", "C#", "D ", "D#", "E ", "F ",
                                "F#", "G ", "G#", "A ", "A#", "B "};
const char* const kSystemNames[16] = {"System Exclusive",
                                      "MIDI Time Code Qtr. Frame",
                                      "Song Position Pointer",
                                      "Song Select(Song #)",
                                      "Undefined",
                                      "Undefined",
                                      "Tune request",
                                      "End of SysEx (EOX)",
                                      "Timing clock",
                                      "Undefined",
                                      "Start",
                                      "Continue",
                                      "Stop",
                                      "Undefined",
                                      "Active Sensing",
                                      "System Reset"};

[[maybe_unused]] std::size_t formatLine(char* line, std::uint8_t s, std::uint8_t d1,
                                        std::uint8_t d2) {
    Text t{line};
    if (s < 0x80) {
        t.put("Undefined (");
        t.number(s);
        t.put(",");
        t.number(d1);
        t.put(",");
        t.number(d2);
        t.put(")");
        return static_cast<std::size_t>(t.p - line);
    }
    if (s >= 0xF0) {
        const char* name = kSystemNames[s - 0xF0];
        t.put(name, std::strlen(name));
        return static_cast<std::size_t>(t.p - line);
    }
    t.put("[");
    t.number((s & 0x0F) + 1);
    t.put("] ");
    const auto note = [&](int n) {
        if (n < 120) {
            t.put(kNoteNames[n % 12], 2);
            t.number(n / 12);
        } else {
            t.put("---");
        }
    };
    switch (s & 0xF0) {
        case 0x80:
        case 0x90:
            note(d1 & 0x7F);
            t.put(" (");
            t.number(d1 & 0x7F);
            if ((s & 0xF0) == 0x90 && d2 != 0) {
                t.put(",");
                t.number(d2 & 0x7F);
                t.put(") On");
            } else {
                t.put(") Off");
            }
            break;
        case 0xA0:
            t.put("Polyphonic Aftertouch ");
            note(d1);
            t.put(" (");
            t.number(d2);
            t.put(")");
            break;
        case 0xB0:
            t.put("CCM: Controller (");
            t.number(d1);
            t.put(",");
            t.number(d2);
            t.put(")");
            break;
        case 0xC0:
            t.put("Program Change (");
            t.number(d1);
            t.put(")");
            break;
        case 0xD0:
            t.put("Channel Aftertouch (");
            t.number(d1);
            t.put(")");
            break;
        default:
            t.put("Pitchbend (");
            t.number(d1 + 256 * d2 - 32768);
            t.put(")");
            break;
    }
    return static_cast<std::size_t>(t.p - line);
}

struct Recorded {
    std::int32_t tick;
    std::uint8_t bytes[5];
};

struct Peer {
    AEffect effect{};
    audioMasterCallback host = nullptr;
    VstMidiEvent event{};
    VstEvents list{};
    // Logging limit: the clock, the tempo read once per block, the current line and the ring
    // of recorded events.
    std::int64_t clock = 0;
    double ticksPerFrame = 0.0;
    char line[256]{};
    std::size_t lineLength = 0;
    std::array<Recorded, 65536> recording{};
    std::size_t recorded = 0;

    void send(std::uint32_t word, VstInt32 delta) {
        const std::uint8_t s = tables.status[word & 0xFF];
        const std::uint8_t d1 = tables.data1[(word >> 8) & 0xFF];
        const std::uint8_t d2 = tables.data2[(word >> 16) & 0xFF];
        if constexpr (kLogging) {
            lineLength = formatLine(line, s, d1, d2);
            Recorded& r = recording[recorded++ & (recording.size() - 1)];
            r.tick = static_cast<std::int32_t>(static_cast<double>(clock + delta) * ticksPerFrame);
            r.bytes[0] = s;
            r.bytes[1] = d1;
            r.bytes[2] = d2;
        }
        event.midiData[0] = static_cast<char>(s);
        event.midiData[1] = static_cast<char>(d1);
        event.midiData[2] = static_cast<char>(d2);
        host(&effect, audioMasterProcessEvents, 0, 0, &list, 0.0f);
    }
};

Peer& peerOf(AEffect* e) {
    return *static_cast<Peer*>(e->object);
}

VstIntPtr VSTCALLBACK dispatch(AEffect* e, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float) {
    Peer& p = peerOf(e);
    switch (opcode) {
        case effClose:
            delete &p;
            return 1;
        case effProcessEvents: {
            const auto* events = static_cast<const VstEvents*>(ptr);
            for (VstInt32 i = 0; i < events->numEvents; ++i) {
                const VstEvent* ev = eventAt(events, i);
                if (ev->type != kVstMidiType) continue;
                const auto* m = reinterpret_cast<const VstMidiEvent*>(ev);
                const std::uint32_t word = static_cast<std::uint8_t>(m->midiData[0]) |
                                           static_cast<std::uint8_t>(m->midiData[1]) << 8 |
                                           static_cast<std::uint8_t>(m->midiData[2]) << 16;
                p.send(word, m->deltaFrames);
            }
            return 1;
        }
        default:
            return 0;
    }
}

void VSTCALLBACK processReplacing(AEffect* e, float**, float**, VstInt32 frames) {
    if constexpr (kLogging) {
        Peer& p = peerOf(e);
        const auto* time = reinterpret_cast<const VstTimeInfo*>(
            p.host(e, audioMasterGetTime, 0, kVstTempoValid, nullptr, 0.0f));
        if (time != nullptr && time->sampleRate > 0.0)
            p.ticksPerFrame = time->tempo / 60.0 * 480.0 / time->sampleRate;
        p.clock += frames;
    } else {
        (void)e;
        (void)frames;
    }
}

void VSTCALLBACK setParameter(AEffect*, VstInt32, float) {}
float VSTCALLBACK getParameter(AEffect*, VstInt32) {
    return 0.0f;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) AEffect* VSTPluginMain(audioMasterCallback host) {
    auto* p = new Peer;
    p->host = host;
    p->event.type = kVstMidiType;
    p->event.byteSize = sizeof(VstMidiEvent);
    p->list.numEvents = 1;
    p->list.events[0] = reinterpret_cast<VstEvent*>(&p->event);
    AEffect& e = p->effect;
    e.magic = kEffectMagic;
    e.dispatcher = dispatch;
    e.process = processReplacing;
    e.processReplacing = processReplacing;
    e.setParameter = setParameter;
    e.getParameter = getParameter;
    e.numOutputs = 1;
    e.flags = effFlagsCanReplacing | effFlagsIsSynth;
    e.object = p;
    return &e;
}
