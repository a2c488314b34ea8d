#include "midiio/midiio.h"

#include <chrono>
#include <thread>

#include "platform/notice.h"

namespace {
constexpr const char* kCaption = "MidiIO";
}

TMidiIO::TMidiIO() : backend_(platform::createMidiBackend()) {}

TMidiIO::~TMidiIO() {
    if (sysexThread_.joinable()) {
        stopSysex_.store(true);
        sysexWake_.release();
        sysexThread_.join();
    }
    std::lock_guard<std::mutex> lock(control_);
    closeOutput();
    closeInput();
}

void TMidiIO::enableSysex(SysexHandler handler, void* owner) {
    if (sysexHandler_) return;
    sysexHandler_ = handler;
    sysexOwner_ = owner;
    backend_->setLongMessages(true);
    sysexSends_ = std::make_unique<platform::MessageRing>(std::size_t{1} << 20);
    sysexBuffer_ = std::make_unique<std::uint8_t[]>(platform::kMaxMessage);
    ordered_ = std::make_unique<SendQueue>(std::size_t{1} << 14);
    if (!sendWake_) sysexThread_ = std::thread([this] { sysexLoop(); });
}

void TMidiIO::setSender(SendWake wake, void* owner) noexcept {
    sendWake_ = wake;
    sendOwner_ = owner;
}

void TMidiIO::wakeSender() noexcept {
    if (sendWake_) {
        sendWake_(sendOwner_);
    } else {
        sysexWake_.release();
    }
}

void TMidiIO::setInputHandler(InputHandler handler, void* owner) noexcept {
    handler_ = handler;
    owner_ = owner;
}

std::string TMidiIO::inputDeviceName(int number) {
    return backend_->inputName(number);
}

std::string TMidiIO::outputDeviceName(int number) {
    return backend_->outputName(number);
}

// --- Selecting and opening -------------------------------------------------------------------

void TMidiIO::selectInputDevice(int number) noexcept {
    selectDevice(false, number);
}

void TMidiIO::selectOutputDevice(int number) noexcept {
    selectDevice(true, number);
}

void TMidiIO::selectDevice(bool output, int number) noexcept {
    std::lock_guard<std::mutex> lock(control_);
    std::atomic<int>& device = output ? outputDevice_ : inputDevice_;
    if (number == device.load(std::memory_order_relaxed)) return;
    const int count = output ? backend_->outputCount() : backend_->inputCount();
    if (static_cast<unsigned>(number) > static_cast<unsigned>(count - 1)) return;
    const bool wasOpen = output ? outputOpen() : inputOpen();
    if (wasOpen) output ? closeOutput() : closeInput();
    device.store(number, std::memory_order_relaxed);
    if (wasOpen) output ? openOutput() : openInput();
}

void TMidiIO::setInputOpen(bool open) noexcept {
    std::lock_guard<std::mutex> lock(control_);
    if (open == inputOpen()) return;
    open ? openInput() : closeInput();
}

void TMidiIO::setOutputOpen(bool open) noexcept {
    std::lock_guard<std::mutex> lock(control_);
    if (open == outputOpen()) return;
    open ? openOutput() : closeOutput();
}

void TMidiIO::openInput() noexcept {
    if (inputOpen() || !handler_) return;
    delivering_.store(true);
    if (backend_->openInput(inputDevice(), &TMidiIO::inputCallback, this, error_)) {
        inputOpen_.store(true, std::memory_order_release);
        return;
    }
    delivering_.store(false);
    waitIdle(inputBusy_);
    showError(false);
}

void TMidiIO::closeInput() noexcept {
    if (!inputOpen()) return;
    inputOpen_.store(false, std::memory_order_release);
    delivering_.store(false);
    waitIdle(inputBusy_);
    backend_->closeInput();
}

void TMidiIO::openOutput() noexcept {
    if (outputOpen()) return;
    if (!sends_) {
        try {
            sends_ = std::make_unique<SendQueue>(1024);
        } catch (...) {
            platform::setMidiErrorText(error_, "Out of memory");
            showError(true);
            return;
        }
    }
    if (backend_->openOutput(outputDevice(), error_)) {
        outputOpen_.store(true);
    } else {
        showError(true);
    }
}

