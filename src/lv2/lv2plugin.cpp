#include "lv2/lv2plugin.h"

#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/time/time.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <exception>

#include "host/options.h"
#include "lv2/portmap.h"
#include "platform/notice.h"
#include "platform/settings.h"

namespace {

const void* feature(const LV2_Feature* const* features, const char* uri) noexcept {
    for (; features && *features; ++features)
        if (std::strcmp((*features)->URI, uri) == 0) return (*features)->data;
    return nullptr;
}

// A number of any of the atom number types (float, double, int, long), read only when its
// body is there.
bool numberOf(const LV2_Atom* a, LV2_URID f, LV2_URID d, LV2_URID i, LV2_URID l,
              double& out) noexcept {
    if (!a) return false;
    if (a->type == f && a->size >= sizeof(float))
        out = reinterpret_cast<const LV2_Atom_Float*>(a)->body;
    else if (a->type == d && a->size >= sizeof(double))
        out = reinterpret_cast<const LV2_Atom_Double*>(a)->body;
    else if (a->type == i && a->size >= sizeof(std::int32_t))
        out = reinterpret_cast<const LV2_Atom_Int*>(a)->body;
    else if (a->type == l && a->size >= sizeof(std::int64_t))
        out = static_cast<double>(reinterpret_cast<const LV2_Atom_Long*>(a)->body);
    else
        return false;
    return true;
}

// The bytes a message of each status carries (3 for anything unknown, as the word holds).
constexpr std::array<std::uint8_t, 256> kMessageLength = [] {
    std::array<std::uint8_t, 256> length{};
    for (unsigned status = 0; status < 256; ++status) {
        std::uint8_t n = 3;
        if ((status & 0xF0u) == 0xC0 || (status & 0xF0u) == 0xD0) n = 2;
        if (status == 0xF1 || status == 0xF3) n = 2;
        if (status == 0xF6 || status >= 0xF8) n = 1;
        length[status] = n;
    }
    return length;
}();

// The bytes of a message of 1 to 3 bytes that count, from its first four (its padding). Read
// as one little-endian word they are the packed word.
static_assert(std::endian::native == std::endian::little);
constexpr std::array<std::uint32_t, 4> kBytesMask = {0u, 0xFFu, 0xFFFFu, 0xFFFFFFu};

// "Pass and log system exclusive", stored where the VST 2 plug-in keeps it; off when missing
// or unreadable.
bool sysexOption() noexcept {
    try {
        if (auto v = platform::userSettings().readDword(kOptionsKey, kOptionSysEx)) return *v != 0;
    } catch (...) {
    }
    return false;
}

}  // namespace

Lv2Plugin* Lv2Plugin::create(double rate, const LV2_Feature* const* features) {
    auto* map = static_cast<LV2_URID_Map*>(const_cast<void*>(feature(features, LV2_URID__map)));
    auto* schedule = static_cast<LV2_Worker_Schedule*>(
        const_cast<void*>(feature(features, LV2_WORKER__schedule)));
    if (!map || !schedule) return nullptr;
    try {
        return new Lv2Plugin(rate, map, schedule);
    } catch (const std::exception&) {
        return nullptr;
    }
}

