#include "lv2/uiaccess.h"

#include <lv2/atom/util.h>
#include <lv2/patch/patch.h>
#include <lv2/time/time.h>

#include <cstring>
#include <utility>

#include "engine/midiword.h"
#include "host/devices.h"
#include "lv2/portmap.h"
#include "lv2/uiprotocol.h"
#include "platform/midi.h"
#include "vstbus/vstbus.h"

namespace lv2ui {

namespace {

// The parameter the editor's device lists set, by its step.
int parameterWith(ApplyStep step) noexcept {
    for (int i = 0; i < kNumParams; ++i)
        if (kParameters[static_cast<std::size_t>(i)].apply == step) return i;
    return -1;
}

// The text of a string or path value (checked to lie within its object), without the
// terminator or anything after it.
std::string textOf(const LV2_Atom* a) {
    const char* text = static_cast<const char*>(LV2_ATOM_BODY_CONST(a));
    return std::string(text, strnlen(text, a->size));
}

}  // namespace

Lv2UiAccess::Lv2UiAccess(LV2UI_Write_Function write, LV2UI_Controller controller, LV2_URID_Map* map,
                         const LV2UI_Touch* touch)
    : write_(write),
      controller_(controller),
      touch_(touch),
      buffer_(kMaxText + 256),
      devices_(platform::createMidiBackend()),
      bus_(std::make_unique<vstbus::TVstBus>()) {
    auto id = [map](const char* uri) { return map->map(map->handle, uri); };
    u_ = {id(LV2_ATOM__eventTransfer),
          id(LV2_ATOM__Long),
          id(LV2_ATOM__Int),
          id(LV2_ATOM__Float),
          id(LV2_ATOM__Double),
          id(LV2_ATOM__String),
          id(LV2_ATOM__Path),
          id(LV2_ATOM__URID),
          id(LV2_ATOM__Object),
          id(LV2_ATOM__Blank),
          id(LV2_PATCH__Set),
          id(LV2_PATCH__Get),
          id(LV2_PATCH__property),
          id(LV2_PATCH__value),
          id(kLogFile),
          id(kTrackName),
          id(kLogFrom),
          id(kSaveLog),
          id(kClearLog),
          id(kInfo),
          id(kLogLine),
          id(kTempo),
          id(kTimeSignature),
          id(kSaved),
          id(kNotice),
          id(kSequence),
          id(kText),
          id(kSampleRate),
          id(LV2_TIME__beatsPerMinute),
          id(LV2_TIME__beatsPerBar),
          id(LV2_TIME__beatUnit)};
    lv2_atom_forge_init(&forge_, map);
    // Until the host reports the ports, the window shows the defaults the Turtle gives.
    for (std::size_t i = 0; i < kNumParams; ++i) values_[i] = kParameters[i].defaultValue;
}

Lv2UiAccess::~Lv2UiAccess() = default;

// --- Parameters -----------------------------------------------------------------------------

float Lv2UiAccess::getParameter(int index) {
    if (index < 0 || index >= kNumParams) return 0.0f;
    return values_[static_cast<std::size_t>(index)];
}

// The value kept is the one the port carries back, so the window reads what the plug-in gets
// (a list's entry, a value clamped to 0..1).
void Lv2UiAccess::setParameter(int index, float value) {
    if (index < 0 || index >= kNumParams) return;
    if (!(value >= 0.0f)) value = 0.0f;
    if (value > 1.0f) value = 1.0f;
    const float port = lv2port::portValue(index, value);
    values_[static_cast<std::size_t>(index)] = lv2port::parameterValue(index, port);
    write_(controller_, static_cast<std::uint32_t>(index), sizeof port, 0, &port);
}

// A host records every port write the editor makes as automation.
void Lv2UiAccess::setParameterAutomated(int index, float value) {
    setParameter(index, value);
}

void Lv2UiAccess::beginEdit(int index) {
    if (touch_) touch_->touch(touch_->handle, static_cast<std::uint32_t>(index), true);
}

void Lv2UiAccess::endEdit(int index) {
    if (touch_) touch_->touch(touch_->handle, static_cast<std::uint32_t>(index), false);
}

// --- Devices and buses: the system's own, as the plug-in sees them -----------------------------

std::vector<std::string> Lv2UiAccess::outputDeviceNames() {
    std::vector<std::string> names;
    for (int n = 0; n < devices_->outputCount(); ++n) names.push_back(devices_->outputName(n));
    return names;
}

std::vector<std::string> Lv2UiAccess::inputDeviceNames() {
    std::vector<std::string> names;
    for (int n = 0; n < devices_->inputCount(); ++n) names.push_back(devices_->inputName(n));
    return names;
}

bool Lv2UiAccess::devicesLoop() {
    static const int output = parameterWith(ApplyStep::SelectOutputDevice);
    static const int input = parameterWith(ApplyStep::SelectInputDevice);
    return host::devicesLoop(getParameter(output), getParameter(input));
}

std::string Lv2UiAccess::busLabel(int bus) {
    return bus_->readLabel(bus);
}

void Lv2UiAccess::setBusLabel(int bus, const std::string& label) {
    bus_->writeLabel(bus, label);
}

// --- Messages to the plug-in -----------------------------------------------------------------

template <class Body>
void Lv2UiAccess::send(LV2_URID otype, Body&& body) {
    lv2_atom_forge_set_buffer(&forge_, buffer_.data(), buffer_.size());
    LV2_Atom_Forge_Frame frame;
    auto* atom = reinterpret_cast<LV2_Atom*>(
        lv2_atom_forge_deref(&forge_, lv2_atom_forge_object(&forge_, &frame, 0, otype)));
    body();
    lv2_atom_forge_pop(&forge_, &frame);
    write_(controller_, kMidiInPort, lv2_atom_total_size(atom), u_.eventTransfer, atom);
}

void Lv2UiAccess::sendName(LV2_URID property, LV2_URID type, const std::string& text) {
    const auto length = static_cast<std::uint32_t>(text.size() < kMaxText ? text.size() : kMaxText);
    send(u_.patchSet, [&] {
        lv2_atom_forge_key(&forge_, u_.patchProperty);
        lv2_atom_forge_urid(&forge_, property);
        lv2_atom_forge_key(&forge_, u_.patchValue);
        lv2_atom_forge_typed_string(&forge_, type, text.data(), length);
    });
}

// A new editor asks for as many of the newest lines as its log view shows; later requests go
// on from the next line the list wants.
void Lv2UiAccess::requestState() {
    constexpr std::int64_t kViewLines = 200;
    send(u_.patchGet, [] {});
    send(u_.logFrom, [this] {
        lv2_atom_forge_key(&forge_, u_.sequence);
        lv2_atom_forge_long(&forge_,
                            nextLine_ > 0 ? static_cast<std::int64_t>(nextLine_) : -kViewLines);
    });
}

// The lines received so far go at once; the plug-in sends only those it logs from now on.
void Lv2UiAccess::clearLog() {
    lines_.clear();
    send(u_.clearLog, [] {});
}

// The plug-in saves on its worker and reports the file it wrote ("Saved to: ...") or a notice.
bool Lv2UiAccess::saveLog(const std::string& path) {
    logFile_ = path;
    sendName(u_.logFile, u_.atomPath, path);
    send(u_.saveLog, [] {});
    return false;
}

void Lv2UiAccess::setTrackName(const std::string& name) {
    trackName_ = name;
    sendName(u_.trackName, u_.atomString, name);
}

bool Lv2UiAccess::takeTimeSignature(int& numerator, int& denominator) {
    if (!timeSigWritten_) return false;
    timeSigWritten_ = false;
    numerator = numerator_;
    denominator = denominator_;
    return true;
}

bool Lv2UiAccess::takeTempo(double& bpm) {
    if (!tempoWritten_) return false;
    tempoWritten_ = false;
    bpm = tempo_;
    return true;
}

std::vector<std::string> Lv2UiAccess::takeMessages() {
    return std::exchange(messages_, {});
}

// --- What the host reports -------------------------------------------------------------------

void Lv2UiAccess::portEvent(std::uint32_t port, std::uint32_t size, std::uint32_t format,
                            const void* buffer) {
    if (!buffer) return;
    if (format == 0) {
        if (port >= static_cast<std::uint32_t>(kNumParams) || size != sizeof(float)) return;
        float reading;
        std::memcpy(&reading, buffer, sizeof reading);
        values_[port] = lv2port::parameterValue(static_cast<int>(port), reading);
        return;
    }
    if (format != u_.eventTransfer || size < sizeof(LV2_Atom)) return;
    // An aligned copy: the host's buffer need not be.
    message_.assign((size + 7) / 8, 0);
    std::memcpy(message_.data(), buffer, size);
    const auto* atom = reinterpret_cast<const LV2_Atom*>(message_.data());
    if (atom->size > size - sizeof(LV2_Atom)) return;
    if ((atom->type == u_.object || atom->type == u_.blank) &&
        atom->size >= sizeof(LV2_Atom_Object_Body))
        readMessage(reinterpret_cast<const LV2_Atom_Object*>(atom));
}

void Lv2UiAccess::readMessage(const LV2_Atom_Object* message) {
    const LV2_URID otype = message->body.otype;
    if (otype == u_.logLine) {
        const LV2_Atom *sequence = nullptr, *text = nullptr;
        findValues(message, {{u_.sequence, &sequence}, {u_.text, &text}});
        if (!hasBody(sequence, sizeof(std::int64_t)) || sequence->type != u_.atomLong || !text ||
            text->type != u_.atomString)
            return;
        const auto seq =
            static_cast<std::uint64_t>(reinterpret_cast<const LV2_Atom_Long*>(sequence)->body);
        // A line sent twice (a second request crossed the first answer) is taken once.
        if (seq < nextLine_) return;
        nextLine_ = seq + 1;
        const std::string line = textOf(text);
        lines_.append(line);
    } else if (otype == u_.patchSet) {
        const LV2_Atom *property = nullptr, *value = nullptr;
        findValues(message, {{u_.patchProperty, &property}, {u_.patchValue, &value}});
        if (!hasBody(property, sizeof(LV2_URID)) || property->type != u_.atomUrid || !value) return;
        if (value->type != u_.atomString && value->type != u_.atomPath) return;
        const LV2_URID key = reinterpret_cast<const LV2_Atom_URID*>(property)->body;
        if (key == u_.logFile) logFile_ = textOf(value);
        if (key == u_.trackName) trackName_ = textOf(value);
    } else if (otype == u_.info) {
        const LV2_Atom* rate = nullptr;
        findValues(message, {{u_.sampleRate, &rate}});
        if (hasBody(rate, sizeof(float)) && rate->type == u_.atomFloat)
            sampleRate_ = reinterpret_cast<const LV2_Atom_Float*>(rate)->body;
    } else if (otype == u_.tempo) {
        const LV2_Atom* bpm = nullptr;
        findValues(message, {{u_.bpm, &bpm}});
        if (!hasBody(bpm, sizeof(double)) || bpm->type != u_.atomDouble) return;
        tempo_ = reinterpret_cast<const LV2_Atom_Double*>(bpm)->body;
        tempoWritten_ = true;
    } else if (otype == u_.timeSignature) {
        const LV2_Atom *bar = nullptr, *unit = nullptr;
        findValues(message, {{u_.beatsPerBar, &bar}, {u_.beatUnit, &unit}});
        if (!hasBody(bar, sizeof(std::int32_t)) || bar->type != u_.atomInt ||
            !hasBody(unit, sizeof(std::int32_t)) || unit->type != u_.atomInt)
            return;
        numerator_ = reinterpret_cast<const LV2_Atom_Int*>(bar)->body;
        denominator_ = reinterpret_cast<const LV2_Atom_Int*>(unit)->body;
        timeSigWritten_ = true;
    } else if (otype == u_.saved || otype == u_.notice) {
        const LV2_Atom* text = nullptr;
        findValues(message, {{u_.text, &text}});
        if (!text || text->type != u_.atomString) return;
        messages_.push_back(otype == u_.saved ? "Saved to: " + textOf(text) : textOf(text));
    }
}

}  // namespace lv2ui