void TMidiIO::closeOutput() noexcept {
    if (!outputOpen()) return;
    outputOpen_.store(false);
    backend_->cancelLong();  // a SysEx still going out stops rather than hold the close up
    waitIdle(outputBusy_);
    // Words still waiting were meant for this device; they do not go to the next one.
    std::uint32_t word;
    while (sends_->pop(word)) {
    }
    backend_->closeOutput();
}

void TMidiIO::showError(bool output) noexcept {
    (output ? outputNotices_ : inputNotices_)
        .show(error_.data(), kCaption, platform::NoticeKind::Error);
}

void TMidiIO::waitIdle(const std::atomic<int>& busy) noexcept {
    while (busy.load() != 0) std::this_thread::yield();
}

// --- Input -----------------------------------------------------------------------------------

void TMidiIO::inputCallback(void* self, unsigned message, std::uintptr_t param1,
                            std::uintptr_t param2) noexcept {
    auto* io = static_cast<TMidiIO*>(self);
    if (io && message == platform::kMidiInLongData && io->sysexHandler_ && param1 != 0) {
        io->inputBusy_.fetch_add(1);
        if (io->delivering_.load())
            io->sysexHandler_(io->sysexOwner_, reinterpret_cast<const std::uint8_t*>(param1),
                              static_cast<std::size_t>(param2));
        io->inputBusy_.fetch_sub(1);
        return;
    }
    const auto word = static_cast<std::uint32_t>(param1);
    if (!io || message != platform::kMidiInData || word == 0) return;
    io->inputBusy_.fetch_add(1);
    if (io->delivering_.load()) io->handler_(io->owner_, word);
    io->inputBusy_.fetch_sub(1);
}

// --- Output ----------------------------------------------------------------------------------

// Senders may run on several threads at once (host processing, the input device's thread, the
// editor), but the backend takes one word at a time: each sender queues its word and then
// drains the queue unless another sender is draining already, which then sends it. The sender
// thread takes the same turn for what it sends.
//
// Order with SysEx: a sender counts its entry as waiting before it queues it, and the sender
// thread stops counting it only once it went out. So a word whose sender finds nothing waiting
// comes after everything that sender queued before; one that finds something waiting queues
// behind it.
void TMidiIO::sendShortMessage(std::uint32_t word) noexcept {
    // Closed: one load, nothing another thread has to see.
    if (word == 0 || !outputOpen_.load(std::memory_order_relaxed)) return;
    outputBusy_.fetch_add(1);
    if (outputOpen_.load()) {
        if (orderedWaiting_.load() != 0) {
            if (!queueOrdered(word)) dropped_.fetch_add(1, std::memory_order_relaxed);
        } else {
            if (!sends_->push(word)) dropped_.fetch_add(1, std::memory_order_relaxed);
            sendWake_ ? sendWake_(sendOwner_) : drainSends();
        }
    }
    outputBusy_.fetch_sub(1);
}

bool TMidiIO::queueOrdered(std::uint32_t entry) noexcept {
    orderedWaiting_.fetch_add(1);
    if (!ordered_->push(entry)) {
        orderedWaiting_.fetch_sub(1);
        return false;
    }
    wakeSender();
    return true;
}

void TMidiIO::drainSends() noexcept {
    for (;;) {
        if (draining_.exchange(true)) return;
        std::uint32_t word;
        while (sends_->pop(word)) backend_->sendShort(word);
        draining_.store(false);
        // A word queued while this thread held the flag is sent by this thread.
        if (!sends_->ready()) return;
    }
}