Lv2Plugin::Lv2Plugin(double rate, LV2_URID_Map* map, LV2_Worker_Schedule* schedule)
    : schedule_(schedule) {
    auto id = [map](const char* uri) { return map->map(map->handle, uri); };
    u_ = {id(LV2_MIDI__MidiEvent),   id(LV2_ATOM__Sequence),  id(LV2_ATOM__Object),
          id(LV2_ATOM__Blank),       id(LV2_TIME__Position),  id(LV2_TIME__beatsPerMinute),
          id(LV2_TIME__beatsPerBar), id(LV2_TIME__beatUnit),  id(LV2_ATOM__Float),
          id(LV2_ATOM__Double),      id(LV2_ATOM__Int),       id(LV2_ATOM__Long),
          id(LV2_ATOM__String),      id(lv2ui::kLogFile),     id(lv2ui::kTrackName),
          id(LV2_ATOM__Path),        id(LV2_ATOM__URID),      id(LV2_PATCH__Set),
          id(LV2_PATCH__Get),        id(LV2_PATCH__property), id(LV2_PATCH__value),
          id(lv2ui::kLogFrom),       id(lv2ui::kSaveLog),     id(lv2ui::kClearLog),
          id(lv2ui::kInfo),          id(lv2ui::kLogLine),     id(lv2ui::kTempo),
          id(lv2ui::kTimeSignature), id(lv2ui::kSaved),       id(lv2ui::kNotice),
          id(lv2ui::kSequence),      id(lv2ui::kText),        id(lv2ui::kSampleRate),
          id(LV2_TIME__bar),         id(LV2_TIME__barBeat),   id(LV2_TIME__speed)};
    lv2_atom_forge_init(&forge_, map);
    midiHeader_ = std::uint64_t{u_.midiEvent} << 32;
    for (std::size_t i = 0; i < kNumParams; ++i) controls_[i] = &seen_[i];
    devices_.setInputHandler(&Lv2Plugin::deviceInputProc, this);
    if (sysexOption()) {
        engine_.enableSysex();
        devices_.enableSysex(&Lv2Plugin::deviceSysexProc, this);
    }
    bus_ = std::make_unique<vstbus::TVstBus>();
    engine_.setSampleRate(static_cast<float>(rate));
    rate_ = rate;
    // Words leave at their frames in any case; the per-user option of the VST 2 plug-in makes
    // the delay count from each word's own frame here too.
    try {
        if (auto v = platform::userSettings().readDword(kOptionsKey, kOptionSampleAccurate))
            engine_.setSampleAccurate(*v != 0);
    } catch (...) {
        // An unreadable store leaves the option off.
    }
    // The parameters start at their defaults, as the Turtle gives them to the host; the knobs'
    // first words wait for the first run.
    for (int i = 0; i < kNumParams; ++i) {
        const float v = kParameters[static_cast<std::size_t>(i)].defaultValue;
        seen_[static_cast<std::size_t>(i)] = lv2port::portValue(i, v);
        values_[static_cast<std::size_t>(i)].store(v, std::memory_order_relaxed);
        engine_.setParameter(
            i, kParameters[static_cast<std::size_t>(i)].encoding == Encoding::OneShot ? 0.0f : v);
    }
}

Lv2Plugin::~Lv2Plugin() {
    // Nothing may arrive from the input device while the rest is taken down.
    devices_.close();
    busFlags_.leave(*bus_);
}

void Lv2Plugin::connect(std::uint32_t port, void* data) noexcept {
    if (port < static_cast<std::uint32_t>(kNumParams)) {
        // An unconnected port reads as its last reading: it never changes.
        controls_[port] = data ? static_cast<const float*>(data) : &seen_[port];
    } else if (port == kMidiInPort) {
        in_ = static_cast<const LV2_Atom_Sequence*>(data);
    } else if (port == kMidiOutPort) {
        out_ = static_cast<LV2_Atom_Sequence*>(data);
    } else if (port == kNotifyPort) {
        notify_ = static_cast<LV2_Atom_Sequence*>(data);
    }
}

// --- Processing ----------------------------------------------------------------------------------

void Lv2Plugin::schedule(Job job) noexcept {
    schedule_->schedule_work(schedule_->handle, sizeof job, &job);
}

// A changed port reaches the engine before this run's messages. One-shots act on their rising
// edge only and the engine never sees them held, so a host that leaves "clear log!" at 1 does
// not keep the log shut.
void Lv2Plugin::readControls(bool now) noexcept {
    // Readings compare as bit patterns, so a NaN counts once, not on every run. Most runs
    // change nothing: one pass without branches finds that.
    const auto bits = [](float f) { return std::bit_cast<std::uint32_t>(f); };
    std::uint32_t changed = 0;
    for (std::size_t i = 0; i < kNumParams; ++i) changed |= bits(*controls_[i]) ^ bits(seen_[i]);
    if (changed == 0) return;
    for (int i = 0; i < kNumParams; ++i) {
        const float* port = controls_[static_cast<std::size_t>(i)];
        if (bits(*port) == bits(seen_[static_cast<std::size_t>(i)])) continue;
        const float before = lv2port::parameterValue(i, seen_[static_cast<std::size_t>(i)]);
        seen_[static_cast<std::size_t>(i)] = *port;
        const float v = lv2port::parameterValue(i, *port);
        values_[static_cast<std::size_t>(i)].store(v, std::memory_order_relaxed);
        if (kParameters[static_cast<std::size_t>(i)].encoding == Encoding::OneShot) {
            if (!now && switchOn(i, v) && !switchOn(i, before))
                schedule({i == param::ClearLog ? Job::ClearLog : Job::SaveLog, i, v});
            continue;
        }
        engine_.setParameter(i, v);
        devices_.wish(i, v);
        if (!needsStep(i)) continue;
        if (now) {
            applyStep(i, v);
        } else {
            schedule({Job::Apply, i, v});
        }
    }
}

