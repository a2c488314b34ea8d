#include "host/worker.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "platform/library.h"
#include "platform/semaphore.h"

namespace host {

// The running worker. When it is left to end alone, whichever of the thread and its last Use
// lets go of it second frees it.
struct Worker::State {
    platform::Semaphore wake;
    std::atomic<Worker::Client*> asked{nullptr};
    std::atomic<bool> stop{false};
    std::atomic<bool> letGo{false};
    std::thread thread;
};

namespace {
std::mutex usersMutex;  // creating and closing threads
int users = 0;
std::atomic<int> abandoned{0};  // abandoned clients not released yet
constexpr std::uint32_t kReleaseBit = 1u << 31;
std::atomic<Worker::State*> current{nullptr};  // read by post() on any thread
std::atomic<int> threadsAlive{0};

}  // namespace

// Clients asked for since the last round, oldest first.
Worker::Client* Worker::takeAsked(State& s) noexcept {
    Worker::Client* list = s.asked.exchange(nullptr, std::memory_order_acquire);
    Worker::Client* ordered = nullptr;
    while (list) {
        Worker::Client* next = list->next_;
        list->next_ = ordered;
        ordered = list;
        list = next;
    }
    return ordered;
}

// The worker's loop: every wake-up serves every client asked for, each with all its bits.
void Worker::serve(State& s) noexcept {
    for (;;) {
        s.wake.acquire();
        for (Worker::Client* c = takeAsked(s); c;) {
            Worker::Client* next = c->next_;
            // Bits asked from here on enter the list again, for the next round.
            const std::uint32_t bits = c->pending_.exchange(0, std::memory_order_acq_rel);
            if (bits & kReleaseBit) {
                c->release_(*c);
                abandoned.fetch_sub(1);
            } else {
                if (bits) c->run_(*c, bits);
                c->served_.fetch_add(1, std::memory_order_release);
            }
            c = next;
        }
        if (s.stop.load() && !s.asked.load()) break;
    }
    threadsAlive.fetch_sub(1);
    if (s.letGo.exchange(true)) delete &s;
}

void Worker::post(Client& client, std::uint32_t bits) noexcept {
    if (bits == 0 || client.pending_.fetch_or(bits, std::memory_order_acq_rel) != 0) return;
    // The first bits since the client's last run: it joins the list.
    State* s = current.load(std::memory_order_acquire);
    if (!s) return;
    client.asked_.fetch_add(1, std::memory_order_relaxed);
    Client* head = s->asked.load(std::memory_order_relaxed);
    do client.next_ = head;
    while (!s->asked.compare_exchange_weak(head, &client, std::memory_order_release,
                                           std::memory_order_relaxed));
    s->wake.release();
}

void Worker::settle(Client& client) noexcept {
    const std::uint64_t target = client.asked_.load(std::memory_order_relaxed);
    while (client.served_.load(std::memory_order_acquire) < target)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

bool Worker::idle(const Client& client) noexcept {
    return client.served_.load(std::memory_order_acquire) >=
           client.asked_.load(std::memory_order_acquire);
}

void Worker::abandon(Client& client, void (*release)(Client&) noexcept) noexcept {
    client.release_ = release;
    abandoned.fetch_add(1);
    post(client, kReleaseBit);
}

int Worker::threads() noexcept {
    return threadsAlive.load();
}

Worker::Use::Use() {
    std::lock_guard<std::mutex> lock(usersMutex);
    if (users++ > 0) return;
    auto* s = new State;
    // Counted from its start, so threads() knows of it before it first runs.
    threadsAlive.fetch_add(1);
    try {
        s->thread = std::thread([s] { serve(*s); });
    } catch (...) {
        threadsAlive.fetch_sub(1);
        delete s;
        --users;
        throw;
    }
    current.store(s, std::memory_order_release);
}

Worker::Use::~Use() {
    std::lock_guard<std::mutex> lock(usersMutex);
    if (--users > 0) return;
    State* s = current.exchange(nullptr, std::memory_order_acq_rel);
    s->stop.store(true);
    s->wake.release();
    if (abandoned.load() == 0) {
        s->thread.join();
        delete s;
        return;
    }
    // A run that may never end holds the worker: it ends alone, in this module's code.
    platform::keepModuleLoaded();
    s->thread.detach();
    if (s->letGo.exchange(true)) delete s;
}

}  // namespace host
