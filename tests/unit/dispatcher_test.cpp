// The host boundary: record, base and extended dispatchers, host-service wrappers, entry.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "plugin/editorfactory.h"
#include "plugin/plugin.h"
#include "plugin/plugineditor.h"
#include "support/fakevsthost.h"
#include "vst/audioeffectx.h"
#include "vst/entry.h"

namespace {

using testsupport::FakeVstHost;

class HostTest : public ::testing::Test {
protected:
    testsupport::FakeVstHost host;
};

// A bare effect that keeps every default of the base classes.
class BareEffect : public AudioEffectX {
public:
    explicit BareEffect(audioMasterCallback m) : AudioEffectX(m, 1, 4) {}
    void process(float**, float**, VstInt32) override {}
    float vu = 0.0f;
    float getVu() override { return vu; }
    int suspends = 0, resumes = 0, programSets = 0;
    VstInt32 lastProgram = -99;
    void suspend() override { ++suspends; }
    void resume() override { ++resumes; }
    void setProgram(VstInt32 p) override {
        ++programSets;
        lastProgram = p;
        AudioEffectX::setProgram(p);
    }
};

// An editor that records the key codes it receives.
class KeyEditor : public AEffEditor {
public:
    using AEffEditor::AEffEditor;
    VstKeyCode last{};
    VstInt32 onKeyDown(VstKeyCode& k) override {
        last = k;
        return AEffEditor::onKeyDown(k);
    }
};

VstIntPtr call(AEffect* e, VstInt32 op, VstInt32 index = 0, VstIntPtr value = 0,
               void* ptr = nullptr, float opt = 0.0f) {
    return e->dispatcher(e, op, index, value, ptr, opt);
}

}  // namespace

TEST_F(HostTest, EntryRefusesAHostThatAnswersVersionZero) {
    host.version = 0;
    EXPECT_EQ(pluginEntry(FakeVstHost::callback), nullptr);
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0].opcode, audioMasterVersion);
    EXPECT_EQ(host.calls[0].effect, nullptr);
    EXPECT_EQ(pluginEntry(nullptr), nullptr);
}

TEST_F(HostTest, EntryBuildsTheRecordTheHostSees) {
    // Without the editor's factory the plug-in advertises no editor.
    installPluginEditorFactory(nullptr);
    AEffect* bare = pluginEntry(FakeVstHost::callback);
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->flags & effFlagsHasEditor, 0);
    call(bare, effClose);
    installPluginEditorFactory(&newPluginEditor);
    AEffect* e = pluginEntry(FakeVstHost::callback);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->magic, 0x56737450);
    EXPECT_EQ(e->numPrograms, 1);
    EXPECT_EQ(e->numParams, 68);
    EXPECT_EQ(e->numInputs, 0);
    EXPECT_EQ(e->numOutputs, 1);
    EXPECT_EQ(e->flags, 0x119);
    EXPECT_EQ(e->uniqueID, 0x4352564C);
    EXPECT_EQ(e->version, 1);
    EXPECT_EQ(e->ioRatio, 1.0f);
    EXPECT_EQ(e->user, nullptr);
    EXPECT_EQ(e->resvd1, 0);
    EXPECT_EQ(e->resvd2, 0);
    for (char c : e->future) EXPECT_EQ(c, 0);
    // Two entries give two records over two objects.
    AEffect* f = pluginEntry(FakeVstHost::callback);
    ASSERT_NE(f, nullptr);
    EXPECT_NE(e, f);
    EXPECT_NE(e->object, f->object);
    EXPECT_EQ(call(e, effClose), 1);
    EXPECT_EQ(call(f, effClose), 1);
}

