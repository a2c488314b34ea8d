// Loads the built plug-in binary (CORVELLA_PLUGIN) through its exported entry as a host does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/settings.h"
#include "tools/host/vsthost.h"

namespace {

std::string pluginPath() {
    const char* p = std::getenv("CORVELLA_PLUGIN");
    return p ? p : "";
}

class BlackBox : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(pluginPath().empty()) << "CORVELLA_PLUGIN is not set";
        ASSERT_TRUE(host.load(pluginPath())) << host.error();
    }
    host::VstHost host;
};

}  // namespace

TEST_F(BlackBox, BothEntryNamesAreExported) {
    platform::Library lib;
    ASSERT_TRUE(lib.open(pluginPath())) << lib.error();
    EXPECT_NE(lib.symbol("main"), nullptr);
    EXPECT_NE(lib.symbol("VSTPluginMain"), nullptr);
}

TEST_F(BlackBox, HostAnsweringVersionZeroGetsNull) {
    host.versionAnswer = 0;
    EXPECT_EQ(host.instantiate(), nullptr);
}

TEST_F(BlackBox, RecordAndIdentity) {
    AEffect* e = host.instantiate();
    ASSERT_NE(e, nullptr) << host.error();
    EXPECT_EQ(e->magic, fourCC('V', 's', 't', 'P'));
    EXPECT_EQ(e->numPrograms, 1);
    EXPECT_EQ(e->numParams, 68);
    EXPECT_EQ(e->numInputs, 0);
    EXPECT_EQ(e->numOutputs, 1);
    EXPECT_EQ(e->flags, 0x119);
    EXPECT_EQ(e->uniqueID, fourCC('C', 'R', 'V', 'L'));
    EXPECT_EQ(e->version, 1);
    EXPECT_EQ(e->ioRatio, 1.0f);
    EXPECT_EQ(e->user, nullptr);
    EXPECT_EQ(host.wantMidiCalls, 1);  // resume at construction asks for MIDI
    EXPECT_EQ(host.dispatchText(effGetEffectName), "corvella 9-30-2003");
    EXPECT_EQ(host.dispatchText(effGetProductString), "corvella 9-30-2003");
    EXPECT_EQ(host.dispatchText(effGetVendorString), "Quobel");
    EXPECT_EQ(host.dispatch(effGetVendorVersion), 1);
    EXPECT_EQ(host.dispatch(effGetPlugCategory), kPlugCategSynth);
    EXPECT_EQ(host.dispatch(effGetVstVersion), 2300);
    EXPECT_EQ(host.dispatch(effKeysRequired), 1);
    EXPECT_EQ(host.dispatch(effGetVu), 0);
    EXPECT_EQ(host.dispatchText(effGetProgramName), "Corvella");
    char yes[] = "receiveVstMidiEvent", no[] = "ReceiveVstMidiEvent";
    EXPECT_EQ(host.dispatch(effCanDo, 0, 0, yes), 1);
    EXPECT_EQ(host.dispatch(effCanDo, 0, 0, no), -1);
    EXPECT_EQ(host.dispatchText(effGetParamName, 33), "replace: byte2 ");
    EXPECT_EQ(host.close(), 1);
    EXPECT_EQ(host.effect(), nullptr);
}

TEST_F(BlackBox, EventsPassThroughToTheHost) {
    ASSERT_NE(host.instantiate(), nullptr) << host.error();
    std::vector<host::ScheduledEvent> schedule;
    std::string error;
    ASSERT_TRUE(host::parseSchedule("0:0x90 60 100,700:0x80 60 0", schedule, error)) << error;
    host.start();
    for (int b = 0; b < 3; ++b) host.runBlock(schedule);
    host.stop();
    // Knob 1's construction message (control change 0 value 0, channel 1) leaves first.
    ASSERT_EQ(host.sent.size(), 3u);
    EXPECT_EQ(host::hexBytes(host.sent[0].bytes, 3), "B0 00 00");
    EXPECT_EQ(host.sent[1].block, 0);
    EXPECT_EQ(host::hexBytes(host.sent[1].bytes, 3), "90 3C 64");
    EXPECT_EQ(host.sent[1].deltaFrames, 0);
    EXPECT_EQ(host.sent[2].block, 1);  // frame 700 falls in the second 512-frame block
    EXPECT_EQ(host::hexBytes(host.sent[2].bytes, 4), "80 3C 00 00");
}