bool Lv2Plugin::needsStep(int index) noexcept {
    switch (kParameters[static_cast<std::size_t>(index)].apply) {
        case ApplyStep::ReceiveBus:
        case ApplyStep::SendBus:
            return true;
        default:
            return false;
    }
}

void Lv2Plugin::activate() noexcept {
    readControls(true);
    for (int i = 0; i < kNumParams; ++i) {
        if (kParameters[static_cast<std::size_t>(i)].encoding == Encoding::OneShot) continue;
        const float v = lv2port::parameterValue(i, seen_[static_cast<std::size_t>(i)]);
        engine_.setParameter(i, v);
        devices_.wish(i, v);
        if (needsStep(i)) applyStep(i, v);
    }
}

void Lv2Plugin::readPosition(const LV2_Atom_Object* obj) noexcept {
    if (obj->body.otype != u_.position) return;
    const LV2_Atom *bpm = nullptr, *bar = nullptr, *unit = nullptr;
    lv2ui::findValues(obj, {{u_.bpm, &bpm}, {u_.beatsPerBar, &bar}, {u_.beatUnit, &unit}});
    // Values a time signature or tempo cannot have (not a number, out of range) are ignored.
    double tempo = 0, numerator = 0, denominator = 0;
    if (numberOf(bpm, u_.atomFloat, u_.atomDouble, u_.atomInt, u_.atomLong, tempo) && tempo > 0.0 &&
        tempo < 1e6)
        time_.tempo = tempo;
    if (numberOf(bar, u_.atomFloat, u_.atomDouble, u_.atomInt, u_.atomLong, numerator) &&
        numerator >= 1.0 && numerator <= 255.0)
        time_.numerator = static_cast<int>(numerator);
    if (numberOf(unit, u_.atomFloat, u_.atomDouble, u_.atomInt, u_.atomLong, denominator) &&
        denominator >= 1.0 && denominator <= 255.0)
        time_.denominator = static_cast<int>(denominator);
    readBarPosition(obj);
    timeValid_ = time_.tempo > 0.0;
}

// time:bar and time:barBeat as quarter notes, for the log's bar.beat.tick; time:speed says
// whether the position moves on between positions.
void Lv2Plugin::readBarPosition(const LV2_Atom_Object* obj) noexcept {
    const LV2_Atom *bar = nullptr, *beat = nullptr, *speed = nullptr;
    lv2ui::findValues(obj, {{u_.bar, &bar}, {u_.barBeat, &beat}, {u_.speed, &speed}});
    double v = 0;
    if (numberOf(speed, u_.atomFloat, u_.atomDouble, u_.atomInt, u_.atomLong, v)) speed_ = v;
    double barIndex = 0, barBeat = 0;
    if (!numberOf(bar, u_.atomFloat, u_.atomDouble, u_.atomInt, u_.atomLong, barIndex) ||
        !numberOf(beat, u_.atomFloat, u_.atomDouble, u_.atomInt, u_.atomLong, barBeat) ||
        !(barIndex >= 0.0 && barIndex < 1e9 && barBeat >= 0.0 && barBeat < 256.0) ||
        time_.numerator < 1 || time_.denominator < 1) {
        time_.hasPpq = time_.hasBar = false;
        return;
    }
    const double quartersPerBeat = 4.0 / time_.denominator;
    time_.barStart = barIndex * time_.numerator * quartersPerBeat;
    time_.ppq = time_.barStart + barBeat * quartersPerBeat;
    time_.hasPpq = time_.hasBar = true;
}

// The position at the next run: on by the run's frames at the tempo and speed, into the next
// bar when it passes the bar's end.
void Lv2Plugin::advancePosition(std::uint32_t frames) noexcept {
    if (!time_.hasPpq || !(rate_ > 0.0)) return;
    time_.ppq += frames * speed_ * time_.tempo / (60.0 * rate_);
    const double barLength = time_.numerator * 4.0 / time_.denominator;
    if (time_.ppq >= time_.barStart + barLength)
        time_.barStart += std::floor((time_.ppq - time_.barStart) / barLength) * barLength;
}