TEST_F(HostTest, BaseRecordAndFlagSetters) {
    BareEffect fx(FakeVstHost::callback);
    AEffect* e = fx.getAeffect();
    EXPECT_EQ(e->uniqueID, 0x4E6F4566);
    EXPECT_EQ(e->numInputs, 1);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->flags, 0);
    EXPECT_EQ(e->object, &fx);
    EXPECT_EQ(fx.getSampleRate(), 44100.0f);
    EXPECT_EQ(fx.getBlockSize(), 1024);
    fx.canProcessReplacing(true);
    fx.isSynth(true);
    fx.hasClip(true);
    EXPECT_EQ(e->flags, 0x112);
    fx.hasClip(false);
    EXPECT_EQ(e->flags, 0x110);
    EXPECT_EQ(call(e, effGetPlugCategory), kPlugCategSynth);
    fx.isSynth(false);
    EXPECT_EQ(call(e, effGetPlugCategory), kPlugCategUnknown);
    // The host's reserved fields survive everything the plug-in does.
    e->resvd1 = 0x1234;
    fx.setEditor(new AEffEditor(&fx));
    EXPECT_EQ(e->flags & effFlagsHasEditor, effFlagsHasEditor);
    EXPECT_EQ(e->resvd1, 0x1234);
}

TEST_F(HostTest, BaseDispatcherOpcodes) {
    BareEffect fx(FakeVstHost::callback);
    AEffect* e = fx.getAeffect();
    // effSetProgram bound: equal to numPrograms is refused, negative values reach setProgram.
    EXPECT_EQ(call(e, effSetProgram, 0, 1), 0);
    EXPECT_EQ(fx.programSets, 0);
    call(e, effSetProgram, 0, -1);
    EXPECT_EQ(fx.lastProgram, -1);
    call(e, effSetProgram, 0, 0);
    EXPECT_EQ(call(e, effGetProgram), 0);
    // effMainsChanged: 0 suspends, anything else resumes.
    call(e, effMainsChanged, 0, 0);
    call(e, effMainsChanged, 0, 7);
    EXPECT_EQ(fx.suspends, 1);
    EXPECT_EQ(fx.resumes, 1);
    // VU: value x 32767 rounded with ties to even.
    fx.vu = 0.5f;
    EXPECT_EQ(call(e, effGetVu), 16384);
    fx.vu = 1.0f;
    EXPECT_EQ(call(e, effGetVu), 32767);
    EXPECT_EQ(call(e, effIdentify), 0x4E764566);
    void* chunk = &fx;
    EXPECT_EQ(call(e, effGetChunk, 0, 0, &chunk), 0);
    EXPECT_EQ(chunk, &fx);
    for (VstInt32 op : {VstInt32{effEditDraw}, VstInt32{effEditMouse}, VstInt32{effEditKey},
                        VstInt32{effEditTop}, VstInt32{effEditSleep}, -1, 77, 1000})
        EXPECT_EQ(call(e, op, 1, 2, nullptr, 3.0f), 0) << op;
    // Editor opcodes without an editor.
    ERect marker{};
    ERect* rect = &marker;
    EXPECT_EQ(call(e, effEditGetRect, 0, 0, &rect), 0);
    EXPECT_EQ(rect, &marker);
    EXPECT_EQ(call(e, effEditOpen, 0, 0, &marker), 0);
    EXPECT_EQ(call(e, effEditKeyDown, 'a', 1, nullptr, 2.0f), 0);
    EXPECT_EQ(call(e, effSetEditKnobMode, 0, 2), 0);
    // Label and display answer an empty text, whatever the host's buffer held; the rest of
    // the buffer and the name are left alone.
    char text[32];
    for (VstInt32 op : {effGetParamLabel, effGetParamDisplay}) {
        std::memset(text, 'x', sizeof text);
        call(e, op, 0, 0, text);
        EXPECT_EQ(text[0], '\0') << op;
        for (std::size_t i = 1; i < sizeof text; ++i) EXPECT_EQ(text[i], 'x') << op;
    }
    call(e, effGetParamName, 0, 0, text);
    EXPECT_EQ(text[0], '\0');
    for (std::size_t i = 1; i < sizeof text; ++i) EXPECT_EQ(text[i], 'x');
    // Sample rate and block size.
    call(e, effSetSampleRate, 0, 0, nullptr, 48000.0f);
    call(e, effSetBlockSize, 0, 256);
    EXPECT_EQ(fx.getSampleRate(), 48000.0f);
    EXPECT_EQ(fx.getBlockSize(), 256);
}

