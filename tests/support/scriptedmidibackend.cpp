#include "support/scriptedmidibackend.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace platform {

namespace {
std::string nameAt(const std::vector<std::string>& names, int number) {
    return number >= 0 && static_cast<std::size_t>(number) < names.size() ? names[number] : "";
}
}  // namespace

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
        lastThread_ = std::this_thread::get_id();
    } catch (...) {
    }
}

std::thread::id ScriptedMidiBackend::lastCallThread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastThread_;
}

static void waitWhile(const std::atomic<bool>& hold) noexcept {
    for (int i = 0; i < 10000 && hold.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool ScriptedMidiBackend::openInput(int number, MidiInputProc proc, void* context,
                                    MidiErrorText& error) noexcept {
    waitWhile(holdOpens);
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
    waitWhile(holdOpens);
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

bool ScriptedMidiBackend::sendLong(const std::uint8_t* data, std::size_t size) noexcept {
    record("sysex " + std::to_string(size));
    if (holdLongSends.load()) {
        cancelled_.store(false);
        longSendWaiting.store(true);
        for (int i = 0; i < 10000 && !cancelled_.load() && holdLongSends.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        longSendWaiting.store(false);
        if (holdLongSends.load()) return false;  // cancelled, or never let go
    }
    std::lock_guard<std::mutex> lock(mutex_);
    sentLong_.emplace_back(data, data + size);
    return true;
}

std::vector<std::vector<std::uint8_t>> ScriptedMidiBackend::sentLong() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sentLong_;
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
