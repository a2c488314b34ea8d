// TVstBus: 64 numbered MIDI buses in one named shared block that plug-in instances, in one
// host process or in several, use to pass packed MIDI words to one another, plus a label per
// bus kept in the user's settings.
//
// The block is a wire format that every participant follows, so its layout is fixed to the
// byte: 64 records, one every 131,088 bytes, in a block of 8,389,504 bytes; each record holds
// busCount (record 0 only), a reserved word, writeIndex, capacity, busFlags and 32,767 data
// slots (the last record has room for 32,735 only). All integers are little-endian.
//
// Any number of participants may write to one bus and read from it at once, from threads and
// processes, without a lock. writeIndex holds the number of slots claimed since the bus was
// last drained (bits 0..15) and the drain's cycle (bits 16..30), which each drain that empties
// the bus moves on. A writer claims the next slot with a compare-and-swap on writeIndex while
// it is below the capacity, then fills the slot with a compare-and-swap from the value the
// slot had before the claim. A slot holds a packed MIDI word (bits 24..31 zero, never 0) or is
// empty: 0, or a mark in bits 24..31. The reader empties each claimed slot as it takes the word. A
// claimed slot still empty after a short spin makes the drain stop there, and the next drains go on
// from it; one that stays empty for kGiveUpAfter (its writer was held up that long, or died) is
// given up: its mark moves on, so a late writer's fill fails and that writer counts its word
// as dropped. So every word is taken once, in its writer's order, or its write answered false
// and counted it.
//
// Another process may write any bytes into the block at any time. Every access therefore goes
// through atomic references (the fast path takes no lock and is free of data races), and every
// read or write stays inside the record's own data area whatever writeIndex and capacity hold.
// When the block cannot be created or mapped, every operation does nothing and answers its
// failure value.
//
// A reader may sleep until its bus gets words (waitForWords). The block has no room for that,
// so a second, small block beside it (its name with ".wake") holds a wake word per bus: bit 0
// says readers sleep on it, the bits above count the wakes. A write loads the word once; only
// when bit 0 is set does it clear the bit and wake the sleepers, with one system call.
// Participants without the wake block still share the buses: their writes wake nobody, and
// the readers' timeouts cover them.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/sharedmemory.h"
#include "platform/wakeword.h"

namespace vstbus {

inline constexpr int kBusCount = 64;
inline constexpr std::size_t kBlockSize = 8'389'504;
inline constexpr std::size_t kRecordSize = 131'088;
inline constexpr std::size_t kBusCountOffset = 0;
inline constexpr std::size_t kReservedOffset = 4;
inline constexpr std::size_t kWriteIndexOffset = 8;
inline constexpr std::size_t kCapacityOffset = 12;
inline constexpr std::size_t kFlagsOffset = 16;
inline constexpr std::size_t kDataOffset = 20;
inline constexpr std::int32_t kMaxCapacity = 32'767;
inline constexpr std::int32_t kInitialCapacity = 512;
inline constexpr std::int32_t kSenderCapacity = 4096;
inline constexpr std::uint16_t kFlagSender = 0x0010;
inline constexpr std::uint16_t kFlagSoundStream = 0x0020;
// The drain answer for a bus that carries a sound stream.
inline constexpr int kSoundStream = -1;
// writeIndex: the claimed slots, and the drain's cycle above them.
inline constexpr std::uint32_t kClaimedMask = 0xFFFF;
inline constexpr int kCycleShift = 16;
inline constexpr std::uint32_t kCycleMask = 0x7FFF;
// The bits of a slot that hold a word; an empty slot's mark lies above them.
inline constexpr std::uint32_t kWordMask = 0x00FF'FFFF;
inline constexpr int kMarkShift = 24;
// How long a claimed slot may stay empty before the drains give it up.
inline constexpr std::chrono::milliseconds kGiveUpAfter{20};

// The wake block: a wake word per bus, each on a cache line of its own.
inline constexpr const char* kWakeSuffix = ".wake";
inline constexpr std::size_t kWakeStride = 64;
inline constexpr std::size_t kWakeBlockSize = kBusCount * kWakeStride;
inline constexpr std::uint32_t kWakeSleepers = 1;
inline constexpr std::uint32_t kWakeCount = 2;

inline constexpr const char* kBlockName = "vstbusbuffer";
inline constexpr const char* kLockName = "vstbus_mootex";
inline constexpr const char* kLabelKey = "Software\\VSTBUS";
inline constexpr const char* kNoticeCaption = "Vstbus";
// Names a private set of buses (tests, benchmarks): the block and lock names get ".SCOPE".
inline constexpr const char* kScopeVariable = "CORVELLA_VSTBUS_SCOPE";

static_assert(kRecordSize == kDataOffset + 4 * kMaxCapacity);
static_assert(kBlockSize == 64 * kRecordSize - 128);
static_assert(std::endian::native == std::endian::little, "the block is little-endian");
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free &&
                  std::atomic_ref<std::uint16_t>::is_always_lock_free,
              "the block is shared between processes; its atomics must not use locks");

