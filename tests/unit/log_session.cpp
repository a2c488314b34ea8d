// Records a short session through the plug-in as a host would drive it and saves the log:
// notes, a controller, pitch bend, a program change, 6/8, tempo changes 120 -> 60 -> 180,
// timing clock and active sensing. Prints each recorded event ("tick kind b0 b1 b2 b3") and
// each message sent with the time it was sent at ("sent seconds b0 b1 b2") for the reader
// test.
#include <cstdio>
#include <vector>

#include "platform/settings.h"
#include "plugin/plugin.h"
#include "support/fakevsthost.h"
#include "support/memorysettingsstore.h"
#include "tools/host/vsthost.h"
#include "vst/entry.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: log_session OUT.mid\n");
        return 2;
    }
    platform::MemorySettingsStore store;
    platform::ScopedSettingsStore scope(store);
    testsupport::FakeVstHost host;
    host.time.tempo = 120.0;
    host.time.timeSigNumerator = 6;
    host.time.timeSigDenominator = 8;
    AEffect* e = pluginEntry(testsupport::FakeVstHost::callback);
    if (!e) return 1;
    auto& p = *static_cast<APlugin*>(e->object);
    std::vector<float> buf(4410);
    float* io[1] = {buf.data()};
    // The sample clock: switching logging on steps it once.
    long clock = 1;
    auto frames = [&](int n) {
        e->processReplacing(e, io, io, n);
        clock += n;
    };
    std::vector<std::pair<long, MidiWord>> sent;
    // One event per call, as a host delivers messages that fall in different blocks.
    auto send = [&](std::vector<MidiWord> words) {
        for (MidiWord w : words) {
            host::MidiEventList list = host::MidiEventList::fromWords({w});
            e->dispatcher(e, effProcessEvents, 0, 0, list.get(), 0.0f);
            sent.push_back({clock, w});
        }
    };
    e->setParameter(e, param::Log, 1.0f);
    frames(4410);
    send({packWord(0x90, 60, 100), packWord(0xB0, 7, 100), packWord(0xE0, 0, 64),
          packWord(0xC0, 5, 0)});
    frames(4410);
    send({packWord(0xF8, 0, 0), packWord(0xFE, 0, 0), packWord(0x80, 60, 0)});
    host.time.tempo = 60.0;
    frames(4410);
    send({packWord(0x91, 62, 90), packWord(0xF8, 0, 0), packWord(0x81, 62, 0)});
    host.time.tempo = 180.0;
    frames(4410);
    send({packWord(0x92, 64, 80), packWord(0x82, 64, 0)});
    frames(4410);
    frames(4410);
    send({packWord(0x93, 65, 70)});
    for (const auto& [at, w] : sent)
        std::printf("sent %.9f %u %u %u\n", static_cast<double>(at) / 44100.0, wordStatus(w),
                    wordData1(w), wordData2(w));
    for (const RecordedEvent& r : p.recordingSnapshot())
        std::printf("%d %d %d %d %d %d\n", r.tick, static_cast<int>(r.kind), r.bytes[0], r.bytes[1],
                    r.bytes[2], r.bytes[3]);
    p.setLogFileName(argv[1]);
    const bool ok = p.saveLogNow();
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
    return ok ? 0 : 1;
}
