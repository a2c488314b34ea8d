// After construction the processing thread never allocates or frees heap memory, whatever the
// settings and whatever the host sets there (devices included): every allocation made on the
// watched thread while it is watched counts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#if defined(_WIN32) || defined(__GLIBC__)
#include <malloc.h>
#endif
#include <cstring>
#include <filesystem>
#include <new>
#include <vector>

#include "platform/notice.h"
#include "platform/settings.h"
#include "plugin/plugin.h"
#include "support/fakevsthost.h"
#include "support/memorysettingsstore.h"
#include "support/recordingnoticesink.h"
#include "vst/entry.h"
#include "vstbus/vstbus.h"

namespace {
thread_local bool watched = false;
std::atomic<long> watchedAllocations{0};
thread_local bool weighed = false;  // the bytes this thread asks for are counted
std::size_t weighedBytes = 0;

// A place to stop in a debugger when a watched allocation happens.
[[gnu::noinline]] void watchedAllocation() noexcept {
    watchedAllocations.fetch_add(1, std::memory_order_relaxed);
}

void note() noexcept {
    if (watched) watchedAllocation();
}

}  // namespace

void* operator new(std::size_t n) {
    note();
    if (weighed) weighedBytes += n;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    note();
    if (weighed) weighedBytes += n;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    if (p) note();
    std::free(p);
}
void operator delete[](void* p) noexcept {
    if (p) note();
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    if (p) note();
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    if (p) note();
    std::free(p);
}

// An instance with nothing switched on holds no memory sized for the log, the recording, the
// delay line or the bus: its creation asks for about what a plain pass-through does.
// The over-aligned forms too (the plug-in's objects may be over-aligned).
void* operator new(std::size_t n, std::align_val_t a) {
    note();
    if (weighed) weighedBytes += n;
    const auto align = static_cast<std::size_t>(a);
#ifdef _WIN32
    if (void* p = _aligned_malloc(n, align)) return p;
#else
    if (void* p = std::aligned_alloc(align, (n + align - 1) / align * align)) return p;
#endif
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) {
    return operator new(n, a);
}
void operator delete(void* p, std::align_val_t) noexcept {
    if (p) note();
#ifdef _WIN32
    _aligned_free(p);
#else
    std::free(p);
#endif
}
void operator delete[](void* p, std::align_val_t a) noexcept {
    operator delete(p, a);
}
void operator delete(void* p, std::size_t, std::align_val_t a) noexcept {
    operator delete(p, a);
}
void operator delete[](void* p, std::size_t, std::align_val_t a) noexcept {
    operator delete(p, a);
}

