#include "tools/host/midiplay.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <limits>
#include <stdexcept>

#include "engine/delayline.h"
#include "engine/parameters.h"

namespace host {

TempoMap::TempoMap(const midifile::TMidiData& data) {
    const int division = data.ppqn();
    if (division & 0x8000) {
        // SMPTE: frames per second in the high byte (negative), ticks per frame in the low.
        const int fps = -static_cast<signed char>(division >> 8);
        ticksPerSecond_ = (fps == 29 ? 29.97 : fps) * (division & 0xFF);
        if (ticksPerSecond_ <= 0) ticksPerSecond_ = 1;
        return;
    }
    ticksPerQuarter_ = division > 0 ? division : 1;
    std::vector<std::pair<long, long>> tempos;  // tick, microseconds per quarter
    for (int t = 0; t < data.trackCount(); ++t) {
        const midifile::TMidiTrackStream& track = *data.track(t);
        for (std::int32_t i = 0; i < track.eventCount(); ++i) {
            const midifile::TMidiEvent& e = *track.event(i);
            const std::uint8_t* b = track.eventBlock(e);
            if (e.status != 0xFF || !b) continue;
            if (e.dataLength() == 5 && b[0] == 0x58 && b[1] > 0 && b[2] < 16)
                signatures_.push_back({e.time(), b[1], 1 << b[2]});
            if (e.dataLength() != 4 || b[0] != 0x51) continue;
            const long us = (long{b[1]} << 16) | (long{b[2]} << 8) | b[3];
            if (us > 0) tempos.emplace_back(e.time(), us);
        }
    }
    std::stable_sort(signatures_.begin(), signatures_.end(),
                     [](const Signature& a, const Signature& b) { return a.tick < b.tick; });
    std::stable_sort(tempos.begin(), tempos.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    changes_.push_back({0, 0.0, 500000});
    for (const auto& [tick, us] : tempos) {
        const Change& last = changes_.back();
        const double at = last.seconds + static_cast<double>(tick - last.tick) *
                                             static_cast<double>(last.microsPerQuarter) /
                                             ticksPerQuarter_ / 1e6;
        if (tick == last.tick) changes_.pop_back();  // the later of two at one tick wins
        changes_.push_back({tick, at, us});
    }
}

double TempoMap::secondsAt(double tick) const {
    if (ticksPerQuarter_ == 0) return tick / ticksPerSecond_;
    auto it =
        std::upper_bound(changes_.begin(), changes_.end(), tick,
                         [](double t, const Change& c) { return t < static_cast<double>(c.tick); });
    const Change& c = *(it - 1);
    return c.seconds + (tick - static_cast<double>(c.tick)) *
                           static_cast<double>(c.microsPerQuarter) / ticksPerQuarter_ / 1e6;
}

double TempoMap::tickAt(double seconds) const {
    if (ticksPerQuarter_ == 0) return seconds * ticksPerSecond_;
    auto it = std::upper_bound(changes_.begin(), changes_.end(), seconds,
                               [](double s, const Change& c) { return s < c.seconds; });
    const Change& c = *(it - 1);
    return static_cast<double>(c.tick) +
           (seconds - c.seconds) * 1e6 * ticksPerQuarter_ / static_cast<double>(c.microsPerQuarter);
}

double TempoMap::bpmAt(double seconds) const {
    if (ticksPerQuarter_ == 0) return 0.0;
    auto it = std::upper_bound(changes_.begin(), changes_.end(), seconds,
                               [](double s, const Change& c) { return s < c.seconds; });
    return 60e6 / static_cast<double>((it - 1)->microsPerQuarter);
}

bool TempoMap::signatureAt(double seconds, VstInt32& numerator, VstInt32& denominator) const {
    // A small margin, so a signature at a block's first frame counts despite rounding.
    const double tick = tickAt(seconds) + 1e-6;
    auto it = std::upper_bound(
        signatures_.begin(), signatures_.end(), tick,
        [](double t, const Signature& s) { return t < static_cast<double>(s.tick); });
    if (it == signatures_.begin()) return false;
    numerator = (it - 1)->numerator;
    denominator = (it - 1)->denominator;
    return true;
}

namespace {
// The message an event carries as it would travel on a MIDI cable, when it is a short one:
// channel messages, system messages stored by their status alone, and F7 escapes that hold one
// short system message (as saved logs store song position, song select and time code).
bool shortMessage(const midifile::TMidiTrackStream& track, const midifile::TMidiEvent& e,
                  std::uint8_t (&bytes)[3]) {
    if (e.status >= 0x80 && e.status < 0xF0) {
        bytes[0] = e.status;
        bytes[1] = e.data[0];
        bytes[2] = midifile::channelDataBytes(e.status) == 2 ? e.data[1] : 0;
        return true;
    }
    if (e.status > 0xF0 && e.status < 0xFF && e.status != 0xF7) {
        bytes[0] = e.status;
        bytes[1] = bytes[2] = 0;
        return true;
    }
    const std::uint8_t* b = track.eventBlock(e);
    if (e.status != 0xF7 || !b || e.dataLength() < 1 || e.dataLength() > 3 || b[0] < 0xF0)
        return false;
    for (int i = 0; i < 3; ++i) bytes[i] = i < e.dataLength() ? b[i] : 0;
    return true;
}
}  // namespace

void TempoMap::report(VstHost& h, double seconds) const {
    if (const double bpm = bpmAt(seconds); bpm > 0) h.tempo = bpm;
    signatureAt(seconds, h.timeSigNumerator, h.timeSigDenominator);
}

std::vector<ScheduledEvent> scheduleFile(const midifile::TMidiData& data, const TempoMap& tempo,
                                         double sampleRate) {
    std::vector<ScheduledEvent> out;
    for (int t = 0; t < data.trackCount(); ++t) {
        const midifile::TMidiTrackStream& track = *data.track(t);
        // The SysEx whose F7 continuation packets still come (a track's reader lets nothing
        // else come between them).
        std::size_t open = SIZE_MAX;
        for (std::int32_t i = 0; i < track.eventCount(); ++i) {
            const midifile::TMidiEvent& e = *track.event(i);
            const std::uint8_t* block = track.eventBlock(e);
            if (open != SIZE_MAX && e.status == 0xF7) {
                // A divided SysEx travels whole, at the time of its first packet.
                std::vector<std::uint8_t>& bytes = out[open].sysex;
                if (block) bytes.insert(bytes.end(), block, block + e.dataLength());
                if (bytes.back() == 0xF7) open = SIZE_MAX;
                continue;
            }
            ScheduledEvent s{};
            if (e.status == 0xF0) {
                s.sysex.push_back(0xF0);
                if (block) s.sysex.insert(s.sysex.end(), block, block + e.dataLength());
                s.frame = std::lround(tempo.secondsAt(e.time()) * sampleRate);
                out.push_back(std::move(s));
                if (out.back().sysex.back() != 0xF7) open = out.size() - 1;
                continue;
            }
            if (!shortMessage(track, e, s.bytes)) continue;
            s.frame = std::lround(tempo.secondsAt(e.time()) * sampleRate);
            out.push_back(s);
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const ScheduledEvent& a, const ScheduledEvent& b) {
        return a.frame < b.frame;
    });
    return out;
}

namespace {

long blocksNeeded(long lastFrame, const VstHost& h) {
    return lastFrame < 0 ? 1 : lastFrame / h.blockSize + 2;
}

// printf into a message.
[[gnu::format(printf, 1, 2)]] std::string message(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace

void playSchedule(VstHost& h, const std::vector<ScheduledEvent>& schedule, long blocks,
                  const std::atomic<bool>* stop, const TempoMap* tempo, long tailFrames) {
    if (blocks < 0)
        blocks = blocksNeeded(schedule.empty() ? -1 : schedule.back().frame + tailFrames, h);
    std::size_t next = 0;
    std::vector<ScheduledEvent> due;
    for (long b = 0; b < blocks && !(stop && stop->load()); ++b) {
        if (tempo) tempo->report(h, static_cast<double>(h.framePosition()) / h.sampleRate);
        const long end = h.framePosition() + h.blockSize;
        due.clear();
        while (next < schedule.size() && schedule[next].frame < end)
            due.push_back(schedule[next++]);
        h.runBlock(due);
    }
}

void writeSentEvents(const VstHost& h, const midifile::TMidiData& input, const TempoMap& tempo,
                     const std::string& path) {
    struct Item {
        std::int32_t tick;
        bool meta;
        std::uint8_t bytes[3];
        const std::vector<std::uint8_t>* sysex = nullptr;
    };
    std::vector<Item> items;
    for (const TempoMap::Change& c : tempo.changes()) {
        if (c.tick == 0 && c.microsPerQuarter == 500000) continue;  // the default tempo
        const auto us = static_cast<std::uint32_t>(c.microsPerQuarter);
        items.push_back({static_cast<std::int32_t>(c.tick),
                         true,
                         {static_cast<std::uint8_t>(us >> 16), static_cast<std::uint8_t>(us >> 8),
                          static_cast<std::uint8_t>(us)}});
    }
    for (const SentEvent& s : h.sent) {
        // Channel and short system messages; a 3-byte event cannot carry sysex or meta data.
        // SysEx events as their own.
        const bool sysex = s.type == kVstSysExType && s.sysex.size() >= 2 && s.sysex[0] == 0xF0;
        if (!sysex &&
            (s.type != kVstMidiType || s.bytes[0] < 0x80 || midifile::ownsBlock(s.bytes[0])))
            continue;
        const double frame =
            static_cast<double>(std::max(0L, s.block)) * h.blockSize + s.deltaFrames;
        const double tick = std::round(tempo.tickAt(frame / h.sampleRate));
        if (tick > std::numeric_limits<std::int32_t>::max())
            throw std::range_error("an event at frame " + std::to_string(std::lround(frame)) +
                                   " lies beyond the 32-bit ticks of a MIDI file");
        items.push_back({static_cast<std::int32_t>(tick),
                         false,
                         {s.bytes[0], s.bytes[1], s.bytes[2]},
                         sysex ? &s.sysex : nullptr});
    }
    // In time order, tempo first at equal ticks, so every insert lands at the track's end.
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.meta && !b.meta;
    });

    midifile::TMidiData out;
    out.newFile();
    out.setFormat(items.size() > kSentEventsPerTrack ? 1 : 0);
    out.setPpqn(input.ppqn());
    const std::size_t tracks =
        std::max<std::size_t>(1, (items.size() + kSentEventsPerTrack - 1) / kSentEventsPerTrack);
    for (std::size_t t = 0; t < tracks; ++t) {
        out.addTrack(0);
        midifile::TMidiTrackStream& track = *out.track(static_cast<int>(t));
        track.setTrackName("corvella-host");
        const std::size_t end = std::min(items.size(), (t + 1) * kSentEventsPerTrack);
        for (std::size_t i = t * kSentEventsPerTrack; i < end; ++i) {
            const Item& it = items[i];
            if (it.meta) {
                track.insertMetaEvent(it.tick, 0x51, 3, it.bytes);
            } else if (it.sysex) {
                track.insertSysex(it.tick, it.sysex->data(), it.sysex->size());
            } else {
                const std::uint8_t event[5] = {it.bytes[0], it.bytes[1], it.bytes[2], 0, 0};
                track.insertEvent(it.tick, event, 0);
            }
        }
    }
    out.fileName = path;
    out.save();
}

void MidiFilePlayer::reportStart(VstHost& h) const {
    if (tempo_) tempo_->report(h, 0.0);
}

bool MidiFilePlayer::load(const std::string& path, std::string& error) {
    input_.fileName = path;
    try {
        input_.load();
    } catch (const std::exception& e) {
        error = path + ": " + e.what();
        return false;
    }
    tempo_ = std::make_unique<TempoMap>(input_);
    return true;
}

bool MidiFilePlayer::checkRun(const VstHost& h, const std::vector<ScheduledEvent>& extra,
                              long blocks, double maxSeconds, bool writing,
                              std::string& error) const {
    const TempoMap tempo(input_);
    if (blocks < 0) {
        // Seconds are measured without rounding to frames, so no length can overflow here.
        double last = -1.0;
        for (int t = 0; t < input_.trackCount(); ++t) {
            const midifile::TMidiTrackStream& track = *input_.track(t);
            for (std::int32_t i = 0; i < track.eventCount(); ++i) {
                const midifile::TMidiEvent& e = *track.event(i);
                if (e.status >= 0x80 && e.status < 0xF0)
                    last = std::max(last, tempo.secondsAt(e.time()));
            }
        }
        for (const ScheduledEvent& s : extra)
            last = std::max(last, static_cast<double>(s.frame) / h.sampleRate);
        const double lastFrame = last * h.sampleRate;
        if (last > maxSeconds) {
            error = message(
                "the input's last event lies %.0f s of audio away, beyond the limit "
                "of %g s (--max-length SECONDS changes it)",
                last, maxSeconds);
            return false;
        }
        if (lastFrame + 2.0 * h.blockSize > static_cast<double>(LONG_MAX)) {
            error = message(
                "the input's last event lies at frame %.0f, beyond the %ld frames "
                "this host can count",
                lastFrame, LONG_MAX);
            return false;
        }
        blocks = blocksNeeded(last < 0 ? -1 : std::lround(lastFrame), h);
    }
    const double endSeconds = static_cast<double>(blocks) * h.blockSize / h.sampleRate;
    const double endTick = tempo.tickAt(endSeconds);
    if (writing && endTick > std::numeric_limits<std::int32_t>::max()) {
        error = message(
            "--out: the run of %.3f s ends at tick %.0f at this file's tempo and "
            "division (0x%04X), beyond the 32-bit ticks of a MIDI file",
            endSeconds, endTick, static_cast<unsigned>(input_.ppqn()));
        return false;
    }
    return true;
}

long delayTailFrames(VstHost& h) {
    // A word is placed at most one frame per slot of the line past its input. The switch is
    // on from 0.5, as the plug-in reads it.
    const bool delayed = h.effect() && h.effect()->numParams > param::DelayOutput &&
                         h.getParameter(param::DelayOutput) >= 0.5f;
    return delayed ? DelayLine::kSlots : 0;
}

void MidiFilePlayer::play(VstHost& h, const std::vector<ScheduledEvent>& extra, long blocks,
                          const std::atomic<bool>* stop, long tailFrames) {
    if (!tempo_) tempo_ = std::make_unique<TempoMap>(input_);
    auto events = scheduleFile(input_, *tempo_, h.sampleRate);
    events.insert(events.end(), extra.begin(), extra.end());
    std::stable_sort(
        events.begin(), events.end(),
        [](const ScheduledEvent& a, const ScheduledEvent& b) { return a.frame < b.frame; });
    playSchedule(h, events, blocks, stop, tempo_.get(), tailFrames);
}

bool MidiFilePlayer::write(const VstHost& h, const std::string& path, std::string& error) {
    if (!tempo_) tempo_ = std::make_unique<TempoMap>(input_);
    try {
        writeSentEvents(h, input_, *tempo_, path);
    } catch (const std::exception& e) {
        error = path + ": " + e.what();
        return false;
    }
    return true;
}

}  // namespace host
