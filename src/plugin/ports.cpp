// The host's processing entries, and the ports through which the engine reaches the host, the
// buses, the MIDI output device and the user (all on the processing thread).
#include "plugin/plugin.h"

// --- Host entries ------------------------------------------------------------------------------

VstInt32 APlugin::processEvents(VstEvents* events) {
    // The events belong to the block the next process call brings, whose size is not known
    // yet: the host's largest block bounds their frames.
    frames_.restart(blockSize - 1);
    eventsBeforeBlock_ = true;
    engine_.beginCall();
    const bool receiving =
        events && switchOn(param::ReceiveFromHost, value(param::ReceiveFromHost));
    if (receiving) {
        for (VstInt32 i = 0; i < events->numEvents; ++i) {
            const VstEvent* e = eventAt(events, i);
            if (!e) continue;
            if (e->type == kVstSysExType) {
                // Skipped untouched unless "Pass and log system exclusive" was on when this
                // instance was made: only then is the event read as a SysEx event (a bad one
                // is dropped by the engine, counted).
                if (!engine_.sysexEnabled()) continue;
                const auto* x = reinterpret_cast<const VstMidiSysexEvent*>(e);
                if (x->sysexDump && x->dumpBytes > 0)
                    engine_.hostSysex(reinterpret_cast<const std::uint8_t*>(x->sysexDump),
                                      static_cast<std::size_t>(x->dumpBytes), x->deltaFrames);
                continue;
            }
            if (e->type != kVstMidiType) continue;
            const auto* m = reinterpret_cast<const VstMidiEvent*>(e);
            engine_.hostInput(packWord(static_cast<std::uint8_t>(m->midiData[0]),
                                       static_cast<std::uint8_t>(m->midiData[1]),
                                       static_cast<std::uint8_t>(m->midiData[2])),
                              m->deltaFrames);
        }
    }
    engine_.endCall();
    return receiving ? 1 : 0;
}

// Audio passes through untouched in both modes: the callbacks only drive the engine's blocks.
void APlugin::process(float** /*inputs*/, float** /*outputs*/, VstInt32 sampleFrames) {
    beginBlock(sampleFrames);
    engine_.processBlock(sampleFrames);
}

void APlugin::processReplacing(float** /*inputs*/, float** /*outputs*/, VstInt32 sampleFrames) {
    beginBlock(sampleFrames);
    engine_.processBlock(sampleFrames);
}

void VSTCALLBACK APlugin::processEntry(AEffect* e, float** /*inputs*/, float** /*outputs*/,
                                       VstInt32 sampleFrames) noexcept {
    if (e == nullptr || e->object == nullptr) return;
    auto* plugin = static_cast<APlugin*>(static_cast<AudioEffect*>(e->object));
    plugin->beginBlock(sampleFrames);
    plugin->engine_.processBlock(sampleFrames);
}

// --- Ports -------------------------------------------------------------------------------------

// Each word goes to the host as a single-event list. Its deltaFrames is 0, whatever its frame;
// with sample-accurate output it is the frame the engine produced the word at, kept within the
// block and never before a word already sent in it: hosts order a block's events by frame, and
// so keep the order the engine sent them in (a note-off never before its note-on).
void APlugin::hostOutput(MidiWord word, int frame) noexcept {
    if (engine_.sampleAccurate()) hostMidiEvent_.deltaFrames = blockFrame(frame);
    hostMidiEvent_.midiData[0] = static_cast<char>(wordStatus(word));
    hostMidiEvent_.midiData[1] = static_cast<char>(wordData1(word));
    hostMidiEvent_.midiData[2] = static_cast<char>(wordData2(word));
    hostMidiEvent_.midiData[3] = 0;
    // The host call itself, without the two wrappers around it: this runs once per message.
    if (audioMaster) audioMaster(&cEffect, audioMasterProcessEvents, 0, 0, &hostEvents_, 0.0f);
}