// Host events run as one call of their own, then the block (the delay line, the receive bus
// and the clock), in the order a VST 2 host calls processEvents and then process.
void Lv2Plugin::run(std::uint32_t frames) noexcept {
    // A block of no frames leaves the frames as the engine gives them.
    frames_.restart(frames > 0 ? std::int64_t{frames} - 1 : INT64_MAX);
    outNext_ = outEnd_ = nullptr;
    if (out_) {
        // The host offers atom.size bytes of body: the sequence's own header, then the events.
        const std::uint32_t capacity = out_->atom.size;
        outNext_ = reinterpret_cast<std::uint8_t*>(out_ + 1);
        outEnd_ = outNext_ + (capacity > sizeof(LV2_Atom_Sequence_Body)
                                  ? capacity - sizeof(LV2_Atom_Sequence_Body)
                                  : 0);
        out_->body.unit = 0;
        out_->body.pad = 0;
    }
    readControls();
    if (storageWanted_.load(std::memory_order_relaxed) && storageWanted_.exchange(false))
        schedule({Job::Storage, 0, 0.0f});
    engine_.beginCall();
    const float receive = lv2port::parameterValue(
        param::ReceiveFromHost, seen_[static_cast<std::size_t>(param::ReceiveFromHost)]);
    const bool receiving = switchOn(param::ReceiveFromHost, receive);
    // One pass: a position counts for the messages after it (hosts send it at frame 0). Each
    // event is read whole before the engine runs, so the walk to the next one does not wait
    // for the engine. The input comes from outside: an event is read only when its header and
    // its body lie within the sequence. One that claims more than is left ends the walk, since
    // where the next one begins is not known then.
    if (in_) {
        const auto* body = reinterpret_cast<const std::uint8_t*>(&in_->body);
        const std::uint64_t size = in_->atom.size;
        const LV2_URID midiEvent = u_.midiEvent;
        for (std::uint64_t at = sizeof(LV2_Atom_Sequence_Body);
             at <= size && size - at >= sizeof(LV2_Atom_Event);) {
            const auto* ev = reinterpret_cast<const LV2_Atom_Event*>(body + at);
            const std::uint32_t type = ev->body.type;
            const std::uint32_t n = ev->body.size;
            const std::uint64_t room = size - at - sizeof(LV2_Atom_Event);
            if (n > room) break;
            at += sizeof(LV2_Atom_Event) + ((std::uint64_t{n} + 7) & ~std::uint64_t{7});
            if (type == midiEvent) {
                if (receiving && n - 1 < 3) {
                    // A body is padded to 8 bytes, so the first four can be read at once unless
                    // the sequence ends unpadded right after it; the packed word keeps status,
                    // data1 and data2 in that order.
                    std::uint32_t bytes = 0;
                    if (room >= sizeof bytes) [[likely]]
                        std::memcpy(&bytes, ev + 1, sizeof bytes);
                    else
                        std::memcpy(&bytes, ev + 1, n);
                    engine_.hostInput(bytes & kBytesMask[n], static_cast<int>(ev->time.frames));
                } else if (receiving && n > 3 && engine_.sysexEnabled()) {
                    // A SysEx (skipped unless the option was on at instantiation).
                    engine_.hostSysex(reinterpret_cast<const std::uint8_t*>(ev + 1), n,
                                      static_cast<int>(ev->time.frames));
                }
            } else if ((type == u_.object || type == u_.blank) &&
                       n >= sizeof(LV2_Atom_Object_Body)) {
                const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&ev->body);
                if (object->body.otype == u_.position) {
                    readPosition(object);
                } else {
                    readMessage(object);
                }
            }
        }
    }
    engine_.endCall();
    engine_.processBlock(static_cast<int>(frames));
    if (namesRestored_.load(std::memory_order_relaxed) &&
        namesRestored_.exchange(false, std::memory_order_acquire))
        schedule({Job::ReportNames, 0, 0.0f});
    if (notify_) writeNotify();
    advancePosition(frames);
    if (out_) {
        out_->atom.type = u_.sequence;
        out_->atom.size =
            static_cast<std::uint32_t>(sizeof(LV2_Atom_Sequence_Body) +
                                       (outNext_ - reinterpret_cast<std::uint8_t*>(out_ + 1)));
    }
}

