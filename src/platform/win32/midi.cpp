// MIDI devices on Windows through winmm: device numbers are winmm's device identifiers, the
// input callback is winmm's callback function, errors are winmm's own texts.
#include <windows.h>
// After windows.h, which it builds on.
#include <mmsystem.h>

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
            r = midiInStart(handle);
            if (r == MMSYSERR_NOERROR) {
                in_ = handle;
                return true;
            }
            midiInClose(handle);
        }
        midiInGetErrorTextA(r, error.data(), static_cast<UINT>(error.size() - 1));
        return false;
    }

    void closeInput() noexcept override {
        if (!in_) return;
        midiInReset(in_);
        midiInClose(in_);
        in_ = nullptr;
    }

    // No callback for the output. A failed open leaves no handle, so nothing is closed then.
    bool openOutput(int number, MidiErrorText& error) noexcept override {
        HMIDIOUT handle = nullptr;
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

    // winmm's callback, on its own thread: every message goes on to the owner's procedure.
    static void CALLBACK inputProc(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                                   DWORD_PTR param2) {
        auto* b = reinterpret_cast<WinMidiBackend*>(instance);
        if (b && b->proc_) b->proc_(b->context_, message, param1, param2);
    }

    HMIDIIN in_ = nullptr;
    HMIDIOUT out_ = nullptr;
    MidiInputProc proc_ = nullptr;
    void* context_ = nullptr;
};

}  // namespace

std::unique_ptr<MidiBackend> createSystemMidiBackend() {
    return std::make_unique<WinMidiBackend>();
}

}  // namespace platform