// A SysEx goes to the host the same way, as a single-event list of its own at deltaFrames 0,
// so it keeps its place among the words. The host copies what it keeps during the call.
// A SysEx takes its frame as a short message does (see hostOutput).
void APlugin::hostSysexOutput(const std::uint8_t* data, std::size_t size, int frame) noexcept {
    if (engine_.sampleAccurate()) hostSysexEvent_.deltaFrames = blockFrame(frame);
    hostSysexEvent_.dumpBytes = static_cast<VstInt32>(size);
    hostSysexEvent_.sysexDump = const_cast<char*>(reinterpret_cast<const char*>(data));
    if (audioMaster) audioMaster(&cEffect, audioMasterProcessEvents, 0, 0, &hostSysexEvents_, 0.0f);
}

VstInt32 APlugin::blockFrame(int frame) noexcept {
    return static_cast<VstInt32>(frames_.at(frame));
}

EnginePorts::HostOutputEntry APlugin::Ports::hostOutputEntry() noexcept {
    return [](EnginePorts& ports, MidiWord word, int frame) noexcept {
        static_cast<Ports&>(ports).p_.hostOutput(word, frame);
    };
}

HostMeter APlugin::Ports::hostMeter() noexcept {
    if (!p_.audioMaster) return {};
    const auto* t = reinterpret_cast<const VstTimeInfo*>(p_.audioMaster(
        &p_.cEffect, audioMasterGetTime, 0, kVstTempoValid | kVstTimeSigValid, nullptr, 0.0f));
    if (!t) return {};
    return {t->tempo, t->timeSigNumerator, t->timeSigDenominator};
}

bool APlugin::Ports::hostTime(HostTime& time) noexcept {
    // The host call itself, as getTimeInfo makes it: once per processing call while logging
    // (a quiet block asks hostMeter instead).
    if (!p_.audioMaster) return false;
    const auto* t = reinterpret_cast<const VstTimeInfo*>(p_.audioMaster(
        &p_.cEffect, audioMasterGetTime, 0,
        kVstTempoValid | kVstTimeSigValid | kVstPpqPosValid | kVstBarsValid, nullptr, 0.0f));
    if (!t) return false;
    time.tempo = t->tempo;
    time.numerator = t->timeSigNumerator;
    time.denominator = t->timeSigDenominator;
    time.hasPpq = (t->flags & kVstPpqPosValid) != 0;
    time.hasBar = time.hasPpq && (t->flags & kVstBarsValid) != 0;
    time.ppq = t->ppqPos;
    time.barStart = t->barStartPos;
    return true;
}

int APlugin::Ports::busTake(int bus, MidiWord* words, int capacity) noexcept {
    return p_.bus_->take(bus, words, capacity);
}

void APlugin::Ports::busWrite(int bus, MidiWord word) noexcept {
    p_.bus_->write(bus, word);
}

void APlugin::Ports::deviceOutput(MidiWord word) noexcept {
    p_.devices_.send(word);
}

void APlugin::Ports::deviceSysexOutput(const std::uint8_t* data, std::size_t size) noexcept {
    p_.devices_.sendSysex(data, size);
}

void APlugin::Ports::hostOutput(MidiWord word, int frame) noexcept {
    p_.hostOutput(word, frame);
}

void APlugin::Ports::hostSysexOutput(const std::uint8_t* data, std::size_t size,
                                     int frame) noexcept {
    p_.hostSysexOutput(data, size, frame);
}

void APlugin::Ports::notice(EngineNotice which) noexcept {
    p_.notice(which);
}

// Any thread. Another thread than the processing one (the host's or the editor's) may allocate
// and wait: the memory is made at once, ready for the next processing call. For the processing
// thread the process's worker makes or releases it. (Before the first processing call no
// thread counts as the processing thread.)
void APlugin::Ports::storageWanted() noexcept {
    if (!p_.engine_.onProcessingThread()) {
        p_.engine_.prepareStorage();
        return;
    }
    host::Worker::post(p_.workerState_->client, kStorageBit);
}

// A sound stream on the receive bus switches bus reading off, so the notice appears once.
void APlugin::notice(EngineNotice which) noexcept {
    if (which == EngineNotice::SoundStream) {
        values_[param::GetFromBus].store(0.0f, std::memory_order_relaxed);
        program_.values[param::GetFromBus].store(0.0f, std::memory_order_relaxed);
        engine_.setParameter(param::GetFromBus, 0.0f);
    }
    raiseNotice(which);
}
