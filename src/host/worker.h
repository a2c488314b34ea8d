// The process's worker: one thread shared by every instance of every front end in the process,
// for the work that may wait (opening and closing devices, sending to them, saving files,
// showing notices, preparing memory). It starts with the first user and ends with the last.
//
// Work is asked for by setting bits on a Client, which the worker later hands to the client's
// function all at once. Asking never allocates, locks or waits, so the processing thread may
// ask; a client asked many times before the worker comes round runs once with every bit.
#pragma once

#include <atomic>
#include <cstdint>

namespace host {

class Worker {
public:
    class Client;
    // Runs on the worker with the bits asked for since the client's last run (never 0).
    using Run = void (*)(Client& client, std::uint32_t bits) noexcept;

    // One per instance, asked for work only while a Use is held. Before it is destroyed its
    // owner stops asking and calls settle(); a client whose run may not end in time (a save
    // given up at close) is abandoned instead, and the worker releases it.
    class Client {
    public:
        Client(Run run, void* owner) noexcept : run_(run), owner_(owner) {}
        Client(const Client&) = delete;
        Client& operator=(const Client&) = delete;
        void* owner() const noexcept { return owner_; }

    private:
        friend class Worker;
        Run run_;
        void* owner_;
        void (*release_)(Client&) noexcept = nullptr;  // set by abandon()
        std::atomic<std::uint32_t> pending_{0};
        Client* next_ = nullptr;                // in the list of clients asked for
        std::atomic<std::uint64_t> asked_{0};   // times it entered that list
        std::atomic<std::uint64_t> served_{0};  // runs ended (worker)
    };

    // Holds the process's worker while alive: the first Use starts its thread, the last one
    // ends it (creating and closing threads; never the processing thread or the worker).
    class Use {
    public:
        Use();
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
    };

    // Asks the worker to run `client` with `bits` added (any thread; lock-free, never waits,
    // never allocates; wakes the worker once per run of the client at most).
    static void post(Client& client, std::uint32_t bits) noexcept;
    // Waits until every run asked for before this call has ended (any thread but the worker
    // and the processing thread).
    static void settle(Client& client) noexcept;
    // Whether every run asked for so far has ended (any thread).
    static bool idle(const Client& client) noexcept;
    // The client's run may not end in time (any thread but the worker and the processing
    // thread; its owner asks for nothing more): once that run has ended the worker calls
    // `release` with it, instead of running it again, and never touches it afterwards. Until
    // then the last Use leaves the worker to end alone rather than wait for it.
    static void abandon(Client& client, void (*release)(Client&) noexcept) noexcept;
    // Worker threads alive in the process: 0 or 1 (tests; any thread).
    static int threads() noexcept;

    // The running worker (worker.cpp).
    struct State;

private:
    static Client* takeAsked(State& state) noexcept;
    static void serve(State& state) noexcept;
};

}  // namespace host
