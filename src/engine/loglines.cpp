#include "engine/loglines.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/logtext.h"

// The processing thread must never wait: every word it stores is a plain atomic store.
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

namespace {

// The head word: length, status, numerator, denominator, then the rate as a float's bits.
std::uint64_t packHead(std::size_t length, const LogLineInfo& info) noexcept {
    return static_cast<std::uint64_t>(length) | std::uint64_t{info.status} << 8 |
           std::uint64_t{info.numerator} << 16 | std::uint64_t{info.denominator} << 24 |
           std::uint64_t{std::bit_cast<std::uint32_t>(info.sampleRate)} << 32;
}

constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();

}  // namespace

LogLines::LogLines(bool withRing) {
    if (withRing) attach((own_ = makeRing()).get());
}

LogLines::~LogLines() = default;

std::unique_ptr<LogLines::Ring> LogLines::makeRing() {
    return std::make_unique<Ring>();
}

void LogLines::attach(Ring* ring) noexcept {
    const std::uint64_t appended = appended_.load(std::memory_order_relaxed);
    raiseFirst(appended);
    base_.store(appended, std::memory_order_relaxed);
    nextSlot_ = 0;
    ring_.store(ring, std::memory_order_release);
}

LogLines::Ring* LogLines::detach() noexcept {
    return ring_.exchange(nullptr, std::memory_order_acq_rel);
}

void LogLines::store(std::uint64_t seq, const char* text, std::size_t length,
                     const LogLineInfo& info, bool wholeWords, std::uint64_t message) noexcept {
    if (length > kLineLength) length = kLineLength;
    if (first_.load(std::memory_order_relaxed) >= seq) {
        // An empty ring starts again at its first slot, so a log cleared often keeps to the
        // same few slots.
        base_.store(seq, std::memory_order_relaxed);
        nextSlot_ = 0;
    } else if (seq - base_.load(std::memory_order_relaxed) >= kCapacity) {
        // The slot still holds line seq - kCapacity: it leaves the ring before it is overwritten,
        // so a reader that finds its copy spoilt finds a newer oldest line.
        const std::uint64_t gone = seq - kCapacity;
        if (raiseFirst(gone + 1) <= gone) dropped_.fetch_add(1, std::memory_order_relaxed);
    }
    Slot& s = ring_.load(std::memory_order_relaxed)->slots[nextSlot_];
    if (++nextSlot_ == kCapacity) nextSlot_ = 0;
    // The tag goes first; every store of the line is a release, so a reader that sees any of
    // them sees the cleared tag after it.
    s.tag.store(0, std::memory_order_relaxed);
    s.head.store(packHead(length, info), std::memory_order_release);
    s.clock.store(static_cast<std::uint64_t>(info.clock), std::memory_order_release);
    s.ppq.store(std::bit_cast<std::uint64_t>(info.hasPpq ? info.ppq : kUnknown),
                std::memory_order_release);
    s.barStart.store(std::bit_cast<std::uint64_t>(info.hasBar ? info.barStart : kUnknown),
                     std::memory_order_release);
    s.message.store(message, std::memory_order_release);
    if (message != 0) length = 0;
    std::size_t at = 0;
    for (; at + 8 <= length || (wholeWords && at < length); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, text + at, 8);
        s.text[at / 8].store(word, std::memory_order_release);
    }
    if (at < length) {
        std::uint64_t word = 0;
        std::memcpy(&word, text + at, length - at);
        s.text[at / 8].store(word, std::memory_order_release);
    }
    s.tag.store(seq + 1, std::memory_order_release);
}

std::uint64_t LogLines::raiseFirst(std::uint64_t to) noexcept {
    std::uint64_t first = first_.load(std::memory_order_relaxed);
    while (first < to && !first_.compare_exchange_weak(first, to, std::memory_order_acq_rel,
                                                       std::memory_order_relaxed)) {
    }
    return first;
}

std::uint64_t LogLines::oldestOf(std::uint64_t appended) const noexcept {
    const std::uint64_t first = first_.load(std::memory_order_acquire);
    const std::uint64_t bound = appended > kCapacity ? appended - kCapacity : 0;
    return std::min(std::max(first, bound), appended);
}

