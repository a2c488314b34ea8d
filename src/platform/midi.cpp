#include "platform/midi.h"

#include <cstdio>
#include <cstring>

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

private:
    MidiBackend& b_;
};

std::string nameAt(const std::vector<std::string>& names, int number) {
    return number >= 0 && static_cast<std::size_t>(number) < names.size() ? names[number] : "";
}
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

// --- Scripted backend ------------------------------------------------------------------------

ScriptedMidiBackend::ScriptedMidiBackend(std::vector<std::string> inputs,
                                         std::vector<std::string> outputs)
    : inputs_(std::move(inputs)), outputs_(std::move(outputs)) {}

std::string ScriptedMidiBackend::inputName(int number) {
    return nameAt(inputs_, number);
}

std::string ScriptedMidiBackend::outputName(int number) {
    return nameAt(outputs_, number);
}

void ScriptedMidiBackend::record(std::string line) noexcept {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(std::move(line));
    } catch (...) {
    }
}

bool ScriptedMidiBackend::openInput(int number, MidiInputProc proc, void* context,
                                    MidiErrorText& error) noexcept {
    record("open in " + std::to_string(number));
    if (takeFailure(failInput_, error)) return false;
    context_.store(context);
    proc_.store(proc);
    return true;
}

bool ScriptedMidiBackend::takeFailure(std::string& failure, MidiErrorText& error) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure.empty()) return false;
    setMidiErrorText(error, failure.c_str());
    failure.clear();
    return true;
}

void ScriptedMidiBackend::closeInput() noexcept {
    proc_.store(nullptr);
    record("close in");
}

bool ScriptedMidiBackend::openOutput(int number, MidiErrorText& error) noexcept {
    record("open out " + std::to_string(number));
    return !takeFailure(failOutput_, error);
}

void ScriptedMidiBackend::closeOutput() noexcept {
    record("close out");
}

void ScriptedMidiBackend::sendShort(std::uint32_t word) noexcept {
    if (sending_.fetch_add(1) != 0) overlaps_.fetch_add(1);
    char line[16];
    std::snprintf(line, sizeof line, "send %08X", static_cast<unsigned>(word));
    record(line);
    sending_.fetch_sub(1);
}

void ScriptedMidiBackend::failNextOpen(bool output, std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    (output ? failOutput_ : failInput_) = std::move(text);
}

std::vector<std::string> ScriptedMidiBackend::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

void ScriptedMidiBackend::clearCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
}

bool ScriptedMidiBackend::deliver(unsigned message, std::uintptr_t param1,
                                  std::uintptr_t param2) noexcept {
    MidiInputProc proc = proc_.load();
    if (!proc) return false;
    proc(context_.load(), message, param1, param2);
    return true;
}

}  // namespace platform
