#include "vstbus/vstbus.h"

#include <cstdlib>

#include "platform/notice.h"
#include "platform/settings.h"

namespace vstbus {

namespace {

constexpr unsigned kLockTimeoutMs = 2000;

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

void TVstBus::attach(std::string_view scope) noexcept {
    platform::SharedMemoryError error = platform::SharedMemoryError::CreateFailed;
    std::string detail;
    try {
        platform::SharedBlockNames names{kBlockName, kLockName};
        if (!scope.empty()) {
            for (std::string* name : {&names.block, &names.lock}) {
                name->push_back('.');
                name->append(scope.data(), scope.size());
            }
        }
        block_ = platform::sharedMemory().open(names, kBlockSize, error, detail);
    } catch (...) {
        block_.reset();
    }
    if (!block_ || block_->size() < kBlockSize || !block_->data()) {
        block_.reset();
        std::string text = error == platform::SharedMemoryError::ViewFailed
                               ? "Unable to view memory map"
                               : "Unable to create memory map";
        try {
            if (!detail.empty()) text += ": " + detail;
        } catch (...) {
        }
        showError(text.c_str());
        return;
    }
    // Without the lock this object stays unattached (and lets the block go again).
    if (!lockBlock()) {
        block_.reset();
        return;
    }
    base_ = block_->data();
    if (field<std::uint32_t>(0, kBusCountOffset).fetch_add(1, std::memory_order_acq_rel) + 1 == 1)
        initialiseRecords();
    block_->unlock();
    openLabels();
}

TVstBus::~TVstBus() {
    if (base_ && lockBlock()) {
        // A block that others scribbled on may hold 0 here; never wrap it round.
        std::atomic_ref<std::uint32_t> count = field<std::uint32_t>(0, kBusCountOffset);
        std::uint32_t c = count.load(std::memory_order_acquire);
        while (c != 0 && !count.compare_exchange_weak(c, c - 1, std::memory_order_acq_rel)) {
        }
        block_->unlock();
    }
    base_ = nullptr;
    block_.reset();
}

bool TVstBus::lockBlock() noexcept {
    switch (block_->lock(kLockTimeoutMs)) {
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

void TVstBus::initialiseRecords() noexcept {
    for (int bus = 0; bus < kBusCount; ++bus) {
        field<std::int32_t>(bus, kWriteIndexOffset).store(0, std::memory_order_relaxed);
        field<std::uint32_t>(bus, kReservedOffset).store(0, std::memory_order_relaxed);
        field<std::uint16_t>(bus, kFlagsOffset).store(0, std::memory_order_relaxed);
        field<std::int32_t>(bus, kCapacityOffset)
            .store(kInitialCapacity, std::memory_order_release);
    }
}

// Creates the label key with every bus's number as its label when the key does not exist.
void TVstBus::openLabels() noexcept {
    try {
        platform::SettingsStore& settings = platform::userSettings();
        if (settings.openKey(kLabelKey, false)) {
            labelsOpen_ = true;
            return;
        }
        if (!settings.openKey(kLabelKey, true)) return;
        for (int bus = 0; bus < kBusCount; ++bus)
            settings.writeString(kLabelKey, std::to_string(bus), std::to_string(bus));
        labelsOpen_ = true;
    } catch (...) {
        labelsOpen_ = false;
    }
}

std::uint32_t TVstBus::participants() const noexcept {
    return base_ ? field<std::uint32_t>(0, kBusCountOffset).load(std::memory_order_acquire) : 0;
}

std::uint32_t TVstBus::liveParticipants() const noexcept {
    if (!base_) return 0;
    const int holders = block_->holders();
    return holders >= 0 ? static_cast<std::uint32_t>(holders) : participants();
}

bool TVstBus::write(int bus, std::uint32_t word) noexcept {
    if (!valid(bus)) return false;
    std::atomic_ref<std::int32_t> index = field<std::int32_t>(bus, kWriteIndexOffset);
    std::int32_t seen = index.load(std::memory_order_acquire);
    // The word goes to the slot the index names, then the index moves on, but only if nobody
    // moved it meanwhile (a reader that drained resets it to 0): otherwise the word goes to
    // the slot the index names now. A bus whose index reached its usable slots is full: the
    // words waiting there stay for the reader and this one is refused. A negative index (a
    // block somebody scribbled on) starts the bus again at slot 0.
    for (int round = 0; round < 16; ++round) {
        const std::int32_t at = std::max(seen, 0);
        if (at >= usableSlots(bus)) break;
        slot(bus, at).store(word, std::memory_order_relaxed);
        if (index.compare_exchange_strong(seen, at + 1, std::memory_order_release,
                                          std::memory_order_acquire))
            return true;
    }
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

std::uint32_t TVstBus::read(int bus, std::int32_t i) const noexcept {
    if (!valid(bus) || i < 0 || i >= usableSlots(bus)) return 0;
    return slot(bus, i).load(std::memory_order_acquire);
}

std::int32_t TVstBus::getWriteIndex(int bus) const noexcept {
    if (!valid(bus)) return -1;
    return field<std::int32_t>(bus, kWriteIndexOffset).load(std::memory_order_acquire);
}

bool TVstBus::setWriteIndex(int bus, std::int32_t value) noexcept {
    if (!valid(bus)) return false;
    field<std::int32_t>(bus, kWriteIndexOffset).store(value, std::memory_order_release);
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
    if (!valid(bus) || !labelsOpen_) return {};
    platform::SettingsStore& settings = platform::userSettings();
    const std::string name = std::to_string(bus);
    std::optional<std::string> label = settings.readString(kLabelKey, name);
    if (label && !label->empty()) return *label;
    settings.writeString(kLabelKey, name, name);
    return {};
}

void TVstBus::writeLabel(int bus, const std::string& text) {
    if (!valid(bus) || !labelsOpen_) return;
    platform::userSettings().writeString(kLabelKey, std::to_string(bus), text);
}

}  // namespace vstbus