std::uint64_t LogLines::oldest() const noexcept {
    return oldestOf(appended());
}

long LogLines::copy(std::uint64_t& seq, char* out, LogLineInfo* info) const noexcept {
    std::uint64_t words[kTextWords];
    const std::lock_guard<std::mutex> lock(readers_);
    const Ring* ring = ring_.load(std::memory_order_acquire);
    for (;;) {
        const std::uint64_t appended = this->appended();
        const std::uint64_t oldest = oldestOf(appended);
        if (seq < oldest) seq = oldest;
        if (seq >= appended || !ring) return -1;
        // A line is in the slot of the base it was written with; a line from before a new
        // base is gone, and its slot's tag tells so.
        const Slot& s = ring->slots[static_cast<std::size_t>(
            (seq - base_.load(std::memory_order_relaxed)) % kCapacity)];
        if (s.tag.load(std::memory_order_acquire) != seq + 1) continue;  // overwritten
        const std::uint64_t head = s.head.load(std::memory_order_acquire);
        const std::uint64_t message = s.message.load(std::memory_order_acquire);
        std::size_t length = std::min<std::size_t>(head & 0xFF, kLineLength);
        for (std::size_t w = 0; w * 8 < length; ++w)
            words[w] = s.text[w].load(std::memory_order_acquire);
        LogLineInfo fields;
        if (info) {
            fields.clock = static_cast<std::int64_t>(s.clock.load(std::memory_order_acquire));
            fields.ppq = std::bit_cast<double>(s.ppq.load(std::memory_order_acquire));
            fields.barStart = std::bit_cast<double>(s.barStart.load(std::memory_order_acquire));
        }
        // The loads above are acquires: a store of a newer line seen by any of them means this
        // load sees its cleared tag.
        if (s.tag.load(std::memory_order_relaxed) != seq + 1) continue;  // overwritten meanwhile
        if (message & kMessageLine) {
            static_assert(kMaxLogLine <= kLineLength);
            length = writeLogLine(static_cast<MidiWord>(message & 0xFFFFFFFFu), out);
        } else {
            std::memcpy(out, words, length);
        }
        if (info) {
            fields.status = static_cast<std::uint8_t>(head >> 8);
            fields.numerator = static_cast<std::uint8_t>(head >> 16);
            fields.denominator = static_cast<std::uint8_t>(head >> 24);
            fields.sampleRate = std::bit_cast<float>(static_cast<std::uint32_t>(head >> 32));
            fields.hasPpq = !std::isnan(fields.ppq);
            fields.hasBar = !std::isnan(fields.barStart);
            if (!fields.hasPpq) fields.ppq = 0.0;
            if (!fields.hasBar) fields.barStart = 0.0;
            *info = fields;
        }
        return static_cast<long>(length);
    }
}

bool LogLines::read(std::uint64_t& seq, LogEntry& out) const {
    char text[kLineLength];
    const long n = copy(seq, text, &out.info);
    if (n < 0) return false;
    out.sequence = seq;
    out.text.assign(text, static_cast<std::size_t>(n));
    return true;
}

std::size_t LogLines::size() const noexcept {
    const std::uint64_t appended = this->appended();
    return static_cast<std::size_t>(appended - oldestOf(appended));
}

std::string LogLines::line(std::size_t i) const {
    char text[kLineLength];
    const std::uint64_t want = oldest() + i;
    std::uint64_t seq = want;
    const long n = copy(seq, text, nullptr);
    // A line that left meanwhile reads as gone rather than as another line.
    if (n < 0 || seq != want) return {};
    return std::string(text, static_cast<std::size_t>(n));
}

std::vector<std::string> LogLines::lines(std::size_t from) const {
    std::vector<std::string> out;
    char text[kLineLength];
    for (std::uint64_t seq = oldest() + from;; ++seq) {
        const long n = copy(seq, text, nullptr);
        if (n < 0) break;
        out.emplace_back(text, static_cast<std::size_t>(n));
    }
    return out;
}

void LogLines::keepNewest(std::size_t keep) noexcept {
    const std::uint64_t appended = this->appended();
    if (appended > keep) raiseFirst(appended - keep);
}

void LogLines::clear() noexcept {
    raiseFirst(appended());
}