// Each word goes out at the frame the engine produced it, kept within the block and never
// before a word already written (a sequence runs forward in time): words the receive bus
// brings at the block's start after host input leave at that input's frame.
void Lv2Plugin::hostOutput(MidiWord word, int frame) noexcept {
    // Each event takes 16 bytes of header and 3 of message, padded to 24; the sequence's size
    // is set once at the end of the run.
    constexpr std::ptrdiff_t kEventBytes = 24;
    std::uint8_t* const e = outNext_;
    if (outEnd_ - e < kEventBytes) return;
    const std::int64_t at = frames_.at(frame);
    // The frame, then the atom header (size, then type) as one word, then the packed word's
    // status, data1, data2 in its low bytes with the padding zero.
    const std::uint64_t header = midiHeader_ | kMessageLength[wordStatus(word)];
    const std::uint64_t payload = word & 0xFFFFFFu;
    static_assert(sizeof(LV2_Atom_Event) == 2 * sizeof header);
    std::memcpy(e, &at, sizeof at);
    std::memcpy(e + sizeof at, &header, sizeof header);
    std::memcpy(e + sizeof(LV2_Atom_Event), &payload, sizeof payload);
    outNext_ = e + kEventBytes;
}

EnginePorts::HostOutputEntry Lv2Plugin::hostOutputEntry() noexcept {
    return [](EnginePorts& ports, MidiWord word, int frame) noexcept {
        static_cast<Lv2Plugin&>(ports).Lv2Plugin::hostOutput(word, frame);
    };
}

// A SysEx goes out the same way, its event padded to 8 bytes; dropped when it does not fit.
void Lv2Plugin::hostSysexOutput(const std::uint8_t* data, std::size_t size, int frame) noexcept {
    const std::ptrdiff_t bytes =
        static_cast<std::ptrdiff_t>(sizeof(LV2_Atom_Event) + ((size + 7) & ~std::size_t{7}));
    std::uint8_t* const e = outNext_;
    if (outEnd_ - e < bytes) return;
    const std::int64_t at = frames_.at(frame);
    const std::uint64_t header = midiHeader_ | static_cast<std::uint32_t>(size);
    std::memcpy(e, &at, sizeof at);
    std::memcpy(e + sizeof at, &header, sizeof header);
    std::memcpy(e + sizeof(LV2_Atom_Event), data, size);
    std::memset(e + sizeof(LV2_Atom_Event) + size, 0,
                static_cast<std::size_t>(bytes) - sizeof(LV2_Atom_Event) - size);
    outNext_ = e + bytes;
}

void Lv2Plugin::deviceSysexOutput(const std::uint8_t* data, std::size_t size) noexcept {
    devices_.sendSysex(data, size);
}

void Lv2Plugin::deviceSysexProc(void* self, const std::uint8_t* data, std::size_t size) noexcept {
    static_cast<Lv2Plugin*>(self)->engine_.deviceSysexInput(data, size);
}

bool Lv2Plugin::hostTime(HostTime& time) noexcept {
    if (!timeValid_) return false;
    time = time_;
    return true;
}

int Lv2Plugin::busTake(int bus, MidiWord* words, int capacity) noexcept {
    return bus_->take(bus, words, capacity);
}

void Lv2Plugin::busWrite(int bus, MidiWord word) noexcept {
    bus_->write(bus, word);
}

void Lv2Plugin::deviceOutput(MidiWord word) noexcept {
    devices_.send(word);
}

// A sound stream on the receive bus switches bus reading off until the port changes again.
void Lv2Plugin::notice(EngineNotice which) noexcept {
    if (which == EngineNotice::SoundStream) engine_.setParameter(param::GetFromBus, 0.0f);
    schedule({Job::Notice, 0, static_cast<float>(which)});
}

void Lv2Plugin::storageWanted() noexcept {
    // Another thread than the processing one (activate) may allocate: made at once.
    if (!engine_.onProcessingThread()) {
        engine_.prepareStorage();
        return;
    }
    storageWanted_.store(true, std::memory_order_release);
}

void Lv2Plugin::deviceInputProc(void* self, std::uint32_t word) noexcept {
    static_cast<Lv2Plugin*>(self)->engine_.deviceInput(word);
}

// --- Worker --------------------------------------------------------------------------------------

