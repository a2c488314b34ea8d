// The newest value of a settings block, handed from the threads that set parameters (one at a
// time) to the processing thread without a lock: three copies, one the writer fills, one the
// reader reads, and one in between that they swap with a single atomic exchange each.
#pragma once

#include <atomic>

template <class T>
class Latest {
public:
    // Writer side (one thread at a time): fill back(), then publish().
    T& back() noexcept { return slots_[back_]; }
    void publish() noexcept {
        back_ = middle_.exchange(back_ | kFresh, std::memory_order_acq_rel) & kIndex;
    }
    // Reader side (the processing thread): true, with front() the newest, when a value was
    // published since the last call. A plain load when nothing changed.
    bool update() noexcept {
        if (!(middle_.load(std::memory_order_relaxed) & kFresh)) return false;
        front_ = middle_.exchange(front_, std::memory_order_acq_rel) & kIndex;
        return true;
    }
    const T& front() const noexcept { return slots_[front_]; }

private:
    static constexpr unsigned kIndex = 3, kFresh = 4;
    T slots_[3]{};
    unsigned back_ = 0;
    unsigned front_ = 1;
    std::atomic<unsigned> middle_{2};
};
