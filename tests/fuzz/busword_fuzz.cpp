// Words on the receive bus, which any participant can write, through the engine. The first
// byte turns SysEx on (bit 0) and sample-accurate output (bit 1); then each operation puts a
// word (four bytes, any value) on the receive bus, changes a setting the bus path meets (bus
// reading, the delay and its length, log, replace, filter, the send bus, the outputs), or runs
// a block. Whatever the words hold, nothing reads out of bounds (the sanitizers watch), no
// word leaves with anything in bits 24..31, no SysEx leaves (none came in), and no more words
// are counted as malformed than the bus handed over.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/midiengine.h"
#include "support/fuzzinput.h"
#include "support/preparingports.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

struct FuzzPorts : PreparingPorts {
    std::vector<MidiWord> waiting;  // the receive bus, whatever bus number is asked for
    std::size_t handed = 0;

    void hostOutput(MidiWord word, int) noexcept override { check((word >> 24) == 0); }
    bool hostTime(HostTime& t) noexcept override {
        t = {120.0, 4, 4};
        return true;
    }
    int busTake(int, MidiWord* words, int capacity) noexcept override {
        int n = 0;
        for (MidiWord w : waiting)
            if (n < capacity) words[n++] = w;
        handed += static_cast<std::size_t>(n);
        waiting.clear();
        return n;
    }
    void busWrite(int, MidiWord word) noexcept override { check((word >> 24) == 0); }
    void deviceOutput(MidiWord word) noexcept override { check((word >> 24) == 0); }
    void hostSysexOutput(const std::uint8_t*, std::size_t, int) noexcept override { check(false); }
    void deviceSysexOutput(const std::uint8_t*, std::size_t) noexcept override { check(false); }
    void notice(EngineNotice) noexcept override {}
};

constexpr int kSettings[] = {param::GetFromBus, param::DelayOutput, param::DelayAmount,
                             param::Log,        param::Replace,     param::FilterType,
                             param::PutToBus,   param::RecvBus,     param::SendBus,
                             param::SendToHost, param::OutputMidi,  param::ReplaceNewStatus};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in{data, size};
    FuzzPorts ports;
    MidiEngine engine(ports);
    ports.engine = &engine;
    const std::uint8_t options = in.byte();
    if (options & 1) engine.enableSysex();
    engine.setSampleAccurate((options & 2) != 0);
    engine.setParameter(param::GetFromBus, 1.0f);
    while (in.more()) {
        const std::uint8_t op = in.byte() % 5;
        if (op < 3) {
            ports.waiting.push_back(in.word());
        } else if (op == 3) {
            const int index = kSettings[in.byte() % std::size(kSettings)];
            engine.setParameter(index, static_cast<float>(in.byte()) / 255.0f);
        } else {
            engine.processBlock(1 + 16 * in.byte());
        }
    }
    engine.processBlock(4096);
    check(engine.counters().busMalformed <= ports.handed);
    return 0;
}
