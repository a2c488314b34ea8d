// The built plug-ins driven the way careless and hostile hosts drive them: random opcodes and
// parameter values on many instances, processing, automation and editor calls on one instance
// from three threads at once, and instances made and closed while others pass MIDI over the
// buses; the LV2 module likewise through its descriptor, with a host worker thread. A case
// passes when nothing crashes or races (the sanitizer presets run it too), every instance
// closes, and an instance still passes MIDI once its settings are back at their defaults.
// Each case runs CORVELLA_TORTURE_SECONDS seconds (default 2); set it higher to soak.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/library.h"
#include "tools/host/vsthost.h"
#include "vstbus/vstbus.h"

#ifdef CORVELLA_TORTURE_LV2
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/worker/worker.h>

#include "../lv2/lv2testhost.h"
#include "lv2/uiprotocol.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kParams = 68;
constexpr VstInt32 kMaxFrames = 4096;

Clock::duration soakTime() {
    const char* s = std::getenv("CORVELLA_TORTURE_SECONDS");
    const double seconds = s ? std::atof(s) : 2.0;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Runs body(rng) on `threads` threads until the soak time is over.
template <class Body>
void soak(int threads, Body body) {
    const auto end = Clock::now() + soakTime();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(1234 + t));
            while (Clock::now() < end) body(t, rng);
        });
    for (auto& th : pool) th.join();
}

std::unique_ptr<host::VstHost> openVst() {
    auto h = std::make_unique<host::VstHost>();
    const char* path = std::getenv("CORVELLA_PLUGIN");
    if (!path || !h->load(path) || !h->instantiate()) return nullptr;
    h->blockSize = kMaxFrames;
    return h;
}

// A random short message: any status byte from 0x80, any data bytes below 0x80.
std::uint32_t randomWord(std::mt19937& rng) {
    const auto bits = static_cast<std::uint32_t>(rng());
    return (0x80u | (bits & 0x7Fu)) | (bits >> 8 & 0x7Fu) << 8 | (bits >> 16 & 0x7Fu) << 16;
}

// One processing call of a random size, with a few random messages before it.
void randomBlock(host::VstHost& h, std::mt19937& rng) {
    std::vector<std::uint32_t> words(rng() % 8);
    for (auto& w : words) w = randomWord(rng);
    auto list = host::MidiEventList::fromWords(words, static_cast<VstInt32>(rng() % 64));
    h.dispatch(effProcessEvents, 0, 0, list.get());
    static thread_local std::vector<float> buffer[2] = {std::vector<float>(kMaxFrames),
                                                        std::vector<float>(kMaxFrames)};
    float* io[2] = {buffer[0].data(), buffer[1].data()};
    h.effect()->processReplacing(h.effect(), io, io, static_cast<VstInt32>(rng() % kMaxFrames));
}

// Settings back at the program's defaults, then one note in: it must come out.
void expectPassesNote(host::VstHost& h, const std::vector<float>& defaults) {
    h.live = false;
    for (int i = 0; i < kParams; ++i) h.setParameter(i, defaults[static_cast<std::size_t>(i)]);
    h.sent.clear();
    h.runBlock({{h.framePosition() + 10, {0x90, 60, 100}, {}}});
    h.runBlock({});
    bool found = false;
    for (const auto& e : h.sent)
        found = found || (e.bytes[0] == 0x90 && e.bytes[1] == 60 && e.bytes[2] == 100);
    EXPECT_TRUE(found) << "the instance no longer passes a note";
}

std::vector<float> parameters(host::VstHost& h) {
    std::vector<float> v(kParams);
    for (int i = 0; i < kParams; ++i) v[static_cast<std::size_t>(i)] = h.getParameter(i);
    return v;
}

TEST(Torture, RandomCallsOnManyInstances) {
    std::vector<std::unique_ptr<host::VstHost>> hosts;
    for (int i = 0; i < 8; ++i) {
        hosts.push_back(openVst());
        ASSERT_TRUE(hosts.back()) << "CORVELLA_PLUGIN does not load";
        hosts.back()->start();
    }
    // Every opcode but those that end the instance (effClose) or whose arguments only a real
    // host can give: the parent window of effEditOpen, the arrangements passed by address in
    // `value`, the offline calls' arrays of host records. Pointers go to zeroed room of 64 KB
    // and sizes never claim more.
    const std::vector<VstInt32> skipped = {effClose, effEditOpen, 38, 39, 40, 42, 69};
    std::vector<char> room(1 << 16);
    soak(1, [&](int, std::mt19937& rng) {
        host::VstHost& h = *hosts[rng() % hosts.size()];
        switch (rng() % 4) {
            case 0: {
                const auto opcode = static_cast<VstInt32>(rng() % 80);
                if (std::find(skipped.begin(), skipped.end(), opcode) != skipped.end()) break;
                std::fill(room.begin(), room.end(), 0);
                h.dispatch(opcode, static_cast<VstInt32>(rng() % 200) - 20,
                           static_cast<VstIntPtr>(rng() % room.size()), room.data(),
                           static_cast<float>(rng() % 1000) / 500.0f - 0.5f);
                break;
            }
            case 1:
                h.setParameter(static_cast<VstInt32>(rng() % 80) - 6,
                               std::uniform_real_distribution<float>(-0.5f, 1.5f)(rng));
                break;
            case 2:
                (void)h.getParameter(static_cast<VstInt32>(rng() % 80) - 6);
                break;
            default:
                randomBlock(h, rng);
                break;
        }
    });
    for (auto& h : hosts) {
        for (float v : parameters(*h)) EXPECT_TRUE(v >= 0.0f && v <= 1.0f) << v;
        EXPECT_EQ(h->effect()->numParams, kParams);
        h->stop();
        EXPECT_EQ(h->close(), 1);
    }
}