LV2_Worker_Status Lv2Plugin::work(LV2_Worker_Respond_Function respond,
                                  LV2_Worker_Respond_Handle handle, std::uint32_t size,
                                  const void* data) noexcept {
    if (size < sizeof(Job) || size > sizeof(Job) + lv2ui::kMaxText) return LV2_WORKER_ERR_UNKNOWN;
    Job job;
    std::memcpy(&job, data, sizeof job);
    try {
        switch (job.kind) {
            case Job::Apply:
                applyStep(job.index, job.value, respond, handle);
                break;
            case Job::ClearLog:
                engine_.clearLog();
                break;
            case Job::Storage:
                engine_.prepareStorage();
                break;
            case Job::SaveLog:
                saveLog(respond, handle);
                break;
            case Job::Notice: {
                const host::NoticeText notice =
                    host::noticeOf(static_cast<EngineNotice>(job.value));
                showNotice(respond, handle, notice.kind, notice.text);
                break;
            }
            case Job::SetLogFile:
            case Job::SetTrackName: {
                const std::string text(static_cast<const char*>(data) + sizeof job,
                                       size - sizeof job);
                job.kind == Job::SetLogFile ? logFile_.setPath(text) : logFile_.setTrackName(text);
                respondReport(respond, handle,
                              job.kind == Job::SetLogFile ? Report::LogFile : Report::TrackName,
                              text);
                break;
            }
            case Job::ReportNames: {
                respondReport(respond, handle, Report::LogFile, logFile_.path());
                respondReport(respond, handle, Report::TrackName, logFile_.trackName());
                break;
            }
        }
    } catch (...) {
        return LV2_WORKER_ERR_UNKNOWN;
    }
    return LV2_WORKER_SUCCESS;
}

void Lv2Plugin::respondReport(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                              Report::Kind kind, const std::string& text) noexcept {
    if (!respond) return;
    Report report;
    report.kind = kind;
    report.length = static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), lv2ui::kMaxText));
    std::memcpy(report.text, text.data(), report.length);
    respond(handle, static_cast<std::uint32_t>(offsetof(Report, text) + report.length), &report);
}

// A notice as the editor's log shows the notices of its own process.
void Lv2Plugin::showNotice(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                           platform::NoticeKind kind, const char* text) noexcept {
    std::size_t heldBack = 0;
    if (!notices_.admit(text, heldBack)) return;
    platform::showNotice(text, "Corvella", kind, heldBack);
    try {
        const char* kindText = kind == platform::NoticeKind::Error ? "error" : "warning";
        respondReport(respond, handle, Report::Notice,
                      std::string("Corvella ") + kindText + ": " +
                          platform::shownText({text, "Corvella", kind, heldBack}));
    } catch (...) {
        // Without memory the notice reaches the host's notice only.
    }
}

LV2_Worker_Status Lv2Plugin::workResponse(std::uint32_t size, const void* data) noexcept {
    if (size < offsetof(Report, text) || size > sizeof(Report)) return LV2_WORKER_ERR_UNKNOWN;
    // A full ring drops the newest report: the editor asks again when it opens.
    if (reportCount_ == kReports) return LV2_WORKER_ERR_NO_SPACE;
    Report& r = reports_[(reportFirst_ + reportCount_) % kReports];
    std::memcpy(&r, data, size);
    r.length = std::min<std::uint32_t>(r.length,
                                       static_cast<std::uint32_t>(size - offsetof(Report, text)));
    ++reportCount_;
    return LV2_WORKER_SUCCESS;
}

// The bus flags, as the values of the control ports last set them.
void Lv2Plugin::applyStep(int index, float /*v*/, LV2_Worker_Respond_Function respond,
                          LV2_Worker_Respond_Handle handle) noexcept {
    const bool send = kParameters[static_cast<std::size_t>(index)].apply == ApplyStep::SendBus;
    if (busFlags_.apply(*bus_, send, values_)) {
        const host::NoticeText notice = host::noticeOf(EngineNotice::FeedbackLoop);
        showNotice(respond, handle, notice.kind, notice.text);
    }
}

bool Lv2Plugin::saveLog(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle) {
    if (!logFile_.hasPath()) return false;
    const std::string failure = logFile_.save(engine_.recording());
    if (!failure.empty()) {
        showNotice(respond, handle, platform::NoticeKind::Error, failure.c_str());
        return false;
    }
    respondReport(respond, handle, Report::Saved, logFile_.path());
    return true;
}

// --- State ---------------------------------------------------------------------------------------

LV2_State_Status Lv2Plugin::save(LV2_State_Store_Function store, LV2_State_Handle handle) noexcept {
    const std::uint32_t flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
    try {
        const std::string path = logFile_.path(), name = logFile_.trackName();
        store(handle, u_.logFile, path.c_str(), path.size() + 1, u_.atomString, flags);
        store(handle, u_.trackName, name.c_str(), name.size() + 1, u_.atomString, flags);
    } catch (...) {
        return LV2_STATE_ERR_UNKNOWN;
    }
    return LV2_STATE_SUCCESS;
}

