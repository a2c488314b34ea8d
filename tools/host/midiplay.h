// Playing a MIDI file into a plug-in and writing what it sends back as a MIDI file.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "midifile/mididata.h"
#include "tools/host/vsthost.h"

namespace host {

// Ticks to seconds and back under a file's division and the tempo events of all its tracks
// (120 bpm until the first). SMPTE divisions count ticks in frames and ignore tempo.
class TempoMap {
public:
    explicit TempoMap(const midifile::TMidiData& data);
    double secondsAt(double tick) const;
    double tickAt(double seconds) const;

    struct Change {
        long tick;
        double seconds;
        long microsPerQuarter;
    };
    const std::vector<Change>& changes() const noexcept { return changes_; }

    // What a host playing the file reports at a point in time: the tempo in beats per minute
    // (0 for SMPTE divisions, which have none) and the time signature of the last time-signature
    // event at or before that point (false when there is none yet).
    double bpmAt(double seconds) const;
    bool signatureAt(double seconds, VstInt32& numerator, VstInt32& denominator) const;
    // Sets the tempo and time signature the host reports to those at that point; where the
    // file has none the host's stay.
    void report(VstHost& h, double seconds) const;

private:
    struct Signature {
        long tick;
        int numerator;
        int denominator;
    };
    double ticksPerQuarter_ = 0;  // 0 for SMPTE divisions
    double ticksPerSecond_ = 0;   // SMPTE divisions only
    std::vector<Change> changes_;
    std::vector<Signature> signatures_;
};

// Every short message (channel and system) of every track at its sample frame, in time order
// (equal times in track order).
std::vector<ScheduledEvent> scheduleFile(const midifile::TMidiData& data, const TempoMap& tempo,
                                         double sampleRate);

// Runs as many blocks as the schedule needs (or `blocks` when that is not negative), handing
// each block only its own events. With a tempo map, the host reports the file's tempo and time
// signature at the start of each block, as a host playing the song does. When `stop` turns true
// the run ends after the current block. A run that counts its own blocks goes on for
// `tailFrames` past the last event, so that words the plug-in delays still leave.
void playSchedule(VstHost& h, const std::vector<ScheduledEvent>& schedule, long blocks,
                  const std::atomic<bool>* stop = nullptr, const TempoMap* tempo = nullptr,
                  long tailFrames = 0);

// The frames a run must go on past its last event for the plug-in's delayed words to leave:
// when "delay output?" is on, the longest any word can wait in Corvella's delay line (one
// frame per slot: the longest delay, one frame more, and the slots its neighbours took),
// otherwise none.
long delayTailFrames(VstHost& h);

// The most events written to one track: a track holds TMidiData::kTrackEvents - 1 records,
// three of which are its End of Track, port and name.
inline constexpr std::size_t kSentEventsPerTrack = midifile::TMidiData::kTrackEvents - 4;

// Writes the MIDI events the plug-in sent as a Standard MIDI File at the input's division,
// with the input's tempo changes, each event at the tick of its frame: one track (format 0)
// when they fit, otherwise format 1 with as many tracks of kSentEventsPerTrack as they need.
// Raises an error for a tick beyond the 32 bits of a file's event times.
void writeSentEvents(const VstHost& h, const midifile::TMidiData& input, const TempoMap& tempo,
                     const std::string& path);

// What corvella-host does with --in and --out.
class MidiFilePlayer {
public:
    // False with a message when the file cannot be loaded.
    bool load(const std::string& path, std::string& error);
    // Checks, before anything is processed, a run of the file with extra events for `blocks`
    // blocks (as many as it needs when negative): its events must lie within maxSeconds of
    // audio and, when `writing`, its last tick within the 32 bits of a file's event times at
    // the file's tempo and division. False with a message otherwise.
    bool checkRun(const VstHost& h, const std::vector<ScheduledEvent>& extra, long blocks,
                  double maxSeconds, bool writing, std::string& error) const;
    // Makes the host report the file's tempo and time signature at its start.
    void reportStart(VstHost& h) const;
    // Plays the file's short messages, together with extra events, between start and stop;
    // ends early, after the current block, when `stop` turns true.
    void play(VstHost& h, const std::vector<ScheduledEvent>& extra, long blocks,
              const std::atomic<bool>* stop = nullptr, long tailFrames = 0);
    // Writes what the plug-in sent; false with a message on failure.
    bool write(const VstHost& h, const std::string& path, std::string& error);

private:
    midifile::TMidiData input_;
    std::unique_ptr<TempoMap> tempo_;
};

}  // namespace host