// Data words bus `bus` has room for inside the block: 32,767, or 32,735 for the last bus.
constexpr std::int32_t recordRoom(int bus) noexcept {
    const std::size_t start = static_cast<std::size_t>(bus) * kRecordSize + kDataOffset;
    return static_cast<std::int32_t>(std::min<std::size_t>(kMaxCapacity, (kBlockSize - start) / 4));
}

// The mapping of a set of buses that every TVstBus of a process shares (the block, the wake
// block, whether labels are open), made with the first and dropped with the last.
struct TBusAttachment;

class TVstBus {
public:
    // Attaches to the user's block (named after CORVELLA_VSTBUS_SCOPE when that is set).
    // Construction and destruction take a lock of the process (the objects of a process share
    // their mapping) and the block's lock: any thread but the processing thread.
    TVstBus();
    // Attaches to the block of the given scope; an empty scope is the user's own block.
    explicit TVstBus(std::string_view scope);
    ~TVstBus();
    TVstBus(const TVstBus&) = delete;
    TVstBus& operator=(const TVstBus&) = delete;

    bool attached() const noexcept { return base_ != nullptr; }
    // True once another program cut the block short under this object (Linux): the object
    // goes on alone, on private memory, and reaches no other participant. Any thread.
    bool cutOff() const noexcept;
    static constexpr int busCount() noexcept { return kBusCount; }
    // Attached TVstBus objects of all processes together (busCount of record 0); 0 unattached.
    std::uint32_t participants() const noexcept;
    // Attached participants that still exist, where the system can tell (on Linux: one that
    // was killed is not counted); otherwise participants().
    std::uint32_t liveParticipants() const noexcept;