TEST(Torture, ProcessingAutomationAndEditorThreadsOnOneInstance) {
    auto h = openVst();
    ASSERT_TRUE(h);
    const std::vector<float> defaults = parameters(*h);
    h->live = true;
    h->start();
    std::vector<char> text(1 << 12);
    soak(3, [&](int thread, std::mt19937& rng) {
        const auto index = static_cast<VstInt32>(rng() % kParams);
        const float value = std::uniform_real_distribution<float>(0.0f, 1.0f)(rng);
        if (thread == 0) {  // the host's processing thread, which automates too
            if (rng() % 4 == 0) h->setParameter(index, value);
            randomBlock(*h, rng);
        } else if (thread == 1) {  // automation from the host's other threads
            h->setParameter(index, value);
        } else {  // the editor's calls
            h->dispatch(effEditIdle);
            h->dispatch(effGetParamDisplay, index, 0, text.data());
            (void)h->getParameter(index);
        }
    });
    h->stop();
    h->start();
    expectPassesNote(*h, defaults);
    h->stop();
    EXPECT_EQ(h->close(), 1);
}

// Parameter numbers for the bus settings, as corvella-host --info names them.
int parameterNamed(host::VstHost& h, const std::string& name) {
    for (int i = 0; i < kParams; ++i)
        if (h.dispatchText(effGetParamName, i) == name) return i;
    return -1;
}

TEST(Torture, InstancesComeAndGoWhileBusesRun) {
    // Two senders and two receivers (with delayed output) on bus 7 process all the time; other
    // instances are made, put on the same buses, run a few blocks and closed, again and again,
    // while a hostile participant writes any 32-bit words to the bus.
    auto setUp = [](host::VstHost& h, bool send) {
        const int bus = parameterNamed(h, send ? "send bus num" : "recv bus num");
        const int on = parameterNamed(h, send ? "put to bus?" : "get from bus?");
        const int delay = parameterNamed(h, "delay output?");
        if (bus < 0 || on < 0 || delay < 0) return false;
        h.setParameter(bus, 7.0f / 64.0f);
        h.setParameter(on, 1.0f);
        h.setParameter(delay, send ? 0.0f : 1.0f);
        return true;
    };
    vstbus::TVstBus hostile;
    std::vector<std::unique_ptr<host::VstHost>> steady;
    for (int i = 0; i < 4; ++i) {
        steady.push_back(openVst());
        ASSERT_TRUE(steady.back());
        ASSERT_TRUE(setUp(*steady.back(), i < 2)) << "no bus parameters";
        steady.back()->start();
    }
    std::atomic<long> churned{0};
    soak(3, [&](int thread, std::mt19937& rng) {
        if (thread == 0) {
            for (auto& h : steady) randomBlock(*h, rng);
            return;
        }
        if (thread == 2) {
            for (int i = 0; i < 16; ++i) hostile.write(7, static_cast<std::uint32_t>(rng()));
            return std::this_thread::yield();
        }
        auto h = openVst();
        ASSERT_TRUE(h);
        setUp(*h, rng() % 2 == 0);
        h->start();
        for (int b = static_cast<int>(rng() % 4); b >= 0; --b) randomBlock(*h, rng);
        h->stop();
        EXPECT_EQ(h->close(), 1);
        ++churned;
    });
    EXPECT_GT(churned.load(), 0);
    for (auto& h : steady) {
        h->stop();
        EXPECT_EQ(h->close(), 1);
    }
}

// --- LV2 ---------------------------------------------------------------------------------------
#ifdef CORVELLA_TORTURE_LV2

// A host worker: jobs run on a thread of their own, answers go back before the next run.
struct Worker {
    std::mutex mutex;
    std::deque<std::vector<char>> jobs, answers;
    static LV2_Worker_Status schedule(LV2_Worker_Schedule_Handle h, std::uint32_t size,
                                      const void* data) {
        auto* w = static_cast<Worker*>(h);
        std::lock_guard lock(w->mutex);
        const auto* bytes = static_cast<const char*>(data);
        w->jobs.emplace_back(bytes, bytes + size);
        return LV2_WORKER_SUCCESS;
    }
    static LV2_Worker_Status respond(LV2_Worker_Respond_Handle h, std::uint32_t size,
                                     const void* data) {
        auto* w = static_cast<Worker*>(h);
        std::lock_guard lock(w->mutex);
        const auto* bytes = static_cast<const char*>(data);
        w->answers.emplace_back(bytes, bytes + size);
        return LV2_WORKER_SUCCESS;
    }
    // Takes one item off a queue, if there is one.
    bool take(std::deque<std::vector<char>>& from, std::vector<char>& item) {
        std::lock_guard lock(mutex);
        if (from.empty()) return false;
        item = std::move(from.front());
        from.pop_front();
        return true;
    }
};

