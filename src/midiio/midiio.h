// TMidiIO: one MIDI input and one MIDI output device per plug-in instance. Devices are
// selected by number and opened and closed on request; every short message the input device
// receives goes to the input handler on the driver's thread, and short messages go out to the
// output device. With SysEx enabled, whole system exclusive messages travel both ways too.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/messagering.h"
#include "platform/midi.h"
#include "platform/notice.h"
#include "platform/semaphore.h"

class TMidiIO {
public:
    // Called on the driver's thread with each received packed MIDI word (never 0).
    using InputHandler = void (*)(void* owner, std::uint32_t word) noexcept;
    // Called on the driver's thread with each received whole SysEx (F0 to F7); the bytes are
    // valid during the call only.
    using SysexHandler = void (*)(void* owner, const std::uint8_t* data, std::size_t size) noexcept;

    // The system's devices, or the backend a test installed (platform::ScopedMidiBackend).
    TMidiIO();
    ~TMidiIO();
    TMidiIO(const TMidiIO&) = delete;
    TMidiIO& operator=(const TMidiIO&) = delete;

    // Installed by the owner before the input is opened; the input stays closed without one.
    void setInputHandler(InputHandler handler, void* owner) noexcept;
    // Called, on the sending thread, when a send was queued for the owner's sender (any thread;
    // it must not wait).
    using SendWake = void (*)(void* owner) noexcept;
    // Hands every send to the owner's thread: sendShortMessage and sendSysex only queue and
    // call `wake`, and the owner then calls sendQueued() on one thread at a time. Called once,
    // by the owner, before enableSysex and before any device opens. Without it a short message
    // goes out on the thread that sends it, and SysEx on a sender thread of this object's own.
    void setSender(SendWake wake, void* owner) noexcept;
    // The owner's sender: sends everything queued, in order (one thread at a time).
    void sendQueued() noexcept;
    // Lets SysEx through both ways: received ones go to `handler` with `owner`, sent ones to
    // the sender. Called once, by the owner, before any device opens; without it SysEx is
    // ignored both ways.
    void enableSysex(SysexHandler handler, void* owner);

    // Device lists, for the editor.
    int inputDeviceCount() noexcept { return backend_->inputCount(); }
    int outputDeviceCount() noexcept { return backend_->outputCount(); }
    std::string inputDeviceName(int number);
    std::string outputDeviceName(int number);

    int inputDevice() const noexcept { return inputDevice_.load(std::memory_order_relaxed); }
    int outputDevice() const noexcept { return outputDevice_.load(std::memory_order_relaxed); }

    // Ignored when the number is the current one or not below the device count (compared
    // unsigned, so with no device any number is taken); an open device is closed and the new
    // one opened.
    void selectInputDevice(int number) noexcept;
    void selectOutputDevice(int number) noexcept;

    // Opens or closes; nothing when the request matches the state. A device that fails to
    // open shows the system's text in a notice ("MidiIO") and stays closed.
    void setInputOpen(bool open) noexcept;
    void setOutputOpen(bool open) noexcept;
    bool inputOpen() const noexcept { return inputOpen_.load(std::memory_order_acquire); }
    bool outputOpen() const noexcept { return outputOpen_.load(std::memory_order_acquire); }

    // Sends one packed word to the output device if it is open; drops it otherwise (then at
    // the cost of one load). With an owner's sender it is queued for that sender. Without one,
    // while a SysEx sent before it waits or goes out, it queues behind that SysEx for the
    // sender thread; otherwise it goes out at once. Callable from any thread at once:
    // lock-free, never waits.
    void sendShortMessage(std::uint32_t word) noexcept;
    // Words dropped because more were waiting than a send queue holds.
    std::uint64_t droppedSends() const noexcept { return dropped_.load(std::memory_order_relaxed); }
    // Queues a whole SysEx (F0 to F7) for the output device if it is open; drops it otherwise
    // or when the queue lacks room or another thread is queuing one at the same moment
    // (counted). Any thread; lock-free, never waits. The sender sends what is queued in
    // order, to the device open when each leaves the queue (nowhere when none is): a message
    // sent after a SysEx never reaches the device before it.
    void sendSysex(const std::uint8_t* data, std::size_t size) noexcept;
    std::uint64_t droppedSysex() const noexcept {
        return sysexDropped_.load(std::memory_order_relaxed);
    }
    // Waits until everything queued for the sender went to the backend (tests; any thread but
    // a sender).
    void flushSysex() noexcept;