    // Appends a word: false for a bad bus number, an unattached object, a word that is 0 or has
    // any of bits 24..31, a full bus, a slot the reader gave up before this writer filled it, or
    // a claim lost to other writers and readers 1024 times in a row (so the call stays short).
    // A bus is full when its claimed slots fill its capacity; the words waiting stay. A refused
    // word on a valid bus is counted in dropped(). Lock-free. Any thread.
    bool write(int bus, std::uint32_t word) noexcept;
    // Words this object's write() refused on a valid bus: a full bus, a claimed slot given up by
    // a reader before this writer could fill it, or a claim lost too often. Any thread.
    std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }
    // Claimed slots this object's drains gave up after kGiveUpAfter (their writers were held up
    // that long, and count the word as dropped, or died). Any thread.
    std::uint64_t givenUp() const noexcept { return givenUp_.load(std::memory_order_relaxed); }
    // Sleeps until words wait on the bus (written, or being written), at most `timeout`;
    // answers whether words wait, at once when they already do. Without the wake block it
    // looks every millisecond. A reader's thread, never the processing thread.
    bool waitForWords(int bus, std::chrono::microseconds timeout) noexcept;
    // The word in slot i, or 0 for an empty slot, a bad bus number, a negative i or i not below
    // the bus's capacity.
    std::uint32_t read(int bus, std::int32_t i) const noexcept;
    // The claimed slots (words waiting or being written), or -1 for a bad bus number.
    std::int32_t getWriteIndex(int bus) const noexcept;
    // Sets the claimed slots to the low 16 bits of `value` and starts a new cycle: the words in
    // slots from there up to the claimed slots before are discarded, and writes under way are
    // refused and counted. For tools and tests.
    bool setWriteIndex(int bus, std::int32_t value) noexcept;
    bool testFlags(int bus, std::uint16_t mask) const noexcept;
    bool setFlags(int bus, std::uint16_t mask) noexcept;
    bool clearFlags(int bus, std::uint16_t mask) noexcept;
    // busFlags as stored; 0 for a bad bus number.
    std::uint16_t flags(int bus) const noexcept;
    // capacity as stored, or -1 for a bad bus number.
    std::int32_t capacity(int bus) const noexcept;
    // Accepts 0..32767; anything else answers false and changes nothing.
    bool setCapacity(int bus, std::int32_t n) noexcept;

    // Takes every waiting word of the bus, in order, and hands each to sink(word); answers how
    // many, or kSoundStream (reading nothing) when words wait on a bus that carries a sound
    // stream. A word written while the drain runs is either taken now or left for the next
    // drain, never lost or taken twice; with several readers on one bus each word goes to one
    // of them. A claimed slot not filled within a few hundred spins (in all, per drain) ends
    // the drain there; later drains go on from it, and give it up (givenUp()) once it stayed
    // empty for kGiveUpAfter. Lock-free and allocation-free, and it reads the clock only for a
    // slot still empty after the spin: this runs once per processing block. Any thread, one at
    // a time for a bus of this object (it keeps where its drains stopped).
    template <class Sink>
    int drain(int bus, Sink&& sink) noexcept;
    // drain() into `words`, at most `capacity` of them; answers how many, or -1 for a sound
    // stream. A plug-in's receive step.
    int take(int bus, std::uint32_t* words, int capacity) noexcept {
        int n = 0;
        const int taken = drain(bus, [&](std::uint32_t w) {
            if (n < capacity) words[n++] = w;
        });
        return taken == kSoundStream ? -1 : n;
    }
    // Marks the bus as one this participant writes to (the sender flag, and a sender's
    // capacity), or takes the flag off again.
    void markSender(int bus, bool sender) noexcept {
        if (sender) {
            setFlags(bus, kFlagSender);
            setCapacity(bus, kSenderCapacity);
        } else {
            clearFlags(bus, kFlagSender);
        }
    }

    // The bus's label. A missing or empty label is replaced by the bus number for next time
    // and reads as empty now; a bad bus number or an unattached object reads as empty.
    std::string readLabel(int bus);
    // Stores a label; nothing for a bad bus number or an unattached object.
    void writeLabel(int bus, const std::string& text);

