// MIDI devices on Linux through RtMidi: the ALSA sequencer where it exists, otherwise JACK.
// Devices are the other programs' and the hardware's ports in RtMidi's list order; the ports
// of this plug-in's own clients are left out. RtMidi reports problems by exceptions and by an
// error callback; both are caught here, none leaves this file. JACK's and ALSA's own messages
// are silenced: a device problem reaches the user only as the notice its open reports.
#include <RtMidi.h>
#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/midi.h"

namespace platform {

namespace {

constexpr std::string_view kClientName = "Corvella";

// Our clients are named "Corvella"; JACK calls further ones "Corvella-01" and so on. Port
// names start with the client's name and a colon on both ALSA and JACK.
bool isOwnPort(std::string_view name) noexcept {
    if (!name.starts_with(kClientName)) return false;
    name.remove_prefix(kClientName.size());
    if (name.starts_with('-')) {
        name.remove_prefix(1);
        std::size_t digits = 0;
        while (digits < name.size() && std::isdigit(static_cast<unsigned char>(name[digits])))
            ++digits;
        if (digits == 0) return false;
        name.remove_prefix(digits);
    }
    return name.starts_with(':');
}

void jackSilent(const char*) {}
void alsaSilent(const char*, int, const char*, int, const char*, ...) {}

// Replaces JACK's and ALSA's printing to standard error, for the whole process, once: done
// only when a device is first asked for, so a process that never uses one keeps its own.
void silenceLibraries() noexcept {
    static std::once_flag once;
    std::call_once(once, [] {
        jack_set_error_function(&jackSilent);
        jack_set_info_function(&jackSilent);
        snd_lib_error_set_handler(&alsaSilent);
    });
}

// RtMidi makes its JACK client without complaint when no server runs, so ask first: a client
// of our own that may not start a server.
bool jackServerRuns() noexcept {
    jack_status_t status{};
    jack_client_t* probe = jack_client_open("Corvella-probe", JackNoStartServer, &status);
    if (!probe) return false;
    jack_client_close(probe);
    return true;
}

// RtMidi prints to standard error when the sequencer cannot be opened, so ask first.
bool alsaSequencerAnswers() noexcept {
    snd_seq_t* probe = nullptr;
    if (snd_seq_open(&probe, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) return false;
    snd_seq_close(probe);
    return true;
}

class RtMidiBackend final : public MidiBackend {
public:
    ~RtMidiBackend() override {
        closeInput();
        closeOutput();
        try {
            in_.reset();
            out_.reset();
        } catch (...) {
        }
    }

    int inputCount() noexcept override { return count(false); }
    int outputCount() noexcept override { return count(true); }
    std::string inputName(int number) override { return name(false, number); }
    std::string outputName(int number) override { return name(true, number); }

    bool openInput(int number, MidiInputProc proc, void* context,
                   MidiErrorText& error) noexcept override {
        proc_.store(proc, std::memory_order_relaxed);
        context_.store(context, std::memory_order_release);
        return open(false, number, "MIDI in", error);
    }

    void closeInput() noexcept override {
        try {
            if (in_ && in_->isPortOpen()) in_->closePort();
        } catch (...) {
        }
    }

    bool openOutput(int number, MidiErrorText& error) noexcept override {
        cancel_.store(false);
        return open(true, number, "MIDI out", error);
    }

    void closeOutput() noexcept override {
        try {
            if (out_ && out_->isPortOpen()) out_->closePort();
        } catch (...) {
        }
    }

    void sendShort(std::uint32_t word) noexcept override {
        const unsigned char bytes[3] = {static_cast<unsigned char>(word & 0xFF),
                                        static_cast<unsigned char>((word >> 8) & 0xFF),
                                        static_cast<unsigned char>((word >> 16) & 0xFF)};
        const int length = shortMessageLength(bytes[0]);
        if (length == 0 || !out_) return;
        try {
            out_->sendMessage(bytes, static_cast<std::size_t>(length));
        } catch (...) {
        }
    }

    // On ALSA the whole message goes at once (the sequencer divides it itself). RtMidi's JACK
    // output holds 16 KB at a time, empties once per period into a port buffer that drops what
    // does not fit, and a busy machine may skip periods: there the message goes in small
    // pieces, each one JACK event (the first with F0, the last with F7), paced so that little
    // is ever on its way; a piece the full output refuses is offered again until it fits.
    void cancelLong() noexcept override { cancel_.store(true); }

    void setLongMessages(bool on) noexcept override {
        long_ = on;
        try {
            if (in_) in_->ignoreTypes(!on, false, false);
        } catch (...) {
        }
    }

    bool sendLong(const std::uint8_t* data, std::size_t size) noexcept override {
        if (!out_ || size == 0) return false;
        const std::size_t piece = api_ == RtMidi::UNIX_JACK ? kJackPiece : size;
        int retries = 0;
        try {
            for (std::size_t at = 0; at < size;) {
                const std::size_t n = std::min(piece, size - at);
                outCapture_.refused.store(false);
                out_->sendMessage(data + at, n);
                if (!outCapture_.refused.load()) {
                    at += n;
                    retries = 0;
                    if (api_ == RtMidi::UNIX_JACK && at < size)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                if (api_ != RtMidi::UNIX_JACK || cancel_.load()) return false;
                // The JACK output empties once per period: give it time, but not forever.
                if (++retries > kMaxRetries) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        } catch (...) {
            return false;
        }
        return true;
    }

private:
    static constexpr std::size_t kJackPiece = 512;
    bool long_ = false;
    std::atomic<bool> cancel_{false};
    static constexpr int kMaxRetries = 2000;  // about two seconds without progress

    // The client of one direction, made on first use: ALSA if the sequencer answers, else
    // JACK (RtMidi throws when ALSA is missing, so each is asked for by name).
    RtMidi* client(bool output) noexcept {
        RtMidi* have = output ? static_cast<RtMidi*>(out_.get()) : in_.get();
        if (have) return have;
        silenceLibraries();
        for (RtMidi::Api api : {RtMidi::LINUX_ALSA, RtMidi::UNIX_JACK}) {
            if (api_ != RtMidi::UNSPECIFIED && api != api_) continue;
            if (api == RtMidi::LINUX_ALSA && !alsaSequencerAnswers()) continue;
            if (api == RtMidi::UNIX_JACK && !jackServerRuns()) continue;
            try {
                const std::string name(kClientName);
                if (output) {
                    auto out = std::make_unique<RtMidiOut>(api, name);
                    out->setErrorCallback(&RtMidiBackend::onError, &outCapture_);
                    out_ = std::move(out);
                } else {
                    auto in = std::make_unique<RtMidiIn>(api, name);
                    in->setErrorCallback(&RtMidiBackend::onError, &inCapture_);
                    // Every short message, clock, active sensing and time code included;
                    // system exclusive only when asked for.
                    in->ignoreTypes(!long_, false, false);
                    in->setCallback(&RtMidiBackend::onInput, this);
                    in_ = std::move(in);
                }
                api_ = api;
                return output ? static_cast<RtMidi*>(out_.get()) : in_.get();
            } catch (...) {
                // Try the next service.
            }
        }
        return nullptr;
    }

    // RtMidi's port number of a device, or -1; devices are the ports that are not our own.
    int portOf(bool output, int number) noexcept {
        if (number < 0) return -1;
        try {
            RtMidi* c = client(output);
            if (!c) return -1;
            const unsigned ports = c->getPortCount();
            int device = 0;
            for (unsigned p = 0; p < ports; ++p) {
                if (isOwnPort(c->getPortName(p))) continue;
                if (device++ == number) return static_cast<int>(p);
            }
        } catch (...) {
        }
        return -1;
    }

    int count(bool output) noexcept {
        try {
            RtMidi* c = client(output);
            if (!c) return 0;
            const unsigned ports = c->getPortCount();
            int devices = 0;
            for (unsigned p = 0; p < ports; ++p)
                if (!isOwnPort(c->getPortName(p))) ++devices;
            return devices;
        } catch (...) {
            return 0;
        }
    }

    std::string name(bool output, int number) {
        const int port = portOf(output, number);
        if (port < 0) return {};
        try {
            return client(output)->getPortName(static_cast<unsigned>(port));
        } catch (...) {
            return {};
        }
    }

    bool open(bool output, int number, const char* portName, MidiErrorText& error) noexcept {
        RtMidi* c = client(output);
        if (!c) {
            setMidiErrorText(error, "Neither the ALSA sequencer nor a JACK server answers.");
            return false;
        }
        // RtMidi does not check the number itself.
        const int port = portOf(output, number);
        if (port < 0) {
            setMidiErrorText(error, output ? "The MIDI output device does not exist."
                                           : "The MIDI input device does not exist.");
            return false;
        }
        Capture& capture = output ? outCapture_ : inCapture_;
        capture.failed.store(false);
        capture.text.store(&error);
        try {
            c->openPort(static_cast<unsigned>(port), portName);
        } catch (const RtMidiError& e) {
            setMidiErrorText(error, e.getMessage().c_str());
            capture.failed.store(true);
        } catch (...) {
            setMidiErrorText(error, "The MIDI device could not be opened.");
            capture.failed.store(true);
        }
        capture.text.store(nullptr);
        bool open = false;
        try {
            open = c->isPortOpen();
        } catch (...) {
        }
        const bool failed = capture.failed.load();
        if (!failed && open) return true;
        if (!failed) setMidiErrorText(error, "The MIDI device could not be opened.");
        if (open) output ? closeOutput() : closeInput();
        return false;
    }

    // RtMidi's error callback. While a port is being opened its errors are the open's result;
    // warnings at other times (a full output buffer, say) are dropped.
    struct Capture {
        std::atomic<MidiErrorText*> text{nullptr};
        std::atomic<bool> failed{false};
        std::atomic<bool> refused{false};  // a warning while sending: the output was full
    };
    static void onError(RtMidiError::Type type, const std::string& text, void* data) {
        auto* capture = static_cast<Capture*>(data);
        if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) {
            capture->refused.store(true);
            return;
        }
        if (MidiErrorText* buffer = capture->text.load()) {
            setMidiErrorText(*buffer, text.c_str());
            capture->failed.store(true);
        }
    }

    // On the driver's thread: pass one short message on as a packed word, or a whole SysEx as
    // its bytes. No allocation, no lock, no waiting.
    static void onInput(double, std::vector<unsigned char>* message, void* self) {
        auto* b = static_cast<RtMidiBackend*>(self);
        if (!message || message->empty()) return;
        const auto& m = *message;
        if (m[0] == 0xF0) {
            void* context = b->context_.load(std::memory_order_acquire);
            if (MidiInputProc proc = b->proc_.load(std::memory_order_relaxed))
                proc(context, kMidiInLongData, reinterpret_cast<std::uintptr_t>(m.data()),
                     m.size());
            return;
        }
        if (m.size() > 3) return;
        if (shortMessageLength(m[0]) == 0) return;
        std::uint32_t word = 0;
        for (std::size_t i = 0; i < m.size(); ++i) word |= std::uint32_t{m[i]} << (8 * i);
        void* context = b->context_.load(std::memory_order_acquire);
        if (MidiInputProc proc = b->proc_.load(std::memory_order_relaxed))
            proc(context, kMidiInData, word, 0);
    }

    RtMidi::Api api_ = RtMidi::UNSPECIFIED;
    std::unique_ptr<RtMidiIn> in_;
    std::unique_ptr<RtMidiOut> out_;
    std::atomic<MidiInputProc> proc_{nullptr};
    std::atomic<void*> context_{nullptr};
    Capture inCapture_, outCapture_;
};

}  // namespace

std::unique_ptr<MidiBackend> createSystemMidiBackend() {
    return std::make_unique<RtMidiBackend>();
}

}  // namespace platform
