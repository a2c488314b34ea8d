// Memory made on demand for the processing thread and handed both ways without a lock: the
// thread that prepares storage (one at a time; it may allocate and wait) makes it, the
// processing thread takes it at the start of a call, uses it, and hands it back once its
// feature is off and drained; the preparing thread then releases it.
#pragma once

#include <atomic>

template <class T>
class Handover {
public:
    Handover() = default;
    Handover(const Handover&) = delete;
    Handover& operator=(const Handover&) = delete;
    ~Handover() {
        delete inUse_;
        delete made_.load();
        delete spent_.load();
    }

    // Preparing thread: releases what was handed back (after `beforeRelease`), then makes the
    // memory when `wanted` and none is made or in use, or takes back one not taken yet when not
    // wanted. True when it made one. The processing thread sets held_ before it takes the made
    // memory, so looking at made_ first and held_ after never misses a taking.
    template <class BeforeRelease>
    bool prepare(bool wanted, BeforeRelease&& beforeRelease) {
        if (T* spent = spent_.exchange(nullptr)) {
            beforeRelease();
            delete spent;
        }
        if (!wanted) {
            delete made_.exchange(nullptr);
            return false;
        }
        if (made_.load() || held_.load()) return false;
        made_.store(new T());
        return true;
    }
    bool prepare(bool wanted) {
        return prepare(wanted, [] {});
    }

    // --- Processing thread ---

    // The memory in use, or null.
    T* get() const noexcept { return inUse_; }
    // Whether made memory waits to be taken.
    bool waiting() const noexcept { return made_.load(std::memory_order_relaxed) != nullptr; }
    // Takes the made memory when none is in use: answers it (then also get()), or null.
    T* take() noexcept {
        if (inUse_ || !waiting()) return nullptr;
        held_.store(true);
        inUse_ = made_.exchange(nullptr);
        if (!inUse_) held_.store(false);
        return inUse_;
    }
    // Whether the memory in use can go back now (the last one handed back is released).
    bool canHandBack() const noexcept { return inUse_ && !spent_.load(std::memory_order_relaxed); }
    // Hands the memory in use back for release (canHandBack() first).
    void handBack() noexcept {
        spent_.store(inUse_);
        inUse_ = nullptr;
        held_.store(false);
    }

private:
    T* inUse_ = nullptr;  // the processing thread's
    std::atomic<T*> made_{nullptr};
    std::atomic<T*> spent_{nullptr};
    std::atomic<bool> held_{false};
};
