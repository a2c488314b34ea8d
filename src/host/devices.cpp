#include "host/devices.h"

#include "engine/midiword.h"
#include "engine/parameters.h"

namespace host {

Devices::Devices() {
    io_.setSender(&Devices::wakeSender, this);
}

Devices::~Devices() {
    close();
}

void Devices::close() noexcept {
    closed_.store(true);
    Worker::settle(client_);
    io_.setInputOpen(false);
    io_.setOutputOpen(false);
}

// A wish that asks for what already is, with nothing else on the way, changes nothing: it is
// dropped rather than woken for (a host's or a project's replay of every value, say).
void Devices::wish(int index, float value) noexcept {
    if (closed_.load(std::memory_order_relaxed)) return;
    std::atomic<int>* field = nullptr;
    int wanted = 0, now = 0;
    switch (index) {
        case param::InputDevice:
            field = &inputDevice_, wanted = choiceOf(value), now = io_.inputDevice();
            break;
        case param::OutputDevice:
            field = &outputDevice_, wanted = choiceOf(value), now = io_.outputDevice();
            break;
        case param::InputMidi:
            field = &inputOpen_, wanted = switchOn(index, value), now = io_.inputOpen();
            break;
        case param::OutputMidi:
            field = &outputOpen_, wanted = switchOn(index, value), now = io_.outputOpen();
            break;
        default:
            return;
    }
    if (wanted == now && Worker::idle(client_) && field->load(std::memory_order_relaxed) < 0)
        return;
    field->store(wanted, std::memory_order_relaxed);
    Worker::post(client_, kApply);
}

void Devices::settle() noexcept {
    Worker::settle(client_);
}

void Devices::wakeSender(void* self) noexcept {
    Worker::post(static_cast<Devices*>(self)->client_, kSend);
}

// Words queued before a wish go out before it is applied: a note-off sent just before the
// output device closes still reaches it.
void Devices::run(Worker::Client& client, std::uint32_t bits) noexcept {
    auto& self = *static_cast<Devices*>(client.owner());
    if (bits & kSend) self.io_.sendQueued();
    if (bits & kApply) self.apply();
}

// The newest wishes, each taken once, devices chosen before they open: a change of device while
// open closes the old one and opens the new one, as TMidiIO does. A wish is taken as it is
// applied, so a device that failed to open is not tried again until it is asked for again.
void Devices::apply() noexcept {
    if (const int n = inputDevice_.exchange(-1, std::memory_order_relaxed); n >= 0)
        io_.selectInputDevice(n);
    if (const int n = outputDevice_.exchange(-1, std::memory_order_relaxed); n >= 0)
        io_.selectOutputDevice(n);
    if (const int open = inputOpen_.exchange(-1, std::memory_order_relaxed); open >= 0)
        io_.setInputOpen(open != 0);
    if (const int open = outputOpen_.exchange(-1, std::memory_order_relaxed); open >= 0)
        io_.setOutputOpen(open != 0);
}

}  // namespace host
