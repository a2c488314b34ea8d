// The engine's bus and device ports.
#include "plugin/plugin.h"

void APlugin::busWrite(int bus, MidiWord word) noexcept {
    bus_->write(bus, word);
}

int APlugin::busTake(int bus) noexcept {
    int n = 0;
    const int taken = bus_->drain(bus, [&](std::uint32_t w) {
        if (n < vstbus::kMaxCapacity) busWords_[static_cast<std::size_t>(n++)] = w;
    });
    return taken == vstbus::kSoundStream ? -1 : n;
}

// The sender flag tells other participants that someone writes to the bus; a sender's bus
// holds 4096 words.
void APlugin::busSetSender(int bus, bool sender) noexcept {
    if (sender) {
        bus_->setFlags(bus, vstbus::kFlagSender);
        bus_->setCapacity(bus, vstbus::kSenderCapacity);
    } else {
        bus_->clearFlags(bus, vstbus::kFlagSender);
    }
}

// Sent only when the output device is open.
void APlugin::deviceSend(MidiWord word) noexcept {
    midiIO_.sendShortMessage(word);
}
