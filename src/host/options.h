// The four start-up options that decide what the host sees of a new instance, and "SysEx":
// whether a new instance passes and logs system exclusive messages. They live per
// user under the settings key "Software\\Corvella" (the registry on Windows, a settings file
// elsewhere) as 32-bit values: 0 is false, anything else true.
#pragma once

inline constexpr const char* kOptionsKey = "Software\\Corvella";
inline constexpr const char* kOptionVSTi = "VSTi";
inline constexpr const char* kOptionProcRep = "ProcRep";
inline constexpr const char* kOptionEmuIn = "EmuIn";
inline constexpr const char* kOptionEmuOut = "EmuOut";
inline constexpr const char* kOptionSysEx = "SysEx";
// Events for the host at the frame the engine produced them, the delay exact to the sample.
inline constexpr const char* kOptionSampleAccurate = "SampleAccurate";
// The Linux editor's scale in percent: 0 follows the display (Xft.dpi), 100 .. 200 fixes it.
// Read each time the editor opens; a missing value is not created.
inline constexpr const char* kOptionEditorScale = "EditorScale";

struct StartupOptions {
    bool emulateInput = false;
    bool processReplacing = true;
    bool instrument = true;
    bool sysex = false;
    bool sampleAccurate = false;
};

// The default of an option: false for "EmuIn", "SysEx" and "SampleAccurate", true for every
// other name.
bool optionDefault(const char* name) noexcept;

// Reads one option. A missing value is created with its default and answers that default; a
// store that cannot be opened answers the default and writes nothing.
bool readOption(const char* name);

// Writes an option (the options dialog's check boxes); false when it could not be stored.
bool writeOption(const char* name, bool value);

// Reads "EmuIn", "ProcRep", "VSTi", "SampleAccurate" and "SysEx" as readOption does, in one
// read of the key.
StartupOptions readStartupOptions();

// Reads "EditorScale": 0 (automatic) when missing, unreadable or out of 100 .. 200, else the
// stored percentage.
int readEditorScale();

// Writes "EditorScale" (0 or a percentage); false when it could not be stored.
bool writeEditorScale(int percent);
