#include "tools/host/vsthost.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace host {

namespace {
// The host being asked while a plug-in's entry runs (before its record is known).
thread_local VstHost* constructing = nullptr;
}  // namespace

VstHost::VstHost() {
    for (auto& v : in_) v.assign(static_cast<std::size_t>(blockSize), 0.0f);
    for (auto& v : out_) v.assign(static_cast<std::size_t>(blockSize), 0.0f);
}

VstHost::~VstHost() {
    if (effect_) close();
}

bool VstHost::load(const std::string& path) {
    if (!library_.open(path)) {
        error_ = "cannot load " + path + ": " + library_.error();
        return false;
    }
    void* sym = library_.symbol("VSTPluginMain");
    if (!sym) sym = library_.symbol("main");
    if (!sym) {
        error_ = path + " exports neither VSTPluginMain nor main";
        return false;
    }
    entry_ = reinterpret_cast<VstPluginMainProc>(sym);
    return true;
}

AEffect* VstHost::instantiate() {
    if (!entry_) {
        error_ = "no plug-in loaded";
        return nullptr;
    }
    constructing = this;
    AEffect* e = entry_(callback);
    constructing = nullptr;
    if (!e) {
        error_ = "the plug-in's entry answered null";
        return nullptr;
    }
    return adopt(e) ? effect_ : nullptr;
}

bool VstHost::adopt(AEffect* e) {
    if (!e) {
        error_ = "no record";
        return false;
    }
    if (e->magic != kEffectMagic) {
        error_ = "the record's magic is not 'VstP'";
        return false;
    }
    effect_ = e;
    // Like many hosts, keep a back pointer in the record's reserved field.
    effect_->resvd1 = reinterpret_cast<VstIntPtr>(this);
    return true;
}

VstIntPtr VstHost::close() {
    if (!effect_) return 0;
    AEffect* e = effect_;
    effect_ = nullptr;
    return e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}

VstIntPtr VstHost::dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                            float opt) {
    return effect_ ? effect_->dispatcher(effect_, opcode, index, value, ptr, opt) : 0;
}

std::string VstHost::dispatchText(VstInt32 opcode, VstInt32 index) {
    char buffer[256] = {};
    dispatch(opcode, index, 0, buffer);
    buffer[sizeof buffer - 1] = '\0';
    return buffer;
}

void VstHost::setParameter(VstInt32 index, float value) {
    if (effect_) effect_->setParameter(effect_, index, value);
}

float VstHost::getParameter(VstInt32 index) {
    return effect_ ? effect_->getParameter(effect_, index) : 0.0f;
}

void VstHost::start() {
    for (auto& v : in_) v.assign(static_cast<std::size_t>(blockSize), 0.0f);
    for (auto& v : out_) v.assign(static_cast<std::size_t>(blockSize), 0.0f);
    dispatch(effOpen);
    dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(sampleRate));
    dispatch(effSetBlockSize, 0, blockSize);
    dispatch(effMainsChanged, 0, 1);
    dispatch(effStartProcess);
}

void VstHost::stop() {
    dispatch(effStopProcess);
    dispatch(effMainsChanged, 0, 0);
}

MidiEventList::MidiEventList(std::vector<VstMidiEvent> events)
    : events_(std::move(events)),
      block_(offsetof(VstEvents, events) +
             sizeof(VstEvent*) * std::max<std::size_t>(events_.size(), 2)) {
    auto* list = reinterpret_cast<VstEvents*>(block_.data());
    list->numEvents = static_cast<VstInt32>(events_.size());
    list->reserved = 0;
    unsigned char* slots = block_.data() + offsetof(VstEvents, events);
    for (std::size_t i = 0; i < events_.size(); ++i) {
        VstEvent* p = reinterpret_cast<VstEvent*>(&events_[i]);
        std::memcpy(slots + i * sizeof p, &p, sizeof p);
    }
}

