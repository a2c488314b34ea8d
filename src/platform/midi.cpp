#include "platform/midi.h"

#include <cstdio>

namespace platform {

// The system's own MIDI service; one implementation per system.
std::unique_ptr<MidiBackend> createSystemMidiBackend();

namespace {
std::atomic<MidiBackend*> installedBackend{nullptr};

// Lends a test's backend to an owner that expects to own one.
class BorrowedMidiBackend final : public MidiBackend {
public:
    explicit BorrowedMidiBackend(MidiBackend& b) noexcept : b_(b) {}
    int inputCount() noexcept override { return b_.inputCount(); }
    int outputCount() noexcept override { return b_.outputCount(); }
    std::string inputName(int n) override { return b_.inputName(n); }
    std::string outputName(int n) override { return b_.outputName(n); }
    bool openInput(int n, MidiInputProc p, void* c, MidiErrorText& e) noexcept override {
        return b_.openInput(n, p, c, e);
    }
    void closeInput() noexcept override { b_.closeInput(); }
    bool openOutput(int n, MidiErrorText& e) noexcept override { return b_.openOutput(n, e); }
    void closeOutput() noexcept override { b_.closeOutput(); }
    void sendShort(std::uint32_t word) noexcept override { b_.sendShort(word); }
    void setLongMessages(bool on) noexcept override { b_.setLongMessages(on); }
    bool sendLong(const std::uint8_t* data, std::size_t size) noexcept override {
        return b_.sendLong(data, size);
    }
    void cancelLong() noexcept override { b_.cancelLong(); }

private:
    MidiBackend& b_;
};

}  // namespace

void setMidiErrorText(MidiErrorText& buffer, const char* text) noexcept {
    std::snprintf(buffer.data(), buffer.size(), "%s", text ? text : "");
}

MidiBackend* setMidiBackendOverride(MidiBackend* backend) noexcept {
    return installedBackend.exchange(backend);
}

std::unique_ptr<MidiBackend> createMidiBackend() {
    if (MidiBackend* b = installedBackend.load()) return std::make_unique<BorrowedMidiBackend>(*b);
    return createSystemMidiBackend();
}

}  // namespace platform
