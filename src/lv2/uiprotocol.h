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
#include <lv2/urid/urid.h>

#include <cstdint>
#include <initializer_list>

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

// A property key and where its value goes.
struct Wanted {
    LV2_URID key;
    const LV2_Atom** value;
};
// Finds the values of the given keys in `object` (the first of each), reading only what lies
// within the object: messages come from outside, and a value may claim more than its object
// holds (the walk of lv2/atom/util.h would read past the end, or not end at all when a size
// wraps). Keys not found leave their value null.
inline void findValues(const LV2_Atom_Object* object,
                       std::initializer_list<Wanted> wanted) noexcept {
    for (const Wanted& w : wanted) *w.value = nullptr;
    const auto* body = reinterpret_cast<const std::uint8_t*>(&object->body);
    const std::uint64_t size = object->atom.size;
    std::uint64_t at = sizeof(LV2_Atom_Object_Body);
    while (at <= size && size - at >= sizeof(LV2_Atom_Property_Body)) {
        const auto* p = reinterpret_cast<const LV2_Atom_Property_Body*>(body + at);
        if (p->value.size > size - at - sizeof(LV2_Atom_Property_Body)) return;
        for (const Wanted& w : wanted)
            if (p->key == w.key && !*w.value) *w.value = &p->value;
        at += sizeof(LV2_Atom_Property_Body) +
              ((std::uint64_t{p->value.size} + 7) & ~std::uint64_t{7});
    }
}

// Whether a value was found and has a body of at least `bytes`.
inline bool hasBody(const LV2_Atom* value, std::uint32_t bytes) noexcept {
    return value && value->size >= bytes;
}

}  // namespace lv2ui