TEST_F(HostTest, ExtensionDefaults) {
    BareEffect fx(FakeVstHost::callback);
    AEffect* e = fx.getAeffect();
    EXPECT_EQ(call(e, effKeysRequired), 1);
    EXPECT_EQ(call(e, effGetVstVersion), 2300);
    EXPECT_EQ(call(e, effGetNumProgramCategories), 1);
    EXPECT_EQ(call(e, effGetCurrentMidiProgram), -1);
    EXPECT_EQ(call(e, effConnectInput, 3, 0), 1);
    EXPECT_EQ(call(e, effConnectOutput, 9, 1), 1);
    EXPECT_EQ(call(e, effCanBeAutomated, 5), 1);
    EXPECT_EQ(call(e, effSetTotalSampleToProcess, 0, 12345), 12345);
    EXPECT_EQ(call(e, effSetBlockSizeAndSampleRate, 0, 512, nullptr, 48000.0f), 1);
    EXPECT_EQ(fx.getBlockSize(), 512);
    EXPECT_EQ(fx.getSampleRate(), 48000.0f);
    EXPECT_EQ(call(e, effProcessEvents), 0);
    EXPECT_EQ(call(e, effCanDo, 0, 0, const_cast<char*>("sendVstEvents")), 0);
    EXPECT_EQ(call(e, effGetVendorVersion), 0);
    EXPECT_EQ(call(e, effGetTailSize), 0);
    EXPECT_EQ(call(e, effGetIcon), 0);
    EXPECT_EQ(call(e, effGetDestinationBuffer), 0);
    // The speaker arrangement answer writes nothing the host can see.
    VstSpeakerArrangement in{}, out{};
    VstSpeakerArrangement* hostIn = &in;
    VstSpeakerArrangement* hostOut = &out;
    EXPECT_EQ(call(e, effGetSpeakerArrangement, 0, reinterpret_cast<VstIntPtr>(hostIn), hostOut),
              0);
    EXPECT_EQ(hostIn, &in);
    EXPECT_EQ(hostOut, &out);
}

TEST_F(HostTest, KeyCodesReachTheEditor) {
    BareEffect fx(FakeVstHost::callback);
    auto* editor = new KeyEditor(&fx);
    fx.setEditor(editor);
    AEffect* e = fx.getAeffect();
    EXPECT_EQ(call(e, effEditKeyDown, 'q', 0x1FF, nullptr, 2.6f), -1);
    EXPECT_EQ(editor->last.character, 'q');
    EXPECT_EQ(editor->last.virt, 0xFF);
    EXPECT_EQ(editor->last.modifier, 3);
    call(e, effEditKeyDown, 0, 0, nullptr, 2.5f);  // ties go to the even neighbour
    EXPECT_EQ(editor->last.modifier, 2);
    EXPECT_EQ(call(e, effEditKeyUp, 'q', 1, nullptr, 0.0f), -1);
    EXPECT_EQ(call(e, effSetEditKnobMode, 0, 2), 0);
}

TEST_F(HostTest, HostServiceWrappers) {
    BareEffect fx(FakeVstHost::callback);
    host.answer = 0;
    EXPECT_EQ(fx.getMasterVersion(), 2400);
    host.version = 0;
    EXPECT_EQ(fx.getMasterVersion(), 1);
    EXPECT_TRUE(fx.isInputConnected(0));  // 0 means connected
    host.answer = 1;
    EXPECT_FALSE(fx.isOutputConnected(1));
    EXPECT_EQ(host.calls.back().opcode, audioMasterPinConnected);
    EXPECT_EQ(host.calls.back().value, 1);
    fx.setParameterAutomated(2, 0.25f);
    EXPECT_EQ(host.calls.back().opcode, audioMasterAutomate);
    EXPECT_EQ(host.calls.back().index, 2);
    EXPECT_EQ(host.calls.back().opt, 0.25f);
    EXPECT_EQ(host.calls.back().effect, fx.getAeffect());
    host.answer = 2;
    EXPECT_FALSE(fx.sendVstEventsToHost(nullptr));  // only an answer of 1 is true
    EXPECT_EQ(fx.offlineGetCurrentPass(), 1);
    fx.sizeWindow(300, 200);
    EXPECT_EQ(host.calls.back().index, 300);
    EXPECT_EQ(host.calls.back().value, 200);
    const std::size_t before = host.calls.size();
    EXPECT_FALSE(fx.openFileSelector(nullptr));
    EXPECT_EQ(host.calls.size(), before);
    host.answer = 0;
    fx.updateBlockSize();
    EXPECT_EQ(fx.getBlockSize(), 1024);  // an answer of 0 is not taken
}