MidiEventList::MidiEventList(std::vector<VstMidiEvent> events, std::vector<VstMidiSysexEvent> sysex,
                             const std::vector<std::size_t>& sysexAt)
    : events_(std::move(events)),
      sysex_(std::move(sysex)),
      block_(offsetof(VstEvents, events) +
             sizeof(VstEvent*) * std::max<std::size_t>(events_.size() + sysex_.size(), 2)) {
    auto* list = reinterpret_cast<VstEvents*>(block_.data());
    const std::size_t total = events_.size() + sysex_.size();
    list->numEvents = static_cast<VstInt32>(total);
    list->reserved = 0;
    unsigned char* slots = block_.data() + offsetof(VstEvents, events);
    std::size_t midi = 0, x = 0;
    for (std::size_t i = 0; i < total; ++i) {
        VstEvent* p = x < sysex_.size() && sysexAt[x] == i
                          ? reinterpret_cast<VstEvent*>(&sysex_[x++])
                          : reinterpret_cast<VstEvent*>(&events_[midi++]);
        std::memcpy(slots + i * sizeof p, &p, sizeof p);
    }
}

MidiEventList MidiEventList::fromWords(const std::vector<std::uint32_t>& words,
                                       VstInt32 deltaFrames) {
    std::vector<VstMidiEvent> events(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        events[i].type = kVstMidiType;
        events[i].byteSize = sizeof(VstMidiEvent);
        events[i].deltaFrames = deltaFrames;
        for (int b = 0; b < 3; ++b)
            events[i].midiData[b] = static_cast<char>((words[i] >> (8 * b)) & 0xFF);
    }
    return MidiEventList(std::move(events));
}

VstIntPtr VstHost::sendEvents(const std::vector<VstMidiEvent>& events) {
    MidiEventList list(events);
    return dispatch(effProcessEvents, 0, 0, list.get());
}

void VstHost::runBlock(const std::vector<ScheduledEvent>& schedule) {
    ++block_;
    std::vector<VstMidiEvent> due;
    std::vector<VstMidiSysexEvent> sysex;
    std::vector<std::size_t> sysexAt;
    for (const auto& s : schedule) {
        if (s.frame < position_ || s.frame >= position_ + blockSize) continue;
        if (!s.sysex.empty()) {
            VstMidiSysexEvent x{};
            x.type = kVstSysExType;
            x.byteSize = sizeof x;
            x.deltaFrames = static_cast<VstInt32>(s.frame - position_);
            x.dumpBytes = static_cast<VstInt32>(s.sysex.size());
            x.sysexDump = const_cast<char*>(reinterpret_cast<const char*>(s.sysex.data()));
            sysexAt.push_back(due.size() + sysex.size());
            sysex.push_back(x);
            continue;
        }
        VstMidiEvent m{};
        m.type = kVstMidiType;
        m.byteSize = sizeof m;
        m.deltaFrames = static_cast<VstInt32>(s.frame - position_);
        std::memcpy(m.midiData, s.bytes, 3);
        due.push_back(m);
    }
    if (!sysex.empty()) {
        MidiEventList list(std::move(due), std::move(sysex), sysexAt);
        dispatch(effProcessEvents, 0, 0, list.get());
    } else if (!due.empty()) {
        sendEvents(due);
    }
    processBlock();
    if (afterBlock) afterBlock();
}

void VstHost::processBlock() {
    float* ins[2] = {in_[0].data(), in_[1].data()};
    float* outs[2] = {out_[0].data(), out_[1].data()};
    processing_ = true;
    if (effect_->flags & effFlagsCanReplacing) {
        effect_->processReplacing(effect_, ins, outs, blockSize);
    } else {
        effect_->process(effect_, ins, outs, blockSize);
    }
    processing_ = false;
    position_ += blockSize;
    const double ppq = ppq_ + blockSize / sampleRate * tempo / 60.0;
    double barStart = barStart_;
    const double barLength =
        timeSigDenominator > 0 ? timeSigNumerator * 4.0 / timeSigDenominator : 4.0;
    if (barLength > 0.0 && ppq >= barStart + barLength)
        barStart += std::floor((ppq - barStart) / barLength) * barLength;
    ppq_ = ppq;
    barStart_ = barStart;
}

