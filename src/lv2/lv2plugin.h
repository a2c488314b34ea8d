// The LV2 front end: one instance of the plug-in as an LV2 host sees it. The messages run in
// the MidiEngine; this object turns the host's ports into engine calls and serves the engine's
// ports (atom MIDI output with the frame of each message, host time from time:Position, the
// shared buses, the MIDI output device, notices). Everything that may block (devices, the bus
// flags, clearing and saving the log, the names, notices) runs on the host's worker thread.
// The editor (and a generic host UI) talks to it through the messages of lv2/uiprotocol.h:
// they arrive on the MIDI input and the answers leave on the notify output.
#pragma once

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/midiengine.h"
#include "lv2/uiprotocol.h"
#include "host/busflags.h"
#include "host/devices.h"
#include "host/frameorder.h"
#include "host/logfile.h"
#include "host/notices.h"
#include "platform/notice.h"
#include "vstbus/vstbus.h"

inline constexpr const char* kLv2Uri = "urn:quobel:corvella";
using lv2ui::kMidiInPort;
using lv2ui::kMidiOutPort;
using lv2ui::kNotifyPort;

class Lv2Plugin : private EnginePorts {
public:
    // Null when the host lacks a required feature (URID map, worker).
    static Lv2Plugin* create(double rate, const LV2_Feature* const* features);
    ~Lv2Plugin() override;

    // The host's thread for instantiation and connection (never concurrent with run).
    void connect(std::uint32_t port, void* data) noexcept;
    // The host's thread for instantiation (never concurrent with run): takes the control
    // ports' values, then sets every parameter again as a VST 2 host's resume does, so the
    // knobs send their words and the devices and buses follow the values.
    void activate() noexcept;
    // Processing thread.
    void run(std::uint32_t frames) noexcept;

    // Worker thread: the jobs run() handed over. What the editor should hear of goes back
    // through `respond`.
    LV2_Worker_Status work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                           std::uint32_t size, const void* data) noexcept;
    // Processing thread (the host calls it beside run): a worker's answer, kept for the next
    // run's notify output.
    LV2_Worker_Status workResponse(std::uint32_t size, const void* data) noexcept;

    // The log's lines, for readers on any thread (see LogLines).
    LogLines& logLines() noexcept { return engine_.logLines(); }

    // State (the host's non-realtime threads): the log file and track names.
    LV2_State_Status save(LV2_State_Store_Function store, LV2_State_Handle handle) noexcept;
    LV2_State_Status restore(LV2_State_Retrieve_Function retrieve,
                             LV2_State_Handle handle) noexcept;