private:
    void attach(std::string_view scope) noexcept;
    void initialiseRecords() noexcept;

    bool valid(int bus) const noexcept { return base_ && bus >= 0 && bus < kBusCount; }
    template <class T>
    std::atomic_ref<T> field(int bus, std::size_t offset) const noexcept {
        return std::atomic_ref<T>(
            *reinterpret_cast<T*>(base_ + static_cast<std::size_t>(bus) * kRecordSize + offset));
    }
    std::atomic_ref<std::uint32_t> index(int bus) const noexcept {
        return field<std::uint32_t>(bus, kWriteIndexOffset);
    }
    std::atomic_ref<std::uint32_t> slot(int bus, std::int32_t i) const noexcept {
        return field<std::uint32_t>(bus, kDataOffset + 4 * static_cast<std::size_t>(i));
    }
    // The slots a write may claim: capacity, bounded by the record's room.
    std::int32_t usableSlots(int bus) const noexcept {
        const std::int32_t c =
            field<std::int32_t>(bus, kCapacityOffset).load(std::memory_order_relaxed);
        return std::clamp(c, 0, recordRoom(bus));
    }
    static std::int32_t claimed(std::uint32_t index) noexcept {
        return static_cast<std::int32_t>(index & kClaimedMask);
    }
    // writeIndex with no slot claimed, in the cycle after this one.
    static std::uint32_t nextCycle(std::uint32_t index) noexcept {
        return (((index >> kCycleShift) + 1) & kCycleMask) << kCycleShift;
    }
    // How long a drain waits for claimed slots to be filled: at most kSlotSpins pauses for one
    // slot and kDrainSpins in all (a few microseconds; a writer fills its slot within
    // nanoseconds of claiming it unless it is held up).
    static constexpr int kSlotSpins = 128;
    static constexpr int kDrainSpins = 512;
    // What takeSlot answers for a slot still empty after the spin: no word has these bits.
    static constexpr std::uint32_t kUnfilled = 0xFFFF'FFFF;
    // Empties claimed slot i: answers its word, or kUnfilled when it stayed empty for the
    // spins the drain has left.
    std::uint32_t takeSlot(int bus, std::int32_t i, int& spins) noexcept;
    // Slot i of the cycle in `index` is claimed and still empty: answers kUnfilled while it is
    // young (the drain stops there), else gives it up and answers 0, or the word that came.
    std::uint32_t unfilled(int bus, std::uint32_t index, std::int32_t i) noexcept;
    // Where this object's drains stopped on each bus (a claimed slot still empty, or -1), and
    // the wait there: since when, and the slots claimed when it began.
    struct Stop {
        std::uint32_t cycle = 0;
        std::int32_t slot = -1;
        std::int32_t claimedThen = 0;
        std::chrono::steady_clock::time_point since{};
    };
    std::array<Stop, kBusCount> stops_{};

    std::uint32_t* wakeWord(int bus) const noexcept {
        return reinterpret_cast<std::uint32_t*>(wakeBase_ +
                                                static_cast<std::size_t>(bus) * kWakeStride);
    }
    // After a write: wakes the bus's sleeping readers, if any.
    void wakeReaders(int bus) noexcept {
        if (!wakeBase_) return;
        std::atomic_ref<std::uint32_t> w(*wakeWord(bus));
        std::uint32_t v = w.load(std::memory_order_seq_cst);
        if ((v & kWakeSleepers) != 0 &&
            w.compare_exchange_strong(v, (v + kWakeCount) & ~kWakeSleepers,
                                      std::memory_order_seq_cst, std::memory_order_relaxed))
            wake_->wake(bus, wakeWord(bus));
    }

    TBusAttachment* attachment_ = nullptr;
    // The attachment's, kept here for the write and drain paths.
    unsigned char* base_ = nullptr;
    platform::WakeWords* wake_ = nullptr;
    unsigned char* wakeBase_ = nullptr;
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> givenUp_{0};
};

template <class Sink>
int TVstBus::drain(int bus, Sink&& sink) noexcept {
    if (!valid(bus)) return 0;
    std::atomic_ref<std::uint32_t> at = index(bus);
    std::uint32_t seen = at.load(std::memory_order_acquire);
    if (claimed(seen) == 0) return 0;
    if (testFlags(bus, kFlagSoundStream)) return kSoundStream;
    int taken = 0;
    int spins = kDrainSpins;
    // The last drain of this object stopped at an empty slot of this cycle: on from there.
    Stop& stop = stops_[static_cast<std::size_t>(bus)];
    std::int32_t done = stop.slot >= 0 && stop.cycle == seen >> kCycleShift
                            ? std::min(stop.slot, claimed(seen))
                            : 0;
    // Each round takes the claimed slots up to the index last seen, then moves the cycle on
    // with no slot claimed, but only if nobody claimed one meanwhile; otherwise it takes the
    // newcomers too. Slots are read up to the record's room, not the capacity: a capacity
    // lowered while words wait leaves none behind. Only a block that others keep rewriting
    // holds the drain for more rounds than a bus has slots: then the cycle simply moves on.
    for (int round = 0; round <= kMaxCapacity; ++round) {
        const std::int32_t end = std::min(claimed(seen), recordRoom(bus));
        for (std::int32_t i = done; i < end; ++i) {
            std::uint32_t word = takeSlot(bus, i, spins);
            if (word == kUnfilled) [[unlikely]] {
                word = unfilled(bus, seen, i);
                if (word == kUnfilled) return taken;
            }
            if (word == 0) continue;
            sink(word);
            ++taken;
        }
        done = std::max(done, end);
        const std::uint32_t before = seen;
        if (at.compare_exchange_strong(seen, nextCycle(seen), std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
            stop.slot = -1;
            return taken;
        }
        // Another reader moved the cycle on (or the index was set): what is claimed now was
        // claimed since, from slot 0.
        if (((seen ^ before) >> kCycleShift) != 0 || claimed(seen) < done) done = 0;
    }
    at.store(nextCycle(seen), std::memory_order_release);
    stop.slot = -1;
    return taken;
}

}  // namespace vstbus
