// What every thread hands the processing thread, without a lock there: the newest value of
// each parameter, the number of its last change (one count for all changes) and a mark that it
// changed; the MIDI input device's words and SysEx, and the knobs' messages, in bounded queues,
// each with the change count of its time. At the start of a call the processing thread takes
// it all in order (drain): every queued word and knob message runs after the changes numbered
// before it and before the later ones, so the value set last is the value that applies and no
// number of changes overflows anything. (A parameter changed both before and after a queued
// word within one call shows the word its value from the call before.)
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/midiword.h"
#include "engine/parameters.h"
#include "engine/wordqueue.h"
#include "platform/messagering.h"

// What the processing thread does with what it takes (drain), in order.
class IntakeSink {
public:
    // One changed parameter's newest value, or parameters 31 and 32 as their match state.
    virtual void decode(int index, float value) noexcept = 0;
    virtual void decodeMatchState(std::uint32_t state) noexcept = 0;
    // The values decoded since the last settle now apply.
    virtual void settle() noexcept = 0;
    // A device word, a device SysEx (bytes valid during the call), a knob's message
    // (`afterMissed`: the knob's change before it never ran).
    virtual void word(MidiWord word) noexcept = 0;
    virtual void sysex(const std::uint8_t* data, std::size_t size) noexcept = 0;
    virtual void knob(MidiWord word, bool afterMissed) noexcept = 0;

protected:
    ~IntakeSink() = default;
};

class ChangeIntake {
public:
    static constexpr int kKnobs = 6;
    // Device words kept until the device's queue is made (the rest are counted).
    static constexpr std::size_t kSmallWords = 64;
    // Knob changes kept until the knobs' queue is made.
    static constexpr std::size_t kSmallKnobs = 32;
    static constexpr bool isKnob(int index) noexcept {
        return index >= param::KnobValue1 && index < param::KnobValue1 + kKnobs;
    }

    // Every parameter at its default; `matchState` is theirs (Replacer::matchState).
    explicit ChangeIntake(std::uint32_t matchState);
    ChangeIntake(const ChangeIntake&) = delete;
    ChangeIntake& operator=(const ChangeIntake&) = delete;
    ~ChangeIntake();
    // Sizes the device's SysEx queue; on the constructing thread, before any processing call.
    void enableSysex(std::size_t bytes);

    // --- Any thread ---

    // A parameter's new value (already clamped; the index in range), the processing thread's
    // included. Lock-free and allocation-free. False when it changed nothing, so there is
    // nothing for the processing thread to do.
    bool set(int index, float value) noexcept;
    float value(int index) const noexcept {
        return values_[static_cast<std::size_t>(index)].load(std::memory_order_relaxed);
    }
    // Something waits for the next processing call (which then drains).
    void markPending() noexcept { pending_.store(true, std::memory_order_release); }
    // True the first time a knob is set to a new value while its queue is not made: the
    // caller then has prepare make it. Until it comes, a small queue keeps the first changes
    // (a resume's replay of the knobs fits); each knob's newest change leaves in its place
    // even when that one is full, and what it refused is counted as dropped.
    bool knobQueueWanted(int index, float value) noexcept {
        return isKnob(index) && !knobs_.load(std::memory_order_relaxed) &&
               this->value(index) != value &&
               !knobsWanted_.exchange(true, std::memory_order_relaxed);
    }
    // Words and knob changes that never ran: refused by a full queue, or passed over for a
    // newer change of the knob (and not run from it after all).
    std::size_t dropped() const noexcept;

    // --- The thread that prepares storage ---

    // Makes the device's word queue while the input device is wanted (`wanted`) and hands it
    // to the producers and the processing thread; once it is not wanted and the processing
    // thread has taken every word, the producers go back to the small queue, and the queue is
    // released when the processing thread has let it go. True when the processing thread must
    // look (mark pending). May wait for the device's threads. Also makes the knobs' queue
    // once a knob has moved (kept until the intake goes).
    bool prepare(bool wanted);

    // --- The MIDI input device's threads (any but the processing thread) ---

    // Into the device's queue, or the small one until that is made; counted when full.
    void deviceInput(MidiWord word) noexcept;
    // A whole SysEx, copied; false when the queue has no room (nothing kept).
    bool deviceSysex(const std::uint8_t* data, std::size_t size) noexcept;

    // --- Processing thread ---

    // Whether anything was handed over since the last take: one load.
    bool pending() const noexcept { return pending_.load(std::memory_order_relaxed); }
    // Clears the mark before looking, so whatever arrives from now on is seen next time.
    void takePending() noexcept { pending_.exchange(false, std::memory_order_acq_rel); }
    // The parameters marked since the last drain, then the device's words and the knobs'
    // messages in the order of their numbers, each after the changes numbered before it; then
    // the rest of the changes.
    void drain(IntakeSink& sink) noexcept;
    // At the end of a call: whether the device's queue needs the preparing thread (the input is
    // off and the queue drained, or the processing thread let a queue go).
    bool storageWanted() noexcept;

private:
    struct QueuedWord {
        MidiWord word;
        std::uint32_t number;
    };
    // Each change of a knob also takes the next number of that knob's own count; the queue
    // holds both numbers and the word (with the knob in bits 24..26), and knobNewest_ the
    // newest change of each knob (its count << 32 | word), so a message the full queue refused
    // still runs when it is the knob's last.
    struct KnobChange {
        std::uint32_t number;
        std::uint32_t count;
        MidiWord word;
    };
    struct Marked {
        std::uint32_t number;
        int index;
    };