VstIntPtr VSTCALLBACK VstHost::callback(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                        VstIntPtr value, void* ptr, float opt) {
    VstHost* self = nullptr;
    if (effect && effect->resvd1) self = reinterpret_cast<VstHost*>(effect->resvd1);
    if (!self) self = constructing;
    if (!self) return opcode == audioMasterVersion ? 2400 : 0;
    return self->answer(opcode, index, value, ptr, opt);
}

// Prints the editor's gestures as they happen while live (they come from the user-interface
// thread), and otherwise keeps every opcode asked.
void VstHost::noteCall(VstInt32 opcode, VstInt32 index, float opt) {
    if (!live) {
        opcodesSeen.push_back(opcode);
        return;
    }
    if (opcode == audioMasterAutomate) {
        std::printf("automate %d %g\n", index, static_cast<double>(opt));
    } else if (opcode == audioMasterBeginEdit || opcode == audioMasterEndEdit) {
        std::printf("%s %d\n", opcode == audioMasterBeginEdit ? "begin edit" : "end edit", index);
    }
    std::fflush(stdout);
}

VstIntPtr VstHost::timeInfo() {
    if (!live) ++getTimeCalls;
    if (!answerTimeInfo) return 0;
    // One record per thread: the processing and the editor's threads ask at once.
    thread_local VstTimeInfo info;
    info = VstTimeInfo{};
    const long position = position_;
    info.samplePos = static_cast<double>(position);
    info.sampleRate = sampleRate;
    info.tempo = tempo;
    info.ppqPos = ppq_;
    info.barStartPos = barStart_;
    info.timeSigNumerator = timeSigNumerator;
    info.timeSigDenominator = timeSigDenominator;
    info.flags =
        kVstTransportPlaying | kVstPpqPosValid | kVstBarsValid | kVstTempoValid | kVstTimeSigValid;
    return reinterpret_cast<VstIntPtr>(&info);
}

VstIntPtr VstHost::receiveEvents(const VstEvents* list) {
    if (!list) return 0;
    for (VstInt32 i = 0; i < list->numEvents; ++i) {
        const VstEvent* e = eventAt(list, i);
        if (!e) continue;
        SentEvent s{};
        s.block = block_;
        s.type = e->type;
        s.deltaFrames = e->deltaFrames;
        if (e->type == kVstMidiType) {
            std::memcpy(s.bytes, reinterpret_cast<const VstMidiEvent*>(e)->midiData, 4);
        } else if (e->type == kVstSysExType) {
            const auto* x = reinterpret_cast<const VstMidiSysexEvent*>(e);
            if (x->sysexDump && x->dumpBytes > 0 && !live)
                s.sysex.assign(x->sysexDump, x->sysexDump + x->dumpBytes);
        }
        if (!live) sent.push_back(std::move(s));
    }
    return 1;
}

// The host's text answers: vendor, product and what it can do.
VstIntPtr VstHost::textAnswer(VstInt32 opcode, void* ptr) {
    switch (opcode) {
        case audioMasterGetVendorString:
            if (ptr) std::snprintf(static_cast<char*>(ptr), 64, "%s", "Corvella developers");
            return 1;
        case audioMasterGetProductString:
            if (ptr) std::snprintf(static_cast<char*>(ptr), 64, "%s", productString.c_str());
            return productString.empty() ? 0 : 1;
        default: {  // audioMasterCanDo
            static const char* yes[] = {"sendVstEvents",    "sendVstMidiEvent",
                                        "receiveVstEvents", "receiveVstMidiEvent",
                                        "sendVstTimeInfo",  "supplyIdle"};
            if (!ptr) return 0;
            for (const char* t : yes)
                if (std::strcmp(static_cast<const char*>(ptr), t) == 0) return 1;
            return 0;
        }
    }
}

