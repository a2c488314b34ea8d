// MIDI devices on Windows through winmm: device numbers are winmm's device identifiers, the
// input callback is winmm's callback function, errors are winmm's own texts. System exclusive
// messages travel in prepared long-message buffers of 64 KB: the input keeps several queued
// and joins a message that spans buffers; the output sends one and waits until it is done.
#include <windows.h>
// After windows.h, which it builds on.
#include <mmsystem.h>

#include <array>
#include <atomic>
#include <memory>

#include "platform/messagering.h"
#include "platform/midi.h"

namespace platform {

namespace {

class WinMidiBackend final : public MidiBackend {
public:
    ~WinMidiBackend() override {
        closeInput();
        closeOutput();
    }

    int inputCount() noexcept override { return static_cast<int>(midiInGetNumDevs()); }
    int outputCount() noexcept override { return static_cast<int>(midiOutGetNumDevs()); }

    std::string inputName(int number) override {
        return deviceName<MIDIINCAPSA>(number, midiInGetNumDevs(), midiInGetDevCapsA);
    }

    std::string outputName(int number) override {
        return deviceName<MIDIOUTCAPSA>(number, midiOutGetNumDevs(), midiOutGetDevCapsA);
    }

    bool openInput(int number, MidiInputProc proc, void* context,
                   MidiErrorText& error) noexcept override {
        proc_ = proc;
        context_ = context;
        HMIDIIN handle = nullptr;
        MMRESULT r = midiInOpen(&handle, static_cast<UINT>(number),
                                reinterpret_cast<DWORD_PTR>(&WinMidiBackend::inputProc),
                                reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION);
        if (r == MMSYSERR_NOERROR) {
            r = addInputBuffers(handle);
            if (r == MMSYSERR_NOERROR) r = midiInStart(handle);
            if (r == MMSYSERR_NOERROR) {
                in_ = handle;
                return true;
            }
            releaseInputBuffers(handle);
            midiInClose(handle);
        }
        midiInGetErrorTextA(r, error.data(), static_cast<UINT>(error.size() - 1));
        return false;
    }

    void closeInput() noexcept override {
        if (!in_) return;
        closing_ = true;
        midiInReset(in_);  // hands every queued buffer back, marked done
        releaseInputBuffers(in_);
        midiInClose(in_);
        in_ = nullptr;
        closing_ = false;
    }

    void setLongMessages(bool on) noexcept override { long_ = on; }
    void cancelLong() noexcept override { cancel_.store(true); }

    // Sends the message from a prepared header and waits until the driver is done with it:
    // at the cable's 3,125 bytes a second, with room to spare; past that it is taken back.
    bool sendLong(const std::uint8_t* data, std::size_t size) noexcept override {
        if (!out_ || size == 0 || size > 0xFFFFFFFFu) return false;
        MIDIHDR header{};
        header.lpData = const_cast<LPSTR>(reinterpret_cast<LPCSTR>(data));
        header.dwBufferLength = static_cast<DWORD>(size);
        if (midiOutPrepareHeader(out_, &header, sizeof header) != MMSYSERR_NOERROR) return false;
        bool sent = midiOutLongMsg(out_, &header, sizeof header) == MMSYSERR_NOERROR;
        if (sent) {
            const DWORD limit = static_cast<DWORD>(2000 + size / 3);  // milliseconds
            const DWORD start = GetTickCount();
            while (!(header.dwFlags & MHDR_DONE)) {
                if (GetTickCount() - start > limit || cancel_.load()) {
                    midiOutReset(out_);
                    sent = false;
                    break;
                }
                Sleep(1);
            }
        }
        while (midiOutUnprepareHeader(out_, &header, sizeof header) == MIDIERR_STILLPLAYING)
            Sleep(1);
        return sent;
    }

    // No callback for the output. A failed open leaves no handle, so nothing is closed then.
    bool openOutput(int number, MidiErrorText& error) noexcept override {
        HMIDIOUT handle = nullptr;
        cancel_.store(false);
        const MMRESULT r = midiOutOpen(&handle, static_cast<UINT>(number), 0, 0, CALLBACK_NULL);
        if (r == MMSYSERR_NOERROR) {
            out_ = handle;
            return true;
        }
        midiOutGetErrorTextA(r, error.data(), static_cast<UINT>(error.size() - 1));
        return false;
    }

    void closeOutput() noexcept override {
        if (!out_) return;
        midiOutClose(out_);
        out_ = nullptr;
    }

