#include "engine/loglines.h"

#include <algorithm>
#include <cstring>

void LogLines::append(const char* text, std::size_t length) noexcept {
    if (length > kLineLength) length = kLineLength;
    Guard g(*this);
    Slot& s = newSlot();
    if (length) std::memcpy(s.text.data(), text, length);
    s.length = length;
}

LogLines::Slot& LogLines::newSlot() noexcept {
    if (count_ == kCapacity) {
        first_ = first_ + 1 == kCapacity ? 0 : first_ + 1;
        --count_;
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
    std::size_t at = first_ + count_;
    if (at >= kCapacity) at -= kCapacity;
    ++count_;
    ++appended_;
    return slots_[at];
}

std::uint64_t LogLines::appended() const noexcept {
    Guard g(*this);
    return appended_;
}

long LogLines::copyLine(std::uint64_t& seq, char* out) const noexcept {
    Guard g(*this);
    const std::uint64_t oldest = appended_ - count_;
    if (seq < oldest) seq = oldest;
    if (seq >= appended_) return -1;
    const Slot& s = slots_[(first_ + static_cast<std::size_t>(seq - oldest)) % kCapacity];
    std::memcpy(out, s.text.data(), s.length);
    return static_cast<long>(s.length);
}

std::size_t LogLines::size() const noexcept {
    Guard g(*this);
    return count_;
}

std::string LogLines::line(std::size_t i) const {
    std::array<char, kLineLength> copy;
    std::size_t length = 0;
    {
        Guard g(*this);
        if (i >= count_) return {};
        const Slot& s = slots_[(first_ + i) % kCapacity];
        length = s.length;
        std::memcpy(copy.data(), s.text.data(), length);
    }
    return std::string(copy.data(), length);
}

std::vector<std::string> LogLines::lines(std::size_t from) const {
    std::vector<std::string> out;
    for (std::size_t i = from;; ++i) {
        // One line per lock, so a long copy never holds up the chain.
        std::array<char, kLineLength> copy;
        std::size_t length = 0;
        {
            Guard g(*this);
            if (i >= count_) break;
            const Slot& s = slots_[(first_ + i) % kCapacity];
            length = s.length;
            std::memcpy(copy.data(), s.text.data(), length);
        }
        out.emplace_back(copy.data(), length);
    }
    return out;
}

void LogLines::keepNewest(std::size_t keep) noexcept {
    Guard g(*this);
    if (count_ <= keep) return;
    const std::size_t drop = count_ - keep;
    first_ = (first_ + drop) % kCapacity;
    count_ = keep;
}

void LogLines::clear() noexcept {
    Guard g(*this);
    first_ = 0;
    count_ = 0;
}

void logOpenTransfer(LogLines& lines, LogView& view) {
    if (lines.size() > 300) lines.clear();
    view.replaceAll(lines.lines());
}

void logIdleTransfer(LogLines& lines, LogView* view, bool clearPending) {
    if (clearPending) return;
    if (view) {
        view->beginUpdate();
        if (view->lineCount() > 200) view->removeOldest(view->lineCount() - 199);
        const std::size_t shown = view->lineCount();
        if (shown < lines.size()) {
            for (const std::string& l : lines.lines(shown)) view->appendLine(l);
        }
    }
    if (lines.size() > 200) lines.keepNewest(199);
    if (view) view->endUpdate();
}
