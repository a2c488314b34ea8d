// The engine's bus and device ports. The bus and device connections are attached here.
#include "plugin/plugin.h"

void APlugin::busWrite(int, MidiWord) noexcept {}
int APlugin::busPending(int) noexcept {
    return 0;
}
MidiWord APlugin::busWord(int, int) noexcept {
    return 0;
}
void APlugin::busClearPending(int) noexcept {}
bool APlugin::busSaysSound(int) noexcept {
    return false;
}
void APlugin::busSetSender(int, bool) noexcept {}
void APlugin::deviceSend(MidiWord) noexcept {}