TEST(Instance, CreationTakesLittleMemory) {
    platform::MemorySettingsStore store;
    platform::ScopedSettingsStore scope(store);
    platform::RecordingNoticeSink sink;
    platform::ScopedNoticeSink notices(sink);
    testsupport::FakeVstHost host;
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The heap in use, so that the tables taken zeroed from calloc (the note routes, 16 kB;
    // the small knob queue) count too: glibc's own allocator only.
    const std::size_t heapBefore = mallinfo2().uordblks;
#endif
    weighed = true;
    AEffect* e = pluginEntry(testsupport::FakeVstHost::callback);
    weighed = false;
    ASSERT_NE(e, nullptr);
    // Through new: 22.0 kB on 64-bit Linux (3.1 MB before memory came on demand).
    EXPECT_LT(weighedBytes, std::size_t{32} << 10);
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // With them: 39.7 kB.
    EXPECT_LT(mallinfo2().uordblks - heapBefore, std::size_t{48} << 10);
#endif
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}

TEST(ProcessingThread, NeverAllocates) {
    platform::MemorySettingsStore store;
    platform::ScopedSettingsStore scope(store);
    platform::RecordingNoticeSink sink;
    platform::ScopedNoticeSink notices(sink);
    testsupport::FakeVstHost host;
    host.keep = false;
    host.time.tempo = 120.0;
    host.time.timeSigNumerator = 4;
    host.time.timeSigDenominator = 4;
    AEffect* e = pluginEntry(testsupport::FakeVstHost::callback);
    ASSERT_NE(e, nullptr);
    auto& p = *static_cast<APlugin*>(e->object);
    vstbus::TVstBus peer;
    constexpr int kBus = 29;
    peer.setWriteIndex(kBus, 0);
    const auto path = std::filesystem::temp_directory_path() / "corvella-alloc-test.mid";
    p.setLogFileName(path.string());

    // Every stage on: log with tempo logging, replace, filter, delay, both buses on one bus.
    auto set = [&](int i, float v) { e->setParameter(e, i, v); };
    set(param::Log, 1.0f);
    set(param::Replace, 1.0f);
    set(31, 16.0f / 256);
    set(32, 23.0f / 256);
    set(35, 2.0f / 256);
    set(param::FilterType, 0.3f);
    set(11, 1.0f);
    set(13, 3.0f / 256);
    set(param::DelayOutput, 1.0f);
    set(param::DelayAmount, 10.0f / 32767);
    set(param::RecvBus, kBus / 256.0f);
    set(param::SendBus, kBus / 256.0f);
    set(param::GetFromBus, 1.0f);
    set(param::PutToBus, 1.0f);

    // Host events, built before the watch starts.
    std::vector<VstMidiEvent> midi(64);
    std::vector<VstEvent*> ptrs(66);
    for (int i = 0; i < 64; ++i) {
        midi[i].type = kVstMidiType;
        midi[i].deltaFrames = i;
        midi[i].midiData[0] = static_cast<char>(i % 3 == 0 ? 0xB0 : i % 3 == 1 ? 0x90 : 0xF8);
        midi[i].midiData[1] = static_cast<char>(i);
        midi[i].midiData[2] = 64;
        ptrs[static_cast<std::size_t>(i)] = reinterpret_cast<VstEvent*>(&midi[i]);
    }
    VstEvent sysex{};
    sysex.type = kVstSysExType;
    ptrs[64] = &sysex;
    std::vector<unsigned char> block(offsetof(VstEvents, events) + sizeof(VstEvent*) * 66);
    auto* list = reinterpret_cast<VstEvents*>(block.data());
    list->numEvents = 65;
    std::memcpy(block.data() + offsetof(VstEvents, events), ptrs.data(), sizeof(VstEvent*) * 65);
    std::vector<float> buffer(512);
    float* io[1] = {buffer.data()};
    p.deviceInput(packWord(0x90, 1, 1));  // a word waiting for the processing thread

    watched = true;
    for (int round = 0; round < 50; ++round) {
        e->dispatcher(e, effProcessEvents, 0, 0, list, 0.0f);
        e->processReplacing(e, io, io, 512);
        e->process(e, io, io, 256);
        // Automation on the audio thread: knobs, stage switches, one-shots, buses.
        set(50, static_cast<float>(round) / 50.0f);
        set(param::Replace, round % 2 ? 1.0f : 0.0f);
        set(param::FilterType, round % 3 ? 0.3f : 0.8f);
        set(param::RecvBus, kBus / 256.0f);  // the feedback notice
        // Devices chosen, opened and closed: only wishes here, the worker does the rest.
        set(round % 4 < 2 ? param::OutputMidi : param::InputMidi, round % 2 ? 0.0f : 1.0f);
        set(param::OutputDevice, static_cast<float>(round % 3) / 256.0f);
        host.time.tempo = 100.0 + round;
        if (round == 10)  // more knob changes than their queue holds between two calls
            for (int i = 0; i < 1500; ++i) set(51, static_cast<float>(i % 128) / 127.0f);
        if (round == 20) set(param::SaveLog, 1.0f);
        if (round == 30) set(param::ClearLog, 1.0f);
        // Off and drained, then on again from here: the memory goes and comes on the worker.
        if (round == 32)
            for (int i : {param::Log, param::DelayOutput, param::GetFromBus}) set(i, 0.0f);
        if (round == 34) set(param::ClearLog, 1.0f);
        if (round == 36)
            for (int i : {param::Log, param::DelayOutput, param::GetFromBus}) set(i, 1.0f);
        if (round == 40) {
            watched = false;
            peer.setFlags(kBus, vstbus::kFlagSoundStream);
            peer.write(kBus, 0x90);
            watched = true;
        }
    }
    watched = false;
    EXPECT_EQ(watchedAllocations.load(), 0);
    p.waitForWorker();
    EXPECT_FALSE(sink.notices().empty());
    EXPECT_TRUE(std::filesystem::exists(path));
    peer.clearFlags(kBus, vstbus::kFlagSoundStream | vstbus::kFlagSender);
    peer.setWriteIndex(kBus, 0);
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
    std::filesystem::remove(path);
}