    // Knob `knob`'s message for its new value, change number `number` (any thread).
    void queueKnob(int knob, float value, std::uint32_t number) noexcept;
    bool foldMatch(int index, float value) noexcept;
    // Processing thread, within drain.
    void takeMarks() noexcept;
    void decodeBefore(IntakeSink& sink, std::uint32_t number, bool all = false) noexcept;
    void runWord(IntakeSink& sink, const QueuedWord& w) noexcept;
    // Runs a knob's change unless a later one of that knob already ran; false when passed over.
    bool runKnob(IntakeSink& sink, std::size_t knob, std::uint32_t count, MidiWord word) noexcept;

    // Set by every thread that hands something over: a call with nothing pending costs one
    // load.
    std::atomic<bool> pending_{true};
    // Parameters 31 and 32 are also folded into matchState_ in the order they are set.
    std::atomic<std::uint32_t> changeCount_{0};
    std::array<std::atomic<float>, kNumParams> values_{};
    std::array<std::atomic<std::uint32_t>, kNumParams> changedAt_{};
    std::array<std::atomic<std::uint32_t>, (kNumParams + 31) / 32> changed_{};
    std::atomic<std::uint32_t> matchState_{0};

    using DeviceWords = WordQueue<4096, QueuedWord>;

    // Processing thread: takes the queue the producers now use once the one it has is empty.
    void followDeviceWords() noexcept;
    bool popWord(QueuedWord& w) noexcept {
        // Words in the small queue came before any in the device's queue (the producers move
        // back to the small queue only once the device's queue is drained).
        return smallWords_.pop(w) || (deviceWords_ && deviceWords_->pop(w));
    }

    // The device's words (the producer side under producerMutex_, with the SysEx queue): the
    // queue made on demand (owned by the preparing thread, under producerMutex_), the one the
    // producers push into (changed under producerMutex_), the processing thread's and its
    // mirror for the preparing thread, and a small queue every intake holds.
    std::mutex producerMutex_;
    std::unique_ptr<DeviceWords> madeWords_;
    std::atomic<DeviceWords*> producerWords_{nullptr};
    DeviceWords* deviceWords_ = nullptr;
    std::atomic<DeviceWords*> consumerWords_{nullptr};
    bool letGo_ = false;  // the processing thread let a queue go (processing thread)
    WordQueue<kSmallWords, QueuedWord> smallWords_;
    std::atomic<std::size_t> wordDrops_{0};  // words neither queue had room for
    std::unique_ptr<platform::MessageRing> sysexIn_;
    std::unique_ptr<std::uint8_t[]> sysexScratch_;  // the processing thread's copy of one

    using KnobQueue = SharedQueue<1024, KnobChange>;
    std::unique_ptr<KnobQueue> madeKnobs_;  // under producerMutex_
    std::atomic<KnobQueue*> knobs_{nullptr};
    std::atomic<bool> knobsWanted_{false};
    SharedQueue<kSmallKnobs, KnobChange> smallKnobs_;  // until knobs_ is made
    std::array<std::atomic<std::uint32_t>, kKnobs> knobCount_{};
    std::array<std::atomic<std::uint64_t>, kKnobs> knobNewest_{};
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

    // Processing side: the changes taken at the start of this call, by number (those before
    // markedNext_ decoded); the count of each knob's last change whose message ran (or was
    // passed over for a later one), and the changes whose messages were passed over or ran
    // from knobNewest_.
    std::array<Marked, kNumParams> marked_{};
    std::size_t markedCount_ = 0;
    std::size_t markedNext_ = 0;
    std::array<std::uint32_t, kKnobs> knobRan_{};
    std::atomic<std::size_t> knobsPassed_{0};
    std::atomic<std::size_t> knobsFromNewest_{0};
};

// Inline: a host may set a parameter once per block from the processing thread. A value set
// again unchanged is not marked and keeps the number of its change, so that a host replaying every
// value (at a resume, say) does not move earlier changes behind the words queued after them; a
// knob's value and "log?" switched on act each time (a message; a restart of the clock).
inline bool ChangeIntake::set(int index, float value) noexcept {
    const auto i = static_cast<std::size_t>(index);
    // A value found already set is left alone: no write, and nothing to mark.
    bool changed = values_[i].load(std::memory_order_relaxed) != value &&
                   values_[i].exchange(value, std::memory_order_relaxed) != value;
    if (index == param::ReplaceMatchChannel || index == param::ReplaceMatchStatus)
        changed = foldMatch(index, value);
    const bool knob = isKnob(index);
    if (!changed && !knob && !(index == param::Log && switchOn(index, value))) return false;
    const std::uint32_t number = changeCount_.fetch_add(1, std::memory_order_relaxed);
    changedAt_[i].store(number, std::memory_order_relaxed);
    if (knob) queueKnob(index - param::KnobValue1, value, number);
    // Published with the value: the processing thread that sees the mark sees this value or a
    // newer one.
    changed_[i / 32].fetch_or(1u << (i % 32), std::memory_order_release);
    markPending();
    return true;
}