LV2_State_Status Lv2Plugin::restore(LV2_State_Retrieve_Function retrieve,
                                    LV2_State_Handle handle) noexcept {
    // A name the state does not hold stays as it is.
    auto text = [&](LV2_URID key, void (host::LogFile::*set)(const std::string&)) {
        std::size_t size = 0;
        std::uint32_t type = 0, flags = 0;
        const void* value = retrieve(handle, key, &size, &type, &flags);
        if (!value || type != u_.atomString) return;
        const char* s = static_cast<const char*>(value);
        (logFile_.*set)(std::string(s, strnlen(s, size)));
    };
    try {
        text(u_.logFile, &host::LogFile::setPath);
        text(u_.trackName, &host::LogFile::setTrackName);
    } catch (...) {
        return LV2_STATE_ERR_UNKNOWN;
    }
    namesRestored_.store(true, std::memory_order_release);
    return LV2_STATE_SUCCESS;
}

// --- The editor's messages
// -------------------------------------------------------------------------

void Lv2Plugin::readMessage(const LV2_Atom_Object* message) noexcept {
    const LV2_URID otype = message->body.otype;
    if (otype == u_.patchSet) {
        const LV2_Atom *property = nullptr, *value = nullptr;
        lv2ui::findValues(message, {{u_.patchProperty, &property}, {u_.patchValue, &value}});
        if (!lv2ui::hasBody(property, sizeof(LV2_URID)) || property->type != u_.atomUrid || !value)
            return;
        const LV2_URID key = reinterpret_cast<const LV2_Atom_URID*>(property)->body;
        if ((key != u_.logFile && key != u_.trackName) ||
            (value->type != u_.atomPath && value->type != u_.atomString))
            return;
        // The text without its terminator; longer texts than any path are refused.
        const char* text = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
        const std::size_t length = strnlen(text, value->size);
        if (length > lv2ui::kMaxText) return;
        std::array<std::uint8_t, sizeof(Job) + lv2ui::kMaxText> bytes;
        const Job job{key == u_.logFile ? Job::SetLogFile : Job::SetTrackName, 0, 0.0f};
        std::memcpy(bytes.data(), &job, sizeof job);
        std::memcpy(bytes.data() + sizeof job, text, length);
        schedule_->schedule_work(schedule_->handle, static_cast<std::uint32_t>(sizeof job + length),
                                 bytes.data());
    } else if (otype == u_.patchGet) {
        infoWanted_ = true;
        schedule({Job::ReportNames, 0, 0.0f});
    } else if (otype == u_.logFrom) {
        const LV2_Atom* sequence = nullptr;
        lv2ui::findValues(message, {{u_.sequenceKey, &sequence}});
        if (!lv2ui::hasBody(sequence, sizeof(std::int64_t)) || sequence->type != u_.atomLong)
            return;
        const std::int64_t from = reinterpret_cast<const LV2_Atom_Long*>(sequence)->body;
        if (from >= 0) {
            uiSeq_ = static_cast<std::uint64_t>(from);
        } else {
            // The newest -from lines (computed unsigned: any negative number is taken).
            const std::uint64_t newest = 0 - static_cast<std::uint64_t>(from);
            const std::uint64_t appended = engine_.logLines().appended();
            uiSeq_ = appended > newest ? appended - newest : 0;
        }
        uiActive_ = true;
    } else if (otype == u_.saveLog) {
        schedule({Job::SaveLog, param::SaveLog, 1.0f});
    } else if (otype == u_.clearLog) {
        // The editor has emptied its view: the lines logged so far are not sent any more.
        uiSeq_ = engine_.logLines().appended();
        schedule({Job::ClearLog, param::ClearLog, 1.0f});
    }
}

bool Lv2Plugin::notifyRoom(std::uint32_t bytes) const noexcept {
    return forge_.offset + bytes <= forge_.size;
}

void Lv2Plugin::forgeText(LV2_URID otype, const char* text, std::uint32_t length) noexcept {
    LV2_Atom_Forge_Frame frame;
    lv2_atom_forge_frame_time(&forge_, 0);
    lv2_atom_forge_object(&forge_, &frame, 0, otype);
    lv2_atom_forge_key(&forge_, u_.text);
    lv2_atom_forge_string(&forge_, text, length);
    lv2_atom_forge_pop(&forge_, &frame);
}

void Lv2Plugin::forgeName(LV2_URID property, LV2_URID type, const char* text,
                          std::uint32_t length) noexcept {
    LV2_Atom_Forge_Frame frame;
    lv2_atom_forge_frame_time(&forge_, 0);
    lv2_atom_forge_object(&forge_, &frame, 0, u_.patchSet);
    lv2_atom_forge_key(&forge_, u_.patchProperty);
    lv2_atom_forge_urid(&forge_, property);
    lv2_atom_forge_key(&forge_, u_.patchValue);
    lv2_atom_forge_typed_string(&forge_, type, text, length);
    lv2_atom_forge_pop(&forge_, &frame);
}