void TMidiIO::sendSysex(const std::uint8_t* data, std::size_t size) noexcept {
    if (!sysexSends_ || !data || size == 0 || !outputOpen_.load(std::memory_order_relaxed)) return;
    // One sender at a time fills the byte queue; a second one at the same moment drops its
    // message rather than wait.
    if (sysexPushing_.test_and_set(std::memory_order_acquire)) {
        sysexDropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // The place in the order first, so bytes never wait without one; a place whose bytes do
    // not fit is filled as skipped.
    orderedWaiting_.fetch_add(1);
    const std::size_t place = ordered_->claim();
    const bool queued = place != SendQueue::kFull && sysexSends_->push(data, size);
    if (place != SendQueue::kFull) {
        ordered_->fill(place, queued ? kSysexEntry : kSkippedEntry);
    } else {
        orderedWaiting_.fetch_sub(1);
    }
    sysexPushing_.clear(std::memory_order_release);
    if (!queued) sysexDropped_.fetch_add(1, std::memory_order_relaxed);
    if (place != SendQueue::kFull) wakeSender();
}

// The sender thread, without an owner's sender.
void TMidiIO::sysexLoop() noexcept {
    for (;;) {
        sysexWake_.acquire();
        sendOrderedEntries();
        if (stopSysex_.load()) return;
    }
}

// The ordered entries in turn, each to the device open when it leaves the queue, or nowhere
// when none is.
void TMidiIO::sendOrderedEntries() noexcept {
    if (!ordered_) return;
    std::uint32_t entry;
    while (ordered_->pop(entry)) {
        sendOrdered(entry);
        orderedWaiting_.fetch_sub(1);
    }
}

void TMidiIO::sendQueued() noexcept {
    sendOrderedEntries();
    outputBusy_.fetch_add(1);
    if (outputOpen_.load()) drainSends();
    outputBusy_.fetch_sub(1);
}

void TMidiIO::sendOrdered(std::uint32_t entry) noexcept {
    if (entry & kSkippedEntry) return;
    const std::size_t size = entry & kSysexEntry ? sysexSends_->pop(sysexBuffer_.get()) : 0;
    if ((entry & kSysexEntry) && size == 0) return;  // its bytes are queued before its entry
    outputBusy_.fetch_add(1);
    if (outputOpen_.load()) {
        // The senders' turn: a drainer holds it only while it sends the words it finds.
        while (draining_.exchange(true)) std::this_thread::yield();
        // Words queued to go out at once before this entry was queued go first.
        std::uint32_t word;
        while (sends_->pop(word)) backend_->sendShort(word);
        if (size == 0) {
            backend_->sendShort(entry);
        } else if (!backend_->sendLong(sysexBuffer_.get(), size)) {
            sysexDropped_.fetch_add(1, std::memory_order_relaxed);
        }
        draining_.store(false);
        // A word queued while this thread held the turn is sent now.
        if (sends_->ready()) drainSends();
    } else if (size != 0) {
        sysexDropped_.fetch_add(1, std::memory_order_relaxed);
    }
    outputBusy_.fetch_sub(1);
}

void TMidiIO::flushSysex() noexcept {
    while (orderedWaiting_.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// A bounded queue for many producers and one consumer at a time: each cell carries a sequence
// number that tells whose turn it is (free for the producer at position p when it equals p,
// filled for the consumer when it equals p + 1).
TMidiIO::SendQueue::SendQueue(std::size_t capacity)
    : mask_(capacity - 1), cells_(std::make_unique<Cell[]>(capacity)) {
    for (std::size_t i = 0; i < capacity; ++i)
        cells_[i].sequence.store(i, std::memory_order_relaxed);
}

bool TMidiIO::SendQueue::push(std::uint32_t word) noexcept {
    const std::size_t place = claim();
    if (place == kFull) return false;
    fill(place, word);
    return true;
}

std::size_t TMidiIO::SendQueue::claim() noexcept {
    std::size_t pos = tail_.load(std::memory_order_relaxed);
    for (;;) {
        Cell& cell = cells_[pos & mask_];
        const std::size_t sequence = cell.sequence.load(std::memory_order_acquire);
        const auto diff = static_cast<std::ptrdiff_t>(sequence - pos);
        if (diff == 0) {
            if (tail_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) return pos;
        } else if (diff < 0) {
            return kFull;
        } else {
            pos = tail_.load(std::memory_order_relaxed);
        }
    }
}

void TMidiIO::SendQueue::fill(std::size_t place, std::uint32_t word) noexcept {
    Cell& cell = cells_[place & mask_];
    cell.word = word;
    cell.sequence.store(place + 1);
}

bool TMidiIO::SendQueue::pop(std::uint32_t& word) noexcept {
    const std::size_t head = head_.load(std::memory_order_relaxed);
    Cell& cell = cells_[head & mask_];
    if (cell.sequence.load() != head + 1) return false;
    word = cell.word;
    cell.sequence.store(head + mask_ + 1, std::memory_order_release);
    head_.store(head + 1, std::memory_order_relaxed);
    return true;
}

bool TMidiIO::SendQueue::ready() const noexcept {
    const std::size_t head = head_.load();
    return cells_[head & mask_].sequence.load() == head + 1;
}
