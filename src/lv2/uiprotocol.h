// The messages between the LV2 plug-in and its editor, as atom objects. The editor sends them
// to the plug-in's control input (port "midi_in"); the plug-in answers on its notify output.
//
// Editor -> plug-in:
//   patch:Set  patch:property logFile (atom:Path) or trackName (atom:String), patch:value
//              (generic host UIs send the same for the two parameters)
//   patch:Get  the plug-in answers with both names and an Info object
//   LogFrom    sequence (Long): send the log lines from this number on; -n: from the newest
//              n lines the plug-in holds
//   SaveLog, ClearLog
// Plug-in -> editor:
//   patch:Set  a name as it is now (after a set, a restore or a patch:Get)
//   Info       sampleRate (Float)
//   LogLine    sequence (Long), text (String)
//   Tempo      time:beatsPerMinute (Double); TimeSignature time:beatsPerBar, time:beatUnit (Int)
//   Saved      text: the file the log was saved to
//   Notice     text: a notice as the editor shows it ("Corvella warning: Feedback loop!")
#pragma once

#include <lv2/atom/atom.h>

#include <cstddef>
#include <cstdint>

#include "engine/parameters.h"

namespace lv2ui {

#define CORVELLA_LV2_NS "urn:quobel:corvella#"
inline constexpr const char* kUiUri = CORVELLA_LV2_NS "ui";
inline constexpr const char* kLogFile = CORVELLA_LV2_NS "logFile";
inline constexpr const char* kTrackName = CORVELLA_LV2_NS "trackName";
inline constexpr const char* kLogFrom = CORVELLA_LV2_NS "LogFrom";
inline constexpr const char* kSaveLog = CORVELLA_LV2_NS "SaveLog";
inline constexpr const char* kClearLog = CORVELLA_LV2_NS "ClearLog";
inline constexpr const char* kInfo = CORVELLA_LV2_NS "Info";
inline constexpr const char* kLogLine = CORVELLA_LV2_NS "LogLine";
inline constexpr const char* kTempo = CORVELLA_LV2_NS "Tempo";
inline constexpr const char* kTimeSignature = CORVELLA_LV2_NS "TimeSignature";
inline constexpr const char* kSaved = CORVELLA_LV2_NS "Saved";
inline constexpr const char* kNotice = CORVELLA_LV2_NS "Notice";
inline constexpr const char* kSequence = CORVELLA_LV2_NS "sequence";
inline constexpr const char* kText = CORVELLA_LV2_NS "text";
inline constexpr const char* kSampleRate = CORVELLA_LV2_NS "sampleRate";
#undef CORVELLA_LV2_NS

// The longest name or path either side takes (bytes, without the terminator).
inline constexpr std::uint32_t kMaxText = 4095;

// Port numbers: the parameters first (port n is parameter n), then the atom ports.
inline constexpr std::uint32_t kMidiInPort = kNumParams, kMidiOutPort = kNumParams + 1,
                               kNotifyPort = kNumParams + 2;

// Whether a property's value found in `object` lies wholly within it, with a body of at least
// `body` bytes: messages come from outside, and a value may claim more than its object holds.
inline bool valueWithin(const LV2_Atom_Object* object, const LV2_Atom* value,
                        std::uint32_t body) noexcept {
    if (!value) return false;
    const auto* end = reinterpret_cast<const std::uint8_t*>(&object->body) + object->atom.size;
    const auto* at = reinterpret_cast<const std::uint8_t*>(value);
    if (at < reinterpret_cast<const std::uint8_t*>(&object->body) ||
        end - at < static_cast<std::ptrdiff_t>(sizeof(LV2_Atom)))
        return false;
    return value->size >= body &&
           value->size <= static_cast<std::size_t>(end - at) - sizeof(LV2_Atom);
}

}  // namespace lv2ui