// Every message is checked for room before it is written, so the output holds only whole
// messages; what does not fit waits for the next run (the log lines up to a bound per run).
void Lv2Plugin::writeNotify() noexcept {
    // Room for a message's event and object headers and its keys beside its text.
    constexpr std::uint32_t kOverhead = 96;
    constexpr int kLinesPerRun = 32;
    const std::uint32_t capacity = notify_->atom.size;
    lv2_atom_forge_set_buffer(&forge_, reinterpret_cast<std::uint8_t*>(notify_), capacity);
    if (!notifyRoom(sizeof(LV2_Atom_Sequence))) {
        notify_->atom.type = u_.sequence;
        notify_->atom.size = 0;
        return;
    }
    lv2_atom_forge_sequence_head(&forge_, &notifyFrame_, 0);
    for (; reportCount_ > 0; --reportCount_, reportFirst_ = (reportFirst_ + 1) % kReports) {
        const Report& r = reports_[reportFirst_];
        if (!notifyRoom(kOverhead + r.length)) break;
        switch (r.kind) {
            case Report::LogFile:
                forgeName(u_.logFile, u_.atomPath, r.text, r.length);
                break;
            case Report::TrackName:
                forgeName(u_.trackName, u_.atomString, r.text, r.length);
                break;
            case Report::Saved:
                forgeText(u_.saved, r.text, r.length);
                break;
            case Report::Notice:
                forgeText(u_.notice, r.text, r.length);
                break;
        }
    }
    if (infoWanted_ && notifyRoom(kOverhead)) {
        infoWanted_ = false;
        LV2_Atom_Forge_Frame frame;
        lv2_atom_forge_frame_time(&forge_, 0);
        lv2_atom_forge_object(&forge_, &frame, 0, u_.info);
        lv2_atom_forge_key(&forge_, u_.sampleRate);
        lv2_atom_forge_float(&forge_, static_cast<float>(rate_));
        lv2_atom_forge_pop(&forge_, &frame);
    }
    if (uiActive_) {
        const LogLines& lines = engine_.logLines();
        std::array<char, LogLines::kLineLength> text;
        for (int n = 0; n < kLinesPerRun && notifyRoom(kOverhead + LogLines::kLineLength); ++n) {
            std::uint64_t seq = uiSeq_;
            const long length = lines.copyLine(seq, text.data());
            if (length < 0) break;
            LV2_Atom_Forge_Frame frame;
            lv2_atom_forge_frame_time(&forge_, 0);
            lv2_atom_forge_object(&forge_, &frame, 0, u_.logLine);
            lv2_atom_forge_key(&forge_, u_.sequenceKey);
            lv2_atom_forge_long(&forge_, static_cast<std::int64_t>(seq));
            lv2_atom_forge_key(&forge_, u_.text);
            lv2_atom_forge_string(&forge_, text.data(), static_cast<std::uint32_t>(length));
            lv2_atom_forge_pop(&forge_, &frame);
            uiSeq_ = seq + 1;
        }
        // The host's time signature and tempo, when the engine logged new ones.
        if (timeValid_ && notifyRoom(2 * kOverhead)) {
            LV2_Atom_Forge_Frame frame;
            if (engine_.takeTimeSigWritten()) {
                lv2_atom_forge_frame_time(&forge_, 0);
                lv2_atom_forge_object(&forge_, &frame, 0, u_.timeSignature);
                lv2_atom_forge_key(&forge_, u_.beatsPerBar);
                lv2_atom_forge_int(&forge_, time_.numerator);
                lv2_atom_forge_key(&forge_, u_.beatUnit);
                lv2_atom_forge_int(&forge_, time_.denominator);
                lv2_atom_forge_pop(&forge_, &frame);
            }
            if (engine_.takeTempoWritten()) {
                lv2_atom_forge_frame_time(&forge_, 0);
                lv2_atom_forge_object(&forge_, &frame, 0, u_.tempo);
                lv2_atom_forge_key(&forge_, u_.bpm);
                lv2_atom_forge_double(&forge_, time_.tempo);
                lv2_atom_forge_pop(&forge_, &frame);
            }
        }
    }
    lv2_atom_forge_pop(&forge_, &notifyFrame_);
}