    void sendShort(std::uint32_t word) noexcept override {
        if (out_) midiOutShortMsg(out_, word);
    }

private:
    // The szPname field of the device's capabilities; empty when there is no such device.
    template <typename Caps, typename Query>
    static std::string deviceName(int number, UINT count, Query query) {
        Caps caps{};
        if (static_cast<UINT>(number) >= count ||
            query(static_cast<UINT>(number), &caps, sizeof caps) != MMSYSERR_NOERROR)
            return {};
        return std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
    }

    static constexpr std::size_t kBuffers = 4;
    static constexpr std::size_t kBufferBytes = 64 * 1024;

    // Prepares and queues the long-message buffers (when SysEx is wanted), before the start.
    MMRESULT addInputBuffers(HMIDIIN handle) noexcept {
        if (!long_) return MMSYSERR_NOERROR;
        try {
            if (!buffers_) {
                buffers_ = std::make_unique<std::uint8_t[]>(kBuffers * kBufferBytes);
                joined_ = std::make_unique<std::uint8_t[]>(kMaxMessage);
            }
        } catch (...) {
            return MMSYSERR_NOMEM;
        }
        joinedSize_ = 0;
        for (std::size_t i = 0; i < kBuffers; ++i) {
            MIDIHDR& h = headers_[i];
            h = MIDIHDR{};
            h.lpData = reinterpret_cast<LPSTR>(buffers_.get() + i * kBufferBytes);
            h.dwBufferLength = static_cast<DWORD>(kBufferBytes);
            MMRESULT r = midiInPrepareHeader(handle, &h, sizeof h);
            if (r == MMSYSERR_NOERROR) r = midiInAddBuffer(handle, &h, sizeof h);
            if (r != MMSYSERR_NOERROR) return r;
        }
        return MMSYSERR_NOERROR;
    }

    void releaseInputBuffers(HMIDIIN handle) noexcept {
        if (!buffers_) return;
        for (MIDIHDR& h : headers_)
            if (h.dwFlags & MHDR_PREPARED) midiInUnprepareHeader(handle, &h, sizeof h);
    }

    // A filled buffer: its bytes join the message under way; a message whole at its F7 goes to
    // the owner's procedure; the buffer goes back to the driver unless the input is closing.
    // A message longer than kMaxMessage is dropped whole.
    void longData(HMIDIIN handle, MIDIHDR* h) noexcept {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(h->lpData);
        for (DWORD i = 0; i < h->dwBytesRecorded; ++i) {
            const std::uint8_t b = bytes[i];
            if (b == 0xF0) {
                joinedSize_ = 0;
                overlong_ = false;
            }
            if (joinedSize_ < kMaxMessage && (joinedSize_ > 0 || b == 0xF0))
                joined_[joinedSize_++] = b;
            else if (joinedSize_ == kMaxMessage)
                overlong_ = true;
            if (b == 0xF7 && joinedSize_ > 0) {
                if (!overlong_ && proc_)
                    proc_(context_, kMidiInLongData,
                          reinterpret_cast<std::uintptr_t>(joined_.get()), joinedSize_);
                joinedSize_ = 0;
                overlong_ = false;
            }
        }
        if (!closing_) midiInAddBuffer(handle, h, sizeof *h);
    }

    // winmm's callback, on its own thread: every message goes on to the owner's procedure,
    // long-message buffers as whole SysEx.
    static void CALLBACK inputProc(HMIDIIN handle, UINT message, DWORD_PTR instance,
                                   DWORD_PTR param1, DWORD_PTR param2) {
        auto* b = reinterpret_cast<WinMidiBackend*>(instance);
        if (!b) return;
        if (message == MIM_LONGDATA) {
            if (param1) b->longData(handle, reinterpret_cast<MIDIHDR*>(param1));
            return;
        }
        if (b->proc_) b->proc_(b->context_, message, param1, param2);
    }

    HMIDIIN in_ = nullptr;
    HMIDIOUT out_ = nullptr;
    MidiInputProc proc_ = nullptr;
    void* context_ = nullptr;
    bool long_ = false;
    std::atomic<bool> closing_{false};
    std::atomic<bool> cancel_{false};
    std::array<MIDIHDR, kBuffers> headers_{};
    std::unique_ptr<std::uint8_t[]> buffers_;
    std::unique_ptr<std::uint8_t[]> joined_;  // the SysEx under way
    std::size_t joinedSize_ = 0;
    bool overlong_ = false;
};

}  // namespace

std::unique_ptr<MidiBackend> createSystemMidiBackend() {
    return std::make_unique<WinMidiBackend>();
}

}  // namespace platform
