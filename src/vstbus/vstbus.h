// TVstBus: 64 numbered MIDI buses in one named shared block that plug-in instances, in one
// host process or in several, use to pass packed MIDI words to one another, plus a label per
// bus kept in the user's settings.
//
// The block is a wire format that every participant follows, so its layout is fixed to the
// byte: 64 records, one every 131,088 bytes, in a block of 8,389,504 bytes; each record holds
// busCount (record 0 only), a reserved word, writeIndex, capacity, busFlags and 32,767 data
// slots (the last record has room for 32,735 only). All integers are little-endian.
//
// Another process may write any bytes into the block at any time. Every access therefore goes
// through atomic references (the fast path takes no lock and is free of data races), and every
// read or write stays inside the record's own data area whatever writeIndex and capacity hold.
// When the block cannot be created or mapped, every operation does nothing and answers its
// failure value.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/sharedmemory.h"

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

class TVstBus {
public:
    // Attaches to the user's block (named after CORVELLA_VSTBUS_SCOPE when that is set).
    TVstBus();
    // Attaches to the block of the given scope; an empty scope is the user's own block.
    explicit TVstBus(std::string_view scope);
    ~TVstBus();
    TVstBus(const TVstBus&) = delete;
    TVstBus& operator=(const TVstBus&) = delete;

    bool attached() const noexcept { return base_ != nullptr; }
    static constexpr int busCount() noexcept { return kBusCount; }
    // Attached TVstBus objects of all processes together (busCount of record 0); 0 unattached.
    std::uint32_t participants() const noexcept;
    // Attached participants that still exist, where the system can tell (on Linux: one that
    // was killed is not counted); otherwise participants().
    std::uint32_t liveParticipants() const noexcept;

    // Appends a word: false for a bad bus number, an unattached object or a full bus. A bus is
    // full when its waiting words fill its capacity; the words waiting stay and the refused
    // word is counted in dropped(). Any thread.
    bool write(int bus, std::uint32_t word) noexcept;
    // Words this object's write() refused on a valid bus (full, or lost to other writers
    // racing for the same slot). Any thread.
    std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }
    // Data word i; 0 for a bad bus number, a negative i or i not below the bus's capacity.
    std::uint32_t read(int bus, std::int32_t i) const noexcept;
    // writeIndex, or -1 for a bad bus number.
    std::int32_t getWriteIndex(int bus) const noexcept;
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
    // drain, never lost or taken twice. Lock-free and allocation-free: this runs once per
    // sample frame.
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
    bool lockBlock() noexcept;
    void initialiseRecords() noexcept;
    void openLabels() noexcept;

    bool valid(int bus) const noexcept { return base_ && bus >= 0 && bus < kBusCount; }
    template <class T>
    std::atomic_ref<T> field(int bus, std::size_t offset) const noexcept {
        return std::atomic_ref<T>(
            *reinterpret_cast<T*>(base_ + static_cast<std::size_t>(bus) * kRecordSize + offset));
    }
    std::atomic_ref<std::uint32_t> slot(int bus, std::int32_t i) const noexcept {
        return field<std::uint32_t>(bus, kDataOffset + 4 * static_cast<std::size_t>(i));
    }
    // The slots a write or read may use: capacity, bounded by the record's room.
    std::int32_t usableSlots(int bus) const noexcept {
        const std::int32_t c =
            field<std::int32_t>(bus, kCapacityOffset).load(std::memory_order_relaxed);
        return std::clamp(c, 0, recordRoom(bus));
    }

    std::unique_ptr<platform::SharedBlock> block_;
    unsigned char* base_ = nullptr;
    bool labelsOpen_ = false;
    std::atomic<std::uint64_t> dropped_{0};
};

template <class Sink>
int TVstBus::drain(int bus, Sink&& sink) noexcept {
    if (!valid(bus)) return 0;
    std::atomic_ref<std::int32_t> index = field<std::int32_t>(bus, kWriteIndexOffset);
    std::int32_t n = index.load(std::memory_order_acquire);
    if (n == 0) return 0;
    if (testFlags(bus, kFlagSoundStream)) return kSoundStream;
    int taken = 0;
    std::int32_t done = 0;
    // Each round takes the words up to the index last seen and then resets the index, but only
    // if no word came in meanwhile; otherwise it takes the newcomers too. Every round that fails
    // means a writer added a word; a full bus refuses more, so only a block that others keep
    // rewriting holds the drain for more rounds than the bus has slots: then the index is
    // simply reset.
    for (int round = 0; round <= kMaxCapacity; ++round) {
        const std::int32_t end = std::clamp(n, 0, usableSlots(bus));
        for (std::int32_t i = done; i < end; ++i) {
            sink(slot(bus, i).load(std::memory_order_relaxed));
            ++taken;
        }
        done = std::max(done, end);
        if (index.compare_exchange_strong(n, 0, std::memory_order_acq_rel,
                                          std::memory_order_acquire))
            return taken;
        // The index fell: another reader drained (or another participant reset it); what is
        // there now was written since, so read it from slot 0.
        if (n < done) done = 0;
    }
    index.store(0, std::memory_order_release);
    return taken;
}

}  // namespace vstbus
