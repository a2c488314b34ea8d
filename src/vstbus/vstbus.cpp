#include "vstbus/vstbus.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/notice.h"
#include "platform/settings.h"

namespace vstbus {

namespace {

constexpr unsigned kLockTimeoutMs = 2000;
// How often a reader without the wake block looks at its bus.
constexpr std::chrono::microseconds kNoWakePause{1000};

void showError(const char* text) noexcept {
    platform::showNotice(text, kNoticeCaption, platform::NoticeKind::Error);
}

std::string scopeFromEnvironment() {
    const char* s = std::getenv(kScopeVariable);
    return s ? s : "";
}

}  // namespace

TVstBus::TVstBus() : TVstBus(scopeFromEnvironment()) {}

TVstBus::TVstBus(std::string_view scope) {
    attach(scope);
}

struct TBusAttachment {
    const platform::SharedMemoryService* service = nullptr;
    std::string name;
    std::unique_ptr<platform::SharedBlock> block;
    std::unique_ptr<platform::SharedBlock> wakeBlock;
    std::unique_ptr<platform::WakeWords> wake;
    bool labelsOpen = false;
    int users = 0;
    // The holders counted beside the mapping's own, one per user after the first.
    std::vector<int> holderTokens;
};

namespace {

using Attachment = TBusAttachment;

// The attachments of this process, one per block (and service, for tests that install one).
std::mutex attachMutex;
std::vector<std::unique_ptr<Attachment>> attachments;  // attachMutex

bool lockBlock(platform::SharedBlock& block) noexcept {
    switch (block.lock(kLockTimeoutMs)) {
        case platform::SharedLockResult::Locked:
        case platform::SharedLockResult::TimedOut:  // goes on as if it held the lock
            return true;
        case platform::SharedLockResult::CreateFailed:
            showError("Unable to create map mutex");
            return false;
        case platform::SharedLockResult::WaitFailed:
            showError("Unable to lock memory map");
            return false;
    }
    return false;
}

// Maps the block; null, with the failure shown, when it cannot be.
std::unique_ptr<Attachment> openBlock(const platform::SharedBlockNames& names) noexcept {
    platform::SharedMemoryError error = platform::SharedMemoryError::CreateFailed;
    std::string detail;
    std::unique_ptr<Attachment> a;
    try {
        a = std::make_unique<Attachment>();
        a->service = &platform::sharedMemory();
        a->name = names.block;
        a->block = platform::sharedMemory().open(names, kBlockSize, error, detail);
    } catch (...) {
        a.reset();
    }
    if (a && a->block && a->block->size() >= kBlockSize && a->block->data()) return a;
    std::string text = error == platform::SharedMemoryError::ViewFailed
                           ? "Unable to view memory map"
                           : "Unable to create memory map";
    try {
        if (!detail.empty()) text += ": " + detail;
    } catch (...) {
    }
    showError(text.c_str());
    return nullptr;
}

// Creates the label key with every bus's number as its label when the key does not exist.
bool openLabels() noexcept {
    try {
        platform::SettingsStore& settings = platform::userSettings();
        if (settings.openKey(kLabelKey, false)) return true;
        if (!settings.openKey(kLabelKey, true)) return false;
        for (int bus = 0; bus < kBusCount; ++bus)
            settings.writeString(kLabelKey, std::to_string(bus), std::to_string(bus));
        return true;
    } catch (...) {
        return false;
    }
}

// Without the wake block the buses work all the same; readers then look on a timer.
void openWake(Attachment& a, const platform::SharedBlockNames& names) noexcept {
    try {
        const platform::SharedBlockNames wakeNames{names.block + kWakeSuffix,
                                                   names.lock + kWakeSuffix};
        platform::SharedMemoryError error{};
        std::string detail;
        a.wakeBlock = platform::sharedMemory().open(wakeNames, kWakeBlockSize, error, detail);
        if (!a.wakeBlock || a.wakeBlock->size() < kWakeBlockSize || !a.wakeBlock->data()) {
            a.wakeBlock.reset();
            return;
        }
        a.wake = std::make_unique<platform::WakeWords>(wakeNames.block, kBusCount);
    } catch (...) {
        a.wake.reset();
        a.wakeBlock.reset();
    }
}

}  // namespace

void TVstBus::attach(std::string_view scope) noexcept {
    platform::SharedBlockNames names;
    try {
        names = {kBlockName, kLockName};
        if (!scope.empty()) {
            for (std::string* name : {&names.block, &names.lock}) {
                name->push_back('.');
                name->append(scope.data(), scope.size());
            }
        }
        std::lock_guard<std::mutex> guard(attachMutex);
        const platform::SharedMemoryService* service = &platform::sharedMemory();
        Attachment* a = nullptr;
        for (const auto& existing : attachments) {
            if (existing->service == service && existing->name == names.block) a = existing.get();
        }
        std::unique_ptr<Attachment> made;
        attachments.reserve(attachments.size() + 1);  // nothing throws once the count is taken
        if (!a) {
            made = openBlock(names);
            if (!made) return;
            a = made.get();
        }
        a->holderTokens.reserve(static_cast<std::size_t>(a->users));
        base_ = a->block->data();
        // While this process holds the block its count is above zero, so nobody initialises
        // the records and one more user needs no lock; a count found at zero (cleared by
        // another program) goes the locked way of a first user.
        std::atomic_ref<std::uint32_t> count = field<std::uint32_t>(0, kBusCountOffset);
        std::uint32_t c = made ? 0 : count.load(std::memory_order_relaxed);
        while (c != 0 && !count.compare_exchange_weak(c, c + 1, std::memory_order_acq_rel)) {
        }
        if (c == 0) {
            // Without the lock this object stays unattached (and a block it mapped goes again).
            if (!lockBlock(*a->block)) {
                base_ = nullptr;
                return;
            }
            if (count.fetch_add(1, std::memory_order_acq_rel) == 0) initialiseRecords();
            a->block->unlock();
        }
        if (made) {
            a->labelsOpen = openLabels();
            openWake(*a, names);
            attachments.push_back(std::move(made));
        } else {
            a->holderTokens.push_back(a->block->addHolder());
        }
        ++a->users;
        attachment_ = a;
        wake_ = a->wake.get();
        wakeBase_ = a->wakeBlock ? a->wakeBlock->data() : nullptr;
    } catch (...) {
        // Out of memory before anything was taken: the object stays unattached.
    }
}

TVstBus::~TVstBus() {
    if (!attachment_) return;
    std::lock_guard<std::mutex> guard(attachMutex);
    Attachment& a = *attachment_;
    // Only the process's last user takes the lock: the count cannot reach zero before it.
    const bool last = a.users == 1;
    if (!last || lockBlock(*a.block)) {
        // A block that others scribbled on may hold 0 here; never wrap it round.
        std::atomic_ref<std::uint32_t> count = field<std::uint32_t>(0, kBusCountOffset);
        std::uint32_t c = count.load(std::memory_order_acquire);
        while (c != 0 && !count.compare_exchange_weak(c, c - 1, std::memory_order_acq_rel)) {
        }
        if (last) a.block->unlock();
    }
    if (!a.holderTokens.empty()) {
        a.block->removeHolder(a.holderTokens.back());
        a.holderTokens.pop_back();
    }
    base_ = nullptr;
    wake_ = nullptr;
    wakeBase_ = nullptr;
    if (--a.users == 0) {
        attachments.erase(std::find_if(attachments.begin(), attachments.end(),
                                       [&](const auto& p) { return p.get() == &a; }));
    }
}

bool TVstBus::cutOff() const noexcept {
    return attachment_ && attachment_->block->cutOff();
}

void TVstBus::initialiseRecords() noexcept {
    for (int bus = 0; bus < kBusCount; ++bus) {
        index(bus).store(0, std::memory_order_relaxed);
        field<std::uint32_t>(bus, kReservedOffset).store(0, std::memory_order_relaxed);
        field<std::uint16_t>(bus, kFlagsOffset).store(0, std::memory_order_relaxed);
        field<std::int32_t>(bus, kCapacityOffset)
            .store(kInitialCapacity, std::memory_order_release);
    }
}

std::uint32_t TVstBus::participants() const noexcept {
    return base_ ? field<std::uint32_t>(0, kBusCountOffset).load(std::memory_order_acquire) : 0;
}

std::uint32_t TVstBus::liveParticipants() const noexcept {
    if (!base_) return 0;
    const int holders = attachment_->block->holders();
    return holders >= 0 ? static_cast<std::uint32_t>(holders) : participants();
}

namespace {

// A short pause inside a spin, easing the core for its sibling.
inline void spinPause() noexcept {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

bool TVstBus::write(int bus, std::uint32_t word) noexcept {
    if (!valid(bus) || word == 0 || (word & ~kWordMask) != 0) return false;
    std::atomic_ref<std::uint32_t> at = index(bus);
    // Few rounds fail: each failed claim means another writer claimed a slot, or a reader
    // moved the cycle on. The bound keeps a processing thread's write short whatever others do.
    for (int round = 0; round < 1024; ++round) {
        std::uint32_t seen = at.load(std::memory_order_acquire);
        const std::int32_t i = claimed(seen);
        if (i >= usableSlots(bus)) break;  // full
        // The slot before the claim: nobody else touches an unclaimed slot, so it is still
        // this value when the claim succeeds, and changes only when a reader passes it. (A
        // word found there is no message: whoever wrote the block before left it.)
        std::atomic_ref<std::uint32_t> s = slot(bus, i);
        std::uint32_t before = s.load(std::memory_order_acquire);
        // Sequentially consistent, like a sleeping reader's marking of the wake word and its
        // look at writeIndex after it: either the reader sees this claim, or wakeReaders sees
        // the mark.
        if (!at.compare_exchange_strong(seen, seen + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed))
            continue;
        if (!s.compare_exchange_strong(before, word, std::memory_order_acq_rel,
                                       std::memory_order_relaxed))
            break;  // the reader gave the slot up
        // Filled within the claim's cycle: the drain that ends it passes this slot and takes
        // the word. Once the cycle has moved on, a drain passed the slot: it took the word, or
        // it had given the slot up before this fill, which then found the slot's earlier value
        // again (the slot came round in later cycles). Unless a reader took the word, it is
        // withdrawn and counted.
        bool delivered = ((at.load(std::memory_order_acquire) ^ seen) >> kCycleShift) == 0;
        if (!delivered) {
            std::uint32_t mine = word;
            delivered = !s.compare_exchange_strong(mine, before, std::memory_order_acq_rel,
                                                   std::memory_order_relaxed);
        }
        if (!delivered) break;
        wakeReaders(bus);
        return true;
    }
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

std::uint32_t TVstBus::takeSlot(int bus, std::int32_t i, int& spins) noexcept {
    std::atomic_ref<std::uint32_t> s = slot(bus, i);
    std::uint32_t v = s.load(std::memory_order_acquire);
    for (int waited = 0;;) {
        if ((v & kWordMask) != 0) {
            if (s.compare_exchange_weak(v, 0, std::memory_order_acq_rel, std::memory_order_acquire))
                return v;
            continue;
        }
        if (waited == kSlotSpins || spins == 0) return kUnfilled;
        ++waited;
        --spins;
        spinPause();
        v = s.load(std::memory_order_acquire);
    }
}

std::uint32_t TVstBus::unfilled(int bus, std::uint32_t index, std::int32_t i) noexcept {
    Stop& stop = stops_[static_cast<std::size_t>(bus)];
    const auto now = std::chrono::steady_clock::now();
    const std::uint32_t cycle = index >> kCycleShift;
    // A wait starts at the first empty slot and covers every slot claimed by then: once it has
    // lasted kGiveUpAfter, all of them that are still empty are given up at once.
    if (stop.slot < 0 || stop.cycle != cycle || i >= stop.claimedThen) {
        stop = {cycle, i, claimed(index), now};
        return kUnfilled;
    }
    stop.slot = i;
    if (now - stop.since < kGiveUpAfter) return kUnfilled;
    stop.slot = i + 1;
    // Given up: the mark moves on, so the writer's fill from the value it saw before its claim
    // fails. A word that came meanwhile is taken after all.
    std::atomic_ref<std::uint32_t> s = slot(bus, i);
    std::uint32_t v = s.load(std::memory_order_acquire);
    for (;;) {
        const bool word = (v & kWordMask) != 0;
        const std::uint32_t next = word ? 0 : ((v >> kMarkShift) + 1) << kMarkShift;
        if (s.compare_exchange_weak(v, next, std::memory_order_acq_rel,
                                    std::memory_order_acquire)) {
            if (word) return v;
            givenUp_.fetch_add(1, std::memory_order_relaxed);
            return 0;
        }
    }
}

bool TVstBus::waitForWords(int bus, std::chrono::microseconds timeout) noexcept {
    using Clock = std::chrono::steady_clock;
    if (!valid(bus)) return false;
    const auto deadline = Clock::now() + timeout;
    std::atomic_ref<std::uint32_t> at = index(bus);
    for (;;) {
        if (claimed(at.load(std::memory_order_seq_cst)) != 0) return true;
        const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        if (!wake_) {
            std::this_thread::sleep_for(std::min<std::chrono::microseconds>(left, kNoWakePause));
            continue;
        }
        // Mark the word as slept on, then look again: a write that the look missed sees the
        // mark and wakes this sleep, or changed the word so that the sleep returns at once.
        std::atomic_ref<std::uint32_t> w(*wakeWord(bus));
        std::uint32_t v = w.load(std::memory_order_seq_cst);
        if ((v & kWakeSleepers) == 0) {
            if (!w.compare_exchange_strong(v, v | kWakeSleepers, std::memory_order_seq_cst))
                continue;
            v |= kWakeSleepers;
            wake_->beginSleep(bus);
        }
        if (claimed(at.load(std::memory_order_seq_cst)) != 0) return true;
        wake_->sleep(bus, wakeWord(bus), v, left);
    }
}

std::uint32_t TVstBus::read(int bus, std::int32_t i) const noexcept {
    if (!valid(bus) || i < 0 || i >= usableSlots(bus)) return 0;
    const std::uint32_t v = slot(bus, i).load(std::memory_order_acquire);
    return (v & kWordMask) != 0 ? v : 0;
}

std::int32_t TVstBus::getWriteIndex(int bus) const noexcept {
    if (!valid(bus)) return -1;
    return claimed(index(bus).load(std::memory_order_acquire));
}

bool TVstBus::setWriteIndex(int bus, std::int32_t value) noexcept {
    if (!valid(bus)) return false;
    std::atomic_ref<std::uint32_t> at = index(bus);
    std::uint32_t seen = at.load(std::memory_order_acquire);
    std::uint32_t next = 0;
    do {
        next = nextCycle(seen) | (static_cast<std::uint32_t>(value) & kClaimedMask);
    } while (!at.compare_exchange_weak(seen, next, std::memory_order_acq_rel,
                                       std::memory_order_acquire));
    const std::int32_t end = std::min(claimed(seen), recordRoom(bus));
    for (std::int32_t i = claimed(next); i < end; ++i) {
        std::atomic_ref<std::uint32_t> s = slot(bus, i);
        std::uint32_t v = s.load(std::memory_order_relaxed);
        while ((v & kWordMask) != 0 && !s.compare_exchange_weak(v, 0, std::memory_order_acq_rel,
                                                                std::memory_order_relaxed)) {
        }
    }
    return true;
}

bool TVstBus::testFlags(int bus, std::uint16_t mask) const noexcept {
    return valid(bus) && (flags(bus) & mask) != 0;
}

bool TVstBus::setFlags(int bus, std::uint16_t mask) noexcept {
    if (!valid(bus)) return false;
    field<std::uint16_t>(bus, kFlagsOffset).fetch_or(mask, std::memory_order_acq_rel);
    return true;
}

bool TVstBus::clearFlags(int bus, std::uint16_t mask) noexcept {
    if (!valid(bus)) return false;
    field<std::uint16_t>(bus, kFlagsOffset)
        .fetch_and(static_cast<std::uint16_t>(~mask), std::memory_order_acq_rel);
    return true;
}

std::uint16_t TVstBus::flags(int bus) const noexcept {
    if (!valid(bus)) return 0;
    return field<std::uint16_t>(bus, kFlagsOffset).load(std::memory_order_acquire);
}

std::int32_t TVstBus::capacity(int bus) const noexcept {
    if (!valid(bus)) return -1;
    return field<std::int32_t>(bus, kCapacityOffset).load(std::memory_order_acquire);
}

bool TVstBus::setCapacity(int bus, std::int32_t n) noexcept {
    if (!valid(bus) || n < 0 || n > kMaxCapacity) return false;
    field<std::int32_t>(bus, kCapacityOffset).store(n, std::memory_order_release);
    return true;
}

std::string TVstBus::readLabel(int bus) {
    if (!valid(bus) || !attachment_->labelsOpen) return {};
    platform::SettingsStore& settings = platform::userSettings();
    const std::string name = std::to_string(bus);
    std::optional<std::string> label = settings.readString(kLabelKey, name);
    if (label && !label->empty()) return *label;
    settings.writeString(kLabelKey, name, name);
    return {};
}

void TVstBus::writeLabel(int bus, const std::string& text) {
    if (!valid(bus) || !attachment_->labelsOpen) return;
    platform::userSettings().writeString(kLabelKey, std::to_string(bus), text);
}

}  // namespace vstbus