VstIntPtr VstHost::answer(VstInt32 opcode, VstInt32 index, VstIntPtr /*value*/, void* ptr,
                          float opt) {
    noteCall(opcode, index, opt);
    switch (opcode) {
        case audioMasterAutomate:
            if (!live) automated.emplace_back(index, opt);
            return 0;
        case audioMasterVersion:
            return versionAnswer;
        case audioMasterWantMidi:
            ++wantMidiCalls;
            return 1;
        case audioMasterGetTime:
            return timeInfo();
        case audioMasterProcessEvents:
            return receiveEvents(static_cast<const VstEvents*>(ptr));
        case audioMasterTempoAt:
            return static_cast<VstIntPtr>(tempo * 10000.0);
        case audioMasterGetNumAutomatableParameters:
            return effect_ ? effect_->numParams : 0;
        case audioMasterNeedIdle:
        case audioMasterUpdateDisplay:
        case audioMasterBeginEdit:
        case audioMasterEndEdit:
        case audioMasterWillReplaceOrAccumulate:  // replace
        case audioMasterGetVendorVersion:
        case audioMasterGetAutomationState:  // off
        case audioMasterGetLanguage:         // English
            return 1;
        case audioMasterGetSampleRate:
            return static_cast<VstIntPtr>(sampleRate);
        case audioMasterGetBlockSize:
            return blockSize;
        case audioMasterGetCurrentProcessLevel:
            return processing_ ? 2 : 1;  // realtime while processing, else user
        case audioMasterGetVendorString:
        case audioMasterGetProductString:
        case audioMasterCanDo:
            return textAnswer(opcode, ptr);
        default:  // current id, idle, pin connected (0: connected), latencies, resizing
            return 0;
    }
}

bool parseNumber(const std::string& text, long& out) {
    if (text.empty()) return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* begin = text.c_str() + (hex ? 2 : 0);
    if (*begin == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(begin, &end, hex ? 16 : 10);
    if (*end != '\0' || errno == ERANGE || (!hex && text[0] == '+')) return false;
    out = v;
    return true;
}

bool parseValue(const std::string& text, double& out) {
    const auto slash = text.find('/');
    const std::string num = text.substr(0, slash);
    char* end = nullptr;
    if (num.empty()) return false;
    double v = std::strtod(num.c_str(), &end);
    if (*end != '\0') return false;
    if (slash != std::string::npos) {
        const std::string den = text.substr(slash + 1);
        if (den.empty()) return false;
        const double d = std::strtod(den.c_str(), &end);
        if (*end != '\0' || d == 0.0) return false;
        v /= d;
    }
    out = v;
    return true;
}

bool parseSchedule(const std::string& text, std::vector<ScheduledEvent>& out, std::string& error) {
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t comma = text.find(',', pos);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(pos, comma - pos);
        pos = comma + 1;
        if (item.empty()) {
            if (comma == text.size()) break;
            continue;
        }
        const std::size_t colon = item.find(':');
        if (colon == std::string::npos) {
            error = "event \"" + item + "\" has no FRAME: part";
            return false;
        }
        ScheduledEvent ev{};
        long frame = 0;
        if (!parseNumber(item.substr(0, colon), frame) || frame < 0) {
            error = "bad frame in \"" + item + "\"";
            return false;
        }
        ev.frame = frame;
        std::vector<long> bytes;
        std::string rest = item.substr(colon + 1);
        std::size_t p = 0;
        while (p < rest.size()) {
            while (p < rest.size() && rest[p] == ' ') ++p;
            std::size_t q = p;
            while (q < rest.size() && rest[q] != ' ') ++q;
            if (q > p) {
                long b = 0;
                if (!parseNumber(rest.substr(p, q - p), b) || b < 0 || b > 255) {
                    error = "bad byte \"" + rest.substr(p, q - p) + "\" in \"" + item + "\"";
                    return false;
                }
                bytes.push_back(b);
            }
            p = q;
        }
        if (bytes.empty() || bytes.size() > 3) {
            error = "\"" + item + "\" needs a status byte and at most two data bytes";
            return false;
        }
        for (std::size_t i = 0; i < bytes.size(); ++i)
            ev.bytes[i] = static_cast<std::uint8_t>(bytes[i]);
        out.push_back(ev);
        if (comma == text.size()) break;
    }
    std::stable_sort(out.begin(), out.end(), [](const ScheduledEvent& a, const ScheduledEvent& b) {
        return a.frame < b.frame;
    });
    return true;
}

std::string hexBytes(const std::uint8_t* bytes, int count) {
    std::string s;
    char b[4];
    for (int i = 0; i < count; ++i) {
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        if (i) s += ' ';
        s += b;
    }
    return s;
}

}  // namespace host