TEST_F(HostTest, WrappersWithoutHost) {
    BareEffect fx(nullptr);
    EXPECT_EQ(fx.getMasterVersion(), 1);
    EXPECT_EQ(fx.getCurrentUniqueId(), 0);
    EXPECT_TRUE(fx.isInputConnected(0));
    EXPECT_EQ(fx.getTimeInfo(0x2400), nullptr);
    EXPECT_FALSE(fx.sendVstEventsToHost(nullptr));
    EXPECT_EQ(fx.updateSampleRate(), 44100.0);
    EXPECT_EQ(fx.updateBlockSize(), 1024);
    fx.setParameterAutomated(0, 1.0f);
    fx.wantEvents();
}

TEST_F(HostTest, DispatcherToleratesReentry) {
    BareEffect fx(FakeVstHost::callback);
    // The host answers the sample rate by calling back into the plug-in.
    host.sampleRate = [](AEffect* e) -> VstIntPtr {
        e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 96000.0f);
        return 96000;
    };
    EXPECT_EQ(fx.updateSampleRate(), 96000.0);
}

TEST_F(HostTest, SpeakerArrangementUtilities) {
    BareEffect fx(FakeVstHost::callback);
    VstSpeakerArrangement* a = nullptr;
    ASSERT_TRUE(fx.allocateArrangement(&a, 3));
    EXPECT_EQ(a->numChannels, 3);
    a->type = 7;
    std::strcpy(speakerAt(a, 2)->name, "right");
    VstSpeakerArrangement* b = nullptr;
    ASSERT_TRUE(fx.matchArrangement(&b, a));
    EXPECT_EQ(b->type, 7);
    EXPECT_EQ(b->numChannels, 3);
    EXPECT_STREQ(speakerAt(b, 2)->name, "right");
    EXPECT_FALSE(fx.copySpeaker(nullptr, speakerAt(a, 0)));
    EXPECT_TRUE(fx.deallocateArrangement(&a));
    EXPECT_EQ(a, nullptr);
    fx.deallocateArrangement(&b);
}

TEST_F(HostTest, ReceivedListMixingEventTypesAndTheSentEvent) {
    AEffect* e = pluginEntry(FakeVstHost::callback);
    ASSERT_NE(e, nullptr);
    VstMidiEvent on{}, off{};
    on.type = off.type = kVstMidiType;
    on.deltaFrames = 5;
    on.midiData[0] = static_cast<char>(0x90);
    on.midiData[1] = 60;
    on.midiData[2] = 100;
    off.midiData[0] = static_cast<char>(0x80);
    off.midiData[1] = 60;
    VstEvent sysex{};
    sysex.type = kVstSysExType;
    struct {
        VstInt32 numEvents;
        VstIntPtr reserved;
        VstEvent* events[3];
    } list{3, 0, {reinterpret_cast<VstEvent*>(&on), &sysex, reinterpret_cast<VstEvent*>(&off)}};
    call(e, effProcessEvents, 0, 0, &list);
    // First the word knob 1 sent at construction (control change 0, value 0, channel 1), which
    // waited for the first processing call, then the two notes.
    ASSERT_EQ(host.events.size(), 3u);
    const VstMidiEvent &knob = host.events[0].midi, &first = host.events[1].midi,
                       &second = host.events[2].midi;
    EXPECT_EQ(static_cast<unsigned char>(knob.midiData[0]), 0xB0);
    EXPECT_EQ(first.type, kVstMidiType);
    EXPECT_EQ(first.byteSize, static_cast<VstInt32>(sizeof(VstMidiEvent)));
    EXPECT_EQ(first.deltaFrames, 0);
    EXPECT_EQ(first.noteLength, 0);
    EXPECT_EQ(first.noteOffset, 0);
    EXPECT_EQ(static_cast<unsigned char>(first.midiData[0]), 0x90);
    EXPECT_EQ(first.midiData[1], 60);
    EXPECT_EQ(first.midiData[2], 100);
    EXPECT_EQ(first.midiData[3], 0);
    EXPECT_EQ(static_cast<unsigned char>(second.midiData[0]), 0x80);
    EXPECT_EQ(call(e, effClose), 1);
}
