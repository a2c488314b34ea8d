// The plug-in object: program, parameters, identity and the start-up options.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "host/options.h"
#include "platform/settings.h"
#include "plugin/editorfactory.h"
#include "plugin/plugin.h"
#include "plugin/plugineditor.h"
#include "support/fakevsthost.h"
#include "support/memorysettingsstore.h"
#include "vst/entry.h"

namespace {

// Every test gets its own in-memory settings store.
class PluginTest : public ::testing::Test {
protected:
    platform::MemorySettingsStore store;
    platform::ScopedSettingsStore scope{store};
    testsupport::FakeVstHost host;

    AEffect* make() {
        // Made as the module entry makes them: with the editor.
        installPluginEditorFactory(&newPluginEditor);
        AEffect* e = pluginEntry(testsupport::FakeVstHost::callback);
        made.push_back(e);
        return e;
    }
    static APlugin& object(AEffect* e) { return *static_cast<APlugin*>(e->object); }
    static VstIntPtr call(AEffect* e, VstInt32 op, VstInt32 index = 0, VstIntPtr value = 0,
                          void* ptr = nullptr, float opt = 0.0f) {
        return e->dispatcher(e, op, index, value, ptr, opt);
    }
    static std::string text(AEffect* e, VstInt32 op, VstInt32 index = 0) {
        char buf[128];
        std::memset(buf, 0, sizeof buf);
        call(e, op, index, 0, buf);
        return buf;
    }
    void TearDown() override {
        for (AEffect* e : made) call(e, effClose);
    }
    std::vector<AEffect*> made;
};

struct ApplyLog {
    std::vector<std::pair<int, float>> calls;
    static void record(void* self, int index, float value) noexcept {
        static_cast<ApplyLog*>(self)->calls.emplace_back(index, value);
    }
};

}  // namespace

TEST_F(PluginTest, ConstructionStoresTheProgramDefaultsAndResumes) {
    AEffect* e = make();
    APlugin& p = object(e);
    EXPECT_TRUE(p.engineReady());
    EXPECT_EQ(host.callsOf({audioMasterWantMidi}).size(),
              1u);  // the resume that ends construction asks for MIDI
    for (int i = 0; i < kNumParams; ++i) {
        EXPECT_EQ(p.program().values[i].load(), kParameters[i].defaultValue) << i;
        if (kParameters[i].encoding != Encoding::OneShot) {
            EXPECT_EQ(p.value(i), kParameters[i].defaultValue) << i;
        }
    }
    EXPECT_EQ(p.value(param::DelayAmount), 0.0234375f);
    // "save log!" defaults to 1.0 in the program; the replay at construction stores it there
    // without acting, and the current value reads 0.
    EXPECT_EQ(p.value(param::SaveLog), 0.0f);
    EXPECT_EQ(text(e, effGetProgramName), "Corvella");
}

TEST_F(PluginTest, ResumeAndSetProgramRunEveryApplyStepInIndexOrder) {
    AEffect* e = make();
    ApplyLog log;
    object(e).setApplyObserver(ApplyLog::record, &log);
    call(e, effMainsChanged, 0, 1);
    ASSERT_EQ(log.calls.size(), 68u);
    for (int i = 0; i < kNumParams; ++i) {
        EXPECT_EQ(log.calls[i].first, i);
        EXPECT_EQ(log.calls[i].second, object(e).value(i));
    }
    log.calls.clear();
    call(e, effMainsChanged, 0, 0);  // suspend does nothing
    EXPECT_TRUE(log.calls.empty());
    call(e, effSetProgram, 0, 0);
    EXPECT_EQ(log.calls.size(), 68u);
    log.calls.clear();
    call(e, effSetProgram, 0, 1);
    e->setParameter(e, 2, 1.0f);
    object(e).setProgram(-1);
    ASSERT_EQ(log.calls.size(), 1u);  // only the setParameter
    EXPECT_EQ(call(e, effGetProgram), 0);
}

TEST_F(PluginTest, ParameterNamesAreExactToTheBlank) {
    AEffect* e = make();
    const std::vector<std::pair<int, std::string>> names = {
        {0, "output device"},       {1, "send to host?"},
        {3, "clear log!"},          {7, "delay amount"},
        {10, "filter: type"},       {27, "filter: enable"},
        {30, "filter: cc"},         {31, "replace: byte1 channel"},
        {33, "replace: byte2 "},    {34, "replace: byte3"},
        {37, "replace: byte2 "},    {41, "recv bus num"},
        {46, "save log!"},          {48, "read from buffer?"},
        {49, "receive from host?"}, {50, "cc knob 1 value"},
        {61, "cc knob 6 channel"},  {67, "cc knob 6 message"},
        {68, "copy midi"},          {69, "reserved"},
        {200, "reserved"},
    };
    for (const auto& [index, name] : names)
        EXPECT_EQ(text(e, effGetParamName, index), name) << index;
    for (int i = 0; i < kNumParams; ++i) {
        const std::string n = text(e, effGetParamName, i);
        EXPECT_FALSE(n.empty());
        EXPECT_LE(n.size(), 24u);
    }
    // Label and display write an empty text over whatever the host's buffer held.
    char buf[32];
    for (VstInt32 op : {effGetParamLabel, effGetParamDisplay}) {
        std::memset(buf, 'z', sizeof buf);
        call(e, op, 7, 0, buf);
        EXPECT_STREQ(buf, "") << op;
    }
}