private:
    Lv2Plugin(double rate, LV2_URID_Map* map, LV2_Worker_Schedule* schedule);

    // A job for the worker thread. SetLogFile and SetTrackName carry the name after the job.
    struct Job {
        enum Kind : std::uint8_t {
            Apply,
            ClearLog,
            SaveLog,
            Notice,
            SetLogFile,
            SetTrackName,
            ReportNames,
            Storage
        } kind;
        int index;    // Apply: the parameter
        float value;  // Apply: its value; Notice: the EngineNotice
    };
    void schedule(Job job) noexcept;
    // What the worker answers for the notify output: a kind and a text of `length` bytes.
    struct Report {
        enum Kind : std::uint32_t { LogFile, TrackName, Saved, Notice } kind;
        std::uint32_t length;
        char text[lv2ui::kMaxText];
    };
    // Worker thread: hands a report to the processing thread.
    static void respondReport(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                              Report::Kind kind, const std::string& text) noexcept;
    // Worker thread: a notice for the host's notices and the UI, through the instance's
    // limiter (the same text at most once a second).
    void showNotice(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                    platform::NoticeKind kind, const char* text) noexcept;
    // Processing thread: a message from the editor or a generic host UI.
    void readMessage(const LV2_Atom_Object* message) noexcept;
    // Processing thread: the notify output of this run (reports, log lines, time).
    void writeNotify() noexcept;
    // Whether the notify output has room for `bytes` more of event.
    bool notifyRoom(std::uint32_t bytes) const noexcept;
    void forgeText(LV2_URID otype, const char* text, std::uint32_t length) noexcept;
    void forgeName(LV2_URID property, LV2_URID type, const char* text,
                   std::uint32_t length) noexcept;
    // Processing thread: control port changes since the last run. On the activating thread
    // (`now`), the bus steps run at once instead of on the host's worker.
    void readControls(bool now = false) noexcept;
    // Whether a parameter's change needs a bus step.
    static bool needsStep(int index) noexcept;
    // A time:Position from the input: tempo, time signature and bar position for the log.
    void readPosition(const LV2_Atom_Object* position) noexcept;
    void readBarPosition(const LV2_Atom_Object* position) noexcept;
    void advancePosition(std::uint32_t frames) noexcept;
    // The bus steps of a parameter (the host's worker thread, or the activating thread).
    // Notices go back through `respond` when there is one.
    void applyStep(int index, float value, LV2_Worker_Respond_Function respond = nullptr,
                   LV2_Worker_Respond_Handle handle = nullptr) noexcept;
    // Worker thread: false (with a notice) when the file could not be written or no file is
    // named.
    bool saveLog(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle);

    // --- Ports, called by the engine on the processing thread ---
    void hostOutput(MidiWord word, int frame) noexcept override;
    // hostOutput without the virtual call or the this-adjusting thunk.
    HostOutputEntry hostOutputEntry() noexcept override;
    bool hostTime(HostTime& time) noexcept override;
    int busTake(int bus, MidiWord* words, int capacity) noexcept override;
    void busWrite(int bus, MidiWord word) noexcept override;
    void deviceOutput(MidiWord word) noexcept override;
    void hostSysexOutput(const std::uint8_t* data, std::size_t size, int frame) noexcept override;
    void deviceSysexOutput(const std::uint8_t* data, std::size_t size) noexcept override;
    void notice(EngineNotice which) noexcept override;
    // Any thread: made at once off the processing thread; on it, noted here and scheduled for
    // the worker by the next run (the only place a job may be scheduled from).
    void storageWanted() noexcept override;
    std::atomic<bool> storageWanted_{false};

    static void deviceInputProc(void* self, std::uint32_t word) noexcept;
    // The MIDI input device's SysEx (the driver's thread).
    static void deviceSysexProc(void* self, const std::uint8_t* data, std::size_t size) noexcept;

    struct Urids {
        LV2_URID midiEvent, sequence, object, blank, position, bpm, beatsPerBar, beatUnit,
            atomFloat, atomDouble, atomInt, atomLong, atomString, logFile, trackName, atomPath,
            atomUrid, patchSet, patchGet, patchProperty, patchValue, logFrom, saveLog, clearLog,
            info, logLine, tempo, timeSignature, saved, notice, sequenceKey, text, sampleRate, bar,
            barBeat, speed;
    };

    // Constructed before and destroyed after every other member.
    host::Devices devices_;
    Urids u_{};
    LV2_Worker_Schedule* schedule_;
    std::unique_ptr<vstbus::TVstBus> bus_;
    // The control ports; one the host has not connected points at its entry in seen_.
    std::array<const float*, kNumParams> controls_{};
    std::array<float, kNumParams> seen_{};  // the last reading of each control port
    // The parameter values of those readings, for the worker's steps.
    std::array<std::atomic<float>, kNumParams> values_{};
    const LV2_Atom_Sequence* in_ = nullptr;
    LV2_Atom_Sequence* out_ = nullptr;
    LV2_Atom_Sequence* notify_ = nullptr;
    LV2_Atom_Forge forge_{};
    LV2_Atom_Forge_Frame notifyFrame_{};
    // The editor's side (processing thread): whether one asked for lines, the number of the
    // next line it wants, and whether it asked for the names and the sample rate.
    bool uiActive_ = false;
    std::uint64_t uiSeq_ = 0;
    bool infoWanted_ = false;
    // The worker's reports waiting for the notify output (processing thread): a ring.
    static constexpr std::size_t kReports = 8;
    std::unique_ptr<Report[]> reports_ = std::make_unique<Report[]>(kReports);
    std::size_t reportFirst_ = 0, reportCount_ = 0;
    // Set by a restore (the host's thread): the next run reports the names.
    std::atomic<bool> namesRestored_{false};
    // The output sequence of the current run, set up once per run so that each word costs
    // only its own event: where the next event goes, the end of the space the host offers
    // (both null without an output port), the event header of a MIDI event with no size yet,
    // and the frames given in the block.
    std::uint8_t* outNext_ = nullptr;
    std::uint8_t* outEnd_ = nullptr;
    std::uint64_t midiHeader_ = 0;
    host::FrameOrder frames_;
    bool timeValid_ = false;
    HostTime time_{};
    double rate_ = 0.0;
    double speed_ = 1.0;       // time:speed, 0 while the transport stands
    host::BusFlags busFlags_;
    MidiEngine engine_{*this};
    host::LogFile logFile_;
    platform::NoticeLimiter notices_;
};