TEST(Torture, Lv2InstancesWithAWorkerThread) {
    const char* bundle = std::getenv("CORVELLA_LV2_BUNDLE");
    if (!bundle) GTEST_SKIP() << "no LV2 bundle in this build";
    platform::Library module;
    ASSERT_TRUE(module.open(std::string(bundle) + "/corvella.so")) << module.error();
    auto entry = reinterpret_cast<LV2_Descriptor_Function>(module.symbol("lv2_descriptor"));
    ASSERT_TRUE(entry);
    const LV2_Descriptor* d = entry(0);
    ASSERT_TRUE(d);
    const auto* worker =
        static_cast<const LV2_Worker_Interface*>(d->extension_data(LV2_WORKER__interface));
    ASSERT_TRUE(worker);

    struct Instance {
        lv2test::Host host;
        Worker work;
        LV2_Worker_Schedule schedule{&work, &Worker::schedule};
        LV2_Feature scheduleFeature{LV2_WORKER__schedule, &schedule};
        const LV2_Feature* features[3] = {&host.mapFeature, &scheduleFeature, nullptr};
        std::vector<float> controls = std::vector<float>(kParams);
        std::vector<std::uint64_t> in = std::vector<std::uint64_t>(1024),
                                   out = std::vector<std::uint64_t>(1024),
                                   notify = std::vector<std::uint64_t>(1024);
        LV2_Handle handle = nullptr;
        std::atomic<bool> done{false};
    };
    std::atomic<long> runs{0};
    // Two threads make, run and end instances at once; each instance's worker runs beside it
    // on a thread of its own.
    soak(2, [&](int, std::mt19937& rng) {
        auto x = std::make_unique<Instance>();
        x->handle = d->instantiate(d, 48000.0, bundle, x->features);
        ASSERT_TRUE(x->handle);
        for (std::uint32_t p = 0; p < kParams; ++p) d->connect_port(x->handle, p, &x->controls[p]);
        d->connect_port(x->handle, lv2ui::kMidiInPort, x->in.data());
        d->connect_port(x->handle, lv2ui::kMidiOutPort, x->out.data());
        d->connect_port(x->handle, lv2ui::kNotifyPort, x->notify.data());
        d->activate(x->handle);
        std::thread jobs([&] {
            std::vector<char> job;
            while (!x->done.load())
                if (x->work.take(x->work.jobs, job))
                    worker->work(x->handle, &Worker::respond, &x->work,
                                 static_cast<std::uint32_t>(job.size()), job.data());
                else
                    std::this_thread::yield();
        });
        for (int r = static_cast<int>(rng() % 50); r >= 0; --r) {
            for (auto& c : x->controls) c = std::uniform_real_distribution<float>(0, 1)(rng);
            LV2_Atom_Forge forge;
            lv2_atom_forge_init(&forge, &x->host.map);
            lv2_atom_forge_set_buffer(&forge, reinterpret_cast<std::uint8_t*>(x->in.data()),
                                      x->in.size() * 8);
            LV2_Atom_Forge_Frame seq;
            lv2_atom_forge_sequence_head(&forge, &seq, 0);
            for (int m = static_cast<int>(rng() % 6); m > 0; --m) {
                const std::uint32_t w = randomWord(rng);
                lv2_atom_forge_frame_time(&forge, static_cast<std::int64_t>(m));
                lv2_atom_forge_atom(&forge, 3, x->host.id(LV2_MIDI__MidiEvent));
                lv2_atom_forge_write(&forge, &w, 3);
            }
            lv2_atom_forge_pop(&forge, &seq);
            for (auto* port : {&x->out, &x->notify}) {
                auto* s = reinterpret_cast<LV2_Atom_Sequence*>(port->data());
                s->atom.type = x->host.id(LV2_ATOM__Chunk);
                s->atom.size = static_cast<std::uint32_t>(port->size() * 8 - sizeof(LV2_Atom));
            }
            std::vector<char> answer;
            while (x->work.take(x->work.answers, answer))
                worker->work_response(x->handle, static_cast<std::uint32_t>(answer.size()),
                                      answer.data());
            d->run(x->handle, 1 + rng() % 1024);
            ++runs;
        }
        x->done = true;
        jobs.join();
        if (d->deactivate) d->deactivate(x->handle);
        d->cleanup(x->handle);
    });
    EXPECT_GT(runs.load(), 0);
}
#endif

}  // namespace