    // The driver's input procedure: only data messages with a word that is not 0 reach the
    // handler; opening, closing, system exclusive buffers and errors are ignored.
    static void inputCallback(void* self, unsigned message, std::uintptr_t param1,
                              std::uintptr_t param2) noexcept;

private:
    // Words from any number of threads, sent by one at a time.
    class SendQueue {
    public:
        explicit SendQueue(std::size_t capacity);  // a power of two
        bool push(std::uint32_t word) noexcept;
        // A place in the order, filled later: answers kFull when there is none. The drainer
        // stops at a place not filled yet.
        static constexpr std::size_t kFull = ~std::size_t{0};
        std::size_t claim() noexcept;
        void fill(std::size_t place, std::uint32_t word) noexcept;
        // The single drainer only.
        bool pop(std::uint32_t& word) noexcept;
        bool ready() const noexcept;

    private:
        struct Cell {
            std::atomic<std::size_t> sequence;
            std::uint32_t word;
        };
        std::size_t mask_;
        std::unique_ptr<Cell[]> cells_;
        std::atomic<std::size_t> tail_{0}, head_{0};
    };

    // Entries of the ordered queue besides short words: the next SysEx of sysexSends_, or a
    // place whose SysEx did not fit there.
    static constexpr std::uint32_t kSysexEntry = 1u << 31, kSkippedEntry = 1u << 30;

    void selectDevice(bool output, int number) noexcept;
    void openInput() noexcept;
    void closeInput() noexcept;
    void openOutput() noexcept;
    void closeOutput() noexcept;
    void drainSends() noexcept;
    // Queues an entry behind the waiting ones for the sender thread; false when full.
    bool queueOrdered(std::uint32_t entry) noexcept;
    // The sender thread: one entry of the ordered queue to the device.
    void sendOrdered(std::uint32_t entry) noexcept;
    // A failed open's text, through that direction's limiter (the same text at most once a
    // second); under control_.
    void showError(bool output) noexcept;
    static void waitIdle(const std::atomic<int>& busy) noexcept;
    void sysexLoop() noexcept;
    // Tells the sender that something waits: the owner's, or the sender thread.
    void wakeSender() noexcept;
    // The ordered entries waiting, in turn (the sender).
    void sendOrderedEntries() noexcept;

    std::unique_ptr<platform::MidiBackend> backend_;
    std::atomic<int> inputDevice_{0}, outputDevice_{0};
    std::atomic<bool> outputOpen_{false}, inputOpen_{false};
    platform::MidiErrorText error_{};
    platform::NoticeLimiter inputNotices_, outputNotices_;
    InputHandler handler_ = nullptr;
    void* owner_ = nullptr;

    // Opening, closing and selecting come from the host's and the editor's threads; one at a
    // time. Neither the input callback nor sending ever takes this.
    std::mutex control_;
    // The input handler runs only while delivering is set; closing clears it and waits until
    // no call is in flight, so no handler call follows a close.
    std::atomic<bool> delivering_{false};
    std::atomic<int> inputBusy_{0};
    // The same for senders, and the send queue with its drainer flag.
    std::atomic<int> outputBusy_{0};
    std::atomic<bool> draining_{false};
    std::atomic<std::uint64_t> dropped_{0};
    // Made when the output first opens (under control_) and kept: whoever sees the output open
    // sees it.
    std::unique_ptr<SendQueue> sends_;
    // SysEx: the handler for received ones, and what the sender thread sends in order: the
    // ordered queue of entries (each SysEx's bytes wait in sysexSends_), and how many entries
    // are queued and not yet sent. While that count is not 0, short messages queue too.
    SendWake sendWake_ = nullptr;
    void* sendOwner_ = nullptr;
    SysexHandler sysexHandler_ = nullptr;
    void* sysexOwner_ = nullptr;
    std::unique_ptr<platform::MessageRing> sysexSends_;
    std::unique_ptr<std::uint8_t[]> sysexBuffer_;
    std::unique_ptr<SendQueue> ordered_;
    std::atomic<std::uint64_t> orderedWaiting_{0};
    std::atomic_flag sysexPushing_ = ATOMIC_FLAG_INIT;  // senders take turns, never wait
    std::atomic<std::uint64_t> sysexDropped_{0};
    std::atomic<bool> stopSysex_{false};
    platform::Semaphore sysexWake_;
    std::thread sysexThread_;
};
