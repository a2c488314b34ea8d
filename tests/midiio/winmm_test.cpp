// winmm itself under Wine, which has no MIDI devices: both lists are empty, select takes any
// number, and opening fails with winmm's own text for the error as the notice.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which it builds on.
#include <mmsystem.h>

#include <set>
#include <string>

#include "midiio/midiio.h"
#include "platform/notice.h"
#include "platform/settings.h"
#include "plugin/plugin.h"
#include "support/fakevsthost.h"
#include "support/memorysettingsstore.h"
#include "support/recordingnoticesink.h"
#include "vst/entry.h"

namespace {

// Every text winmm has for an error code of the given direction.
std::set<std::string> errorTexts(bool output) {
    std::set<std::string> texts;
    for (UINT code = 1; code < MIDIERR_LASTERROR + 1; ++code) {
        char text[256] = {};
        const MMRESULT r = output ? midiOutGetErrorTextA(code, text, sizeof text - 1)
                                  : midiInGetErrorTextA(code, text, sizeof text - 1);
        if (r == MMSYSERR_NOERROR && text[0]) texts.insert(text);
    }
    return texts;
}

void ignore(void*, std::uint32_t) noexcept {}

class Winmm : public ::testing::Test {
protected:
    void SetUp() override {
        if (midiInGetNumDevs() != 0 || midiOutGetNumDevs() != 0)
            GTEST_SKIP() << "this system has MIDI devices";
    }
    platform::RecordingNoticeSink notices;
    platform::ScopedNoticeSink noticeScope{notices};
};

TEST_F(Winmm, NoDevicesSelectTakesAnyNumberAndOpeningFailsWithWinmmsText) {
    TMidiIO io;
    EXPECT_EQ(io.inputDeviceCount(), 0);
    EXPECT_EQ(io.outputDeviceCount(), 0);
    EXPECT_EQ(io.inputDeviceName(0), "");
    io.selectInputDevice(7);
    io.selectOutputDevice(250);
    EXPECT_EQ(io.inputDevice(), 7);
    EXPECT_EQ(io.outputDevice(), 250);

    io.setInputHandler(&ignore, nullptr);
    io.setInputOpen(true);
    io.setOutputOpen(true);
    EXPECT_FALSE(io.inputOpen());
    EXPECT_FALSE(io.outputOpen());
    io.sendShortMessage(0x403C90);

    const auto shown = notices.notices();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].caption, "MidiIO");
    EXPECT_EQ(shown[0].kind, platform::NoticeKind::Error);
    EXPECT_EQ(errorTexts(false).count(shown[0].text), 1u) << shown[0].text;
    EXPECT_EQ(shown[1].caption, "MidiIO");
    EXPECT_EQ(errorTexts(true).count(shown[1].text), 1u) << shown[1].text;
}

TEST_F(Winmm, PlugInParametersSurviveMissingDevices) {
    platform::MemorySettingsStore store;
    platform::ScopedSettingsStore settingsScope(store);
    AEffect* e = pluginEntry(testsupport::FakeVstHost::callback);
    ASSERT_NE(e, nullptr);
    e->setParameter(e, 9, 3.0f / 256);
    e->setParameter(e, 0, 1.0f);
    e->setParameter(e, 39, 1.0f);
    e->setParameter(e, 40, 1.0f);
    static_cast<APlugin*>(static_cast<AudioEffect*>(e->object))->waitForWorker();
    EXPECT_EQ(e->getParameter(e, 39), 0.0f);
    EXPECT_EQ(e->getParameter(e, 40), 0.0f);
    EXPECT_EQ(notices.notices().size(), 2u);
    e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
}

}  // namespace