// Sample-accurate output, a per-user option read when an instance is created: a word delayed by
// 100 samples from frame 37 leaves in the same block at deltaFrames 137, and a word that passes
// at once keeps its input frame.
TEST_F(BlackBox, SampleAccurateOutputCarriesTheFrames) {
#ifndef _WIN32
    // A settings directory of this test's own, so no other test's instance sees the option.
    struct OwnSettings {
        char dir[32] = "/tmp/corvella-blackbox-XXXXXX";
        std::string previous = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
        OwnSettings() {
            if (mkdtemp(dir)) setenv("XDG_CONFIG_HOME", dir, 1);
        }
        ~OwnSettings() {
            setenv("XDG_CONFIG_HOME", previous.c_str(), 1);
            std::filesystem::remove_all(dir);
        }
    } own;
#endif
    platform::SettingsStore& store = platform::userSettings();
    const auto before = store.readDword("Software\\Corvella", "SampleAccurate");
    ASSERT_TRUE(store.writeDword("Software\\Corvella", "SampleAccurate", 1));
    AEffect* e = host.instantiate();
    store.writeDword("Software\\Corvella", "SampleAccurate", before.value_or(0));
    ASSERT_NE(e, nullptr) << host.error();
    host.setParameter(8, 1.0f);               // delay output on
    host.setParameter(7, 100.0f / 32767.0f);  // 100 samples
    std::vector<host::ScheduledEvent> schedule;
    std::string error;
    ASSERT_TRUE(host::parseSchedule("37:0x90 60 100,812:0x80 60 0", schedule, error)) << error;
    host.start();
    host.runBlock(schedule);
    host.setParameter(8, 0.0f);
    host.runBlock(schedule);
    host.stop();
    ASSERT_EQ(host.sent.size(), 3u);  // knob 1's construction message first
    EXPECT_EQ(host::hexBytes(host.sent[1].bytes, 3), "90 3C 64");
    EXPECT_EQ(host.sent[1].block, 0);
    EXPECT_EQ(host.sent[1].deltaFrames, 137);
    EXPECT_EQ(host::hexBytes(host.sent[2].bytes, 3), "80 3C 00");
    EXPECT_EQ(host.sent[2].block, 1);
    EXPECT_EQ(host.sent[2].deltaFrames, 300);

    // Frames the host gives out of order or beyond its block size: never before a word already
    // sent in the block, never past the block's last frame.
    host.start();
    auto note = [](VstInt32 frame, char key) {
        VstMidiEvent m{};
        m.type = kVstMidiType;
        m.byteSize = sizeof m;
        m.deltaFrames = frame;
        m.midiData[0] = static_cast<char>(0x90);
        m.midiData[1] = key;
        m.midiData[2] = 1;
        return m;
    };
    host.sent.clear();
    host.sendEvents({note(300, 1), note(100, 2), note(5000, 3), note(-4, 4)});
    host.stop();
    ASSERT_EQ(host.sent.size(), 4u);
    EXPECT_EQ(host.sent[0].deltaFrames, 300);
    EXPECT_EQ(host.sent[1].deltaFrames, 300);
    EXPECT_EQ(host.sent[2].deltaFrames, host.blockSize - 1);
    EXPECT_EQ(host.sent[3].deltaFrames, host.blockSize - 1);
}

TEST_F(BlackBox, ParametersThroughTheRecord) {
    ASSERT_NE(host.instantiate(), nullptr) << host.error();
    EXPECT_EQ(host.getParameter(7), 0.0234375f);
    host.setParameter(70, 0.3f);
    EXPECT_EQ(host.getParameter(67), 0.3f);
    host.setParameter(5, 1.7f);
    EXPECT_EQ(host.getParameter(5), 1.0f);
    EXPECT_EQ(host.getParameter(-4), 0.0f);
}

TEST_F(BlackBox, ScheduleParsing) {
    std::vector<host::ScheduledEvent> s;
    std::string error;
    EXPECT_TRUE(host::parseSchedule("512:0xB0 7 0x7f,0:144 60 1", s, error));
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].frame, 0);  // sorted by frame
    EXPECT_EQ(s[1].bytes[2], 0x7F);
    for (const char* bad : {"x:0x90", "0:0x190", "0:", "5", "0:1 2 3 4"}) {
        std::vector<host::ScheduledEvent> t;
        EXPECT_FALSE(host::parseSchedule(bad, t, error)) << bad;
    }
}

TEST(HostArguments, ParameterValues) {
    double v = 0;
    EXPECT_TRUE(host::parseValue("0.25", v));
    EXPECT_EQ(v, 0.25);
    EXPECT_TRUE(host::parseValue("3/256", v));
    EXPECT_EQ(v, 3.0 / 256.0);
    for (const char* bad : {"", "x", "1/", "1/0", "/2", "0.5z"})
        EXPECT_FALSE(host::parseValue(bad, v)) << bad;
}