TEST_F(PluginTest, ValuesAndIndicesAreClamped) {
    AEffect* e = make();
    APlugin& p = object(e);
    e->setParameter(e, 70, 0.3f);
    EXPECT_EQ(e->getParameter(e, 67), 0.3f);
    EXPECT_EQ(p.program().values[67].load(), 0.3f);
    EXPECT_EQ(e->getParameter(e, 1000), 0.3f);
    e->setParameter(e, 5, 1.7f);
    EXPECT_EQ(e->getParameter(e, 5), 1.0f);
    e->setParameter(e, 6, -2.0f);
    EXPECT_EQ(e->getParameter(e, 6), 0.0f);
    e->setParameter(e, 47, std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(e->getParameter(e, 47), 0.0f);
    // Negative indices never reach the values.
    const float before = p.value(0);
    e->setParameter(e, -1, 0.7f);
    EXPECT_EQ(e->getParameter(e, -1), 0.0f);
    EXPECT_EQ(p.value(0), before);
    // Stored-only parameters give back what was set.
    for (int i : {5, 6, 47, 48}) {
        e->setParameter(e, i, 0.625f);
        EXPECT_EQ(e->getParameter(e, i), 0.625f) << i;
    }
}

TEST_F(PluginTest, OneShotsFireFromOutsideOnlyAndKeepTheStoredValue) {
    AEffect* e = make();
    APlugin& p = object(e);
    e->setParameter(e, param::ClearLog, 1.0f);
    EXPECT_EQ(e->getParameter(e, param::ClearLog), 0.0f);         // fired, reset
    EXPECT_EQ(p.program().values[param::ClearLog].load(), 1.0f);  // record keeps it
    e->setParameter(e, param::SaveLog, 1.0f);
    EXPECT_EQ(e->getParameter(e, param::SaveLog), 0.0f);
    // Replaying the program stores the 1.0 in the record again but acts on nothing, and the
    // current values read 0 (the log keeps its lines: see the log tests).
    call(e, effSetProgram, 0, 0);
    EXPECT_EQ(p.program().values[param::ClearLog].load(), 1.0f);
    EXPECT_EQ(e->getParameter(e, param::ClearLog), 0.0f);
    EXPECT_EQ(e->getParameter(e, param::SaveLog), 0.0f);
    call(e, effMainsChanged, 0, 1);
    EXPECT_EQ(e->getParameter(e, param::ClearLog), 0.0f);
}

TEST_F(PluginTest, ProgramNames) {
    AEffect* e = make();
    char name[] = "Live set";
    call(e, effSetProgramName, 0, 0, name);
    EXPECT_EQ(text(e, effGetProgramName), "Live set");
    char buf[64] = "untouched";
    EXPECT_EQ(call(e, effGetProgramNameIndexed, 0, 5, buf), 1);  // category is not looked at
    EXPECT_STREQ(buf, "Live set");
    std::strcpy(buf, "untouched");
    EXPECT_EQ(call(e, effGetProgramNameIndexed, 1, 0, buf), 0);
    EXPECT_STREQ(buf, "untouched");
    // A name longer than a host's 24-byte buffer is cut to 23 characters when it is stored,
    // and nothing beyond the terminator is written back.
    std::string longName(200, 'n');
    call(e, effSetProgramName, 0, 0, longName.data());
    EXPECT_EQ(text(e, effGetProgramName), std::string(kVstMaxProgNameLen - 1, 'n'));
    char hostBuffer[kVstMaxProgNameLen + 8];
    std::memset(hostBuffer, 'h', sizeof hostBuffer);
    call(e, effGetProgramName, 0, 0, hostBuffer);
    EXPECT_EQ(hostBuffer[kVstMaxProgNameLen - 1], '\0');
    for (std::size_t i = kVstMaxProgNameLen; i < sizeof hostBuffer; ++i)
        EXPECT_EQ(hostBuffer[i], 'h');
}

TEST_F(PluginTest, IdentityAndCanDo) {
    AEffect* e = make();
    EXPECT_EQ(text(e, effGetEffectName), "corvella 9-30-2003");
    EXPECT_EQ(text(e, effGetProductString), "corvella 9-30-2003");
    EXPECT_EQ(text(e, effGetVendorString), "Quobel");
    EXPECT_EQ(call(e, effGetVendorVersion), 1);
    EXPECT_EQ(call(e, effGetVu), 0);
    for (const char* yes :
         {"receiveVstTimeInfo", "plugAsChannelInsert", "plugAsSend", "receiveVstEvents",
          "receiveVstMidiEvent", "sendVstEvents", "sendVstMidiEvent"}) {
        std::string t = yes;
        EXPECT_EQ(call(e, effCanDo, 0, 0, t.data()), 1) << yes;
    }
    for (const char* no : {"SendVstMidiEvent", "", "offline", "sendVstMidiEvents"}) {
        std::string t = no;
        EXPECT_EQ(call(e, effCanDo, 0, 0, t.data()), -1) << no;
    }
}

TEST_F(PluginTest, FirstInstanceCreatesTheOptionsWithTheirDefaults) {
    AEffect* e = make();
    EXPECT_EQ(e->flags, 0x119);
    EXPECT_EQ(e->numInputs, 0);  // also for the very first instance
    EXPECT_EQ(e->numOutputs, 1);
    EXPECT_EQ(store.readDword(kOptionsKey, "EmuIn"), 0u);
    EXPECT_EQ(store.readDword(kOptionsKey, "ProcRep"), 1u);
    EXPECT_EQ(store.readDword(kOptionsKey, "VSTi"), 1u);
    EXPECT_EQ(store.readDword(kOptionsKey, "SampleAccurate"), 0u);
    EXPECT_EQ(store.readDword(kOptionsKey, "SysEx"), 0u);
    EXPECT_FALSE(store.readDword(kOptionsKey, "EmuOut").has_value());
    VstPinProperties pin{};
    EXPECT_EQ(call(e, effGetOutputProperties, 0, 0, &pin), 1);
    EXPECT_STREQ(pin.label, "corv 1");
    EXPECT_EQ(pin.flags, kVstPinIsActive | kVstPinIsStereo);
    EXPECT_EQ(store.readDword(kOptionsKey, "EmuOut"), 1u);
    EXPECT_EQ(call(e, effGetOutputProperties, 1, 0, &pin), 0);
    EXPECT_EQ(call(e, effGetOutputProperties, -1, 0, &pin), 0);
}

TEST_F(PluginTest, EachOptionChangesWhatTheHostSees) {
    store.writeDword(kOptionsKey, "VSTi", 5);  // any value but 0 is true
    store.writeDword(kOptionsKey, "EmuIn", 1);
    AEffect* a = make();
    EXPECT_EQ(a->numInputs, 1);
    EXPECT_EQ(a->flags & effFlagsIsSynth, effFlagsIsSynth);
    EXPECT_EQ(call(a, effGetPlugCategory), kPlugCategSynth);

    store.writeDword(kOptionsKey, "VSTi", 0);
    store.writeDword(kOptionsKey, "ProcRep", 0);
    store.writeDword(kOptionsKey, "EmuOut", 0);
    AEffect* b = make();
    EXPECT_EQ(b->flags, 0x9);
    EXPECT_EQ(call(b, effGetPlugCategory), kPlugCategUnknown);
    VstPinProperties pin{};
    EXPECT_EQ(call(b, effGetOutputProperties, 0, 0, &pin), 0);
    // "EmuOut" is looked up at every call; the other options only at construction.
    EXPECT_EQ(call(a, effGetOutputProperties, 0, 0, &pin), 0);
    EXPECT_EQ(a->flags & effFlagsIsSynth, effFlagsIsSynth);
    EXPECT_TRUE(writeOption("EmuOut", true));
    EXPECT_EQ(call(b, effGetOutputProperties, 0, 0, &pin), 1);
}

TEST_F(PluginTest, SaysItTakesSysexOnlyWhileSysexPasses) {
    std::string sysex = "receiveVstSysexEvent";
    AEffect* off = make();
    EXPECT_EQ(call(off, effCanDo, 0, 0, sysex.data()), -1);
    store.writeDword(kOptionsKey, "SysEx", 1);
    AEffect* on = make();
    EXPECT_EQ(call(on, effCanDo, 0, 0, sysex.data()), 1);
    std::string midi = "receiveVstMidiEvent", wrongCase = "ReceiveVstSysexEvent";
    EXPECT_EQ(call(on, effCanDo, 0, 0, midi.data()), 1);
    EXPECT_EQ(call(on, effCanDo, 0, 0, wrongCase.data()), -1);
    // Read at construction, as the option's other effects are.
    EXPECT_EQ(call(off, effCanDo, 0, 0, sysex.data()), -1);
}

TEST_F(PluginTest, AStoreThatCannotBeOpenedGivesTheDefaults) {
    store.unavailable = true;
    AEffect* e = make();
    EXPECT_EQ(e->flags, 0x119);
    EXPECT_EQ(e->numInputs, 0);
    VstPinProperties pin{};
    EXPECT_EQ(call(e, effGetOutputProperties, 0, 0, &pin), 1);
    EXPECT_FALSE(writeOption("VSTi", false));
}
