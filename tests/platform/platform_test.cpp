// The platform services: the user's settings store (a file per key on Linux, the registry on
// Windows, always in a scratch location here) and notices.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/notice.h"
#include "platform/settings.h"
#include "support/memorysettingsstore.h"
#include "support/recordingnoticesink.h"

namespace {

// A key no earlier run has used, so registry tests start from nothing.
std::string freshKey() {
    std::random_device rd;
    return "Software\\CorvellaTest\\k" + std::to_string(rd()) + std::to_string(rd());
}

class UserSettings : public ::testing::Test {
protected:
    void SetUp() override {
        // The tests run with XDG_CONFIG_HOME pointing into the build tree (see CMakeLists).
        const char* home = std::getenv("XDG_CONFIG_HOME");
        ASSERT_TRUE(home && std::string(home).find("corvella-test-config") != std::string::npos)
            << "refusing to touch a real settings folder";
    }
    platform::SettingsStore& store = platform::userSettings();
    std::string key = freshKey();
};

}  // namespace

TEST_F(UserSettings, MissingKeyAndValuesReadAsNothing) {
    EXPECT_FALSE(store.openKey(key, false));
    EXPECT_FALSE(store.readDword(key, "VSTi").has_value());
    EXPECT_FALSE(store.readString(key, "0").has_value());
    EXPECT_TRUE(store.openKey(key, true));
    EXPECT_TRUE(store.openKey(key, false));
    EXPECT_FALSE(store.readDword(key, "VSTi").has_value());
}

TEST_F(UserSettings, ValuesRoundTripWithTheirTypes) {
    ASSERT_TRUE(store.writeDword(key, "VSTi", 5));
    ASSERT_TRUE(store.writeDword(key, "EmuIn", 0));
    ASSERT_TRUE(store.writeDword(key, "Big", 0xFFFFFFFFu));
    ASSERT_TRUE(store.writeString(key, "7", "Drums = left\\right"));
    ASSERT_TRUE(store.writeString(key, "8", ""));
    EXPECT_EQ(store.readDword(key, "VSTi"), 5u);
    EXPECT_EQ(store.readDword(key, "EmuIn"), 0u);
    EXPECT_EQ(store.readDword(key, "Big"), 0xFFFFFFFFu);
    EXPECT_EQ(store.readString(key, "7"), "Drums = left\\right");
    EXPECT_EQ(store.readString(key, "8"), "");
    // A value of the other type reads as nothing.
    EXPECT_FALSE(store.readString(key, "VSTi").has_value());
    EXPECT_FALSE(store.readDword(key, "7").has_value());
    // Overwriting keeps the other values.
    ASSERT_TRUE(store.writeDword(key, "VSTi", 0));
    EXPECT_EQ(store.readDword(key, "VSTi"), 0u);
    EXPECT_EQ(store.readString(key, "7"), "Drums = left\\right");
}

TEST_F(UserSettings, ConcurrentWritersLoseNothing) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 16; ++i)
                store.writeDword(key, "v" + std::to_string(t) + "_" + std::to_string(i),
                                 static_cast<std::uint32_t>(i));
        });
    }
    for (auto& w : writers) w.join();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(store.readDword(key, "v" + std::to_string(t) + "_" + std::to_string(i)),
                      static_cast<std::uint32_t>(i));
}

TEST(MemorySettings, UnavailableStoreOpensNothing) {
    platform::MemorySettingsStore mem;
    mem.unavailable = true;
    EXPECT_FALSE(mem.openKey("Software\\Corvella", true));
    EXPECT_FALSE(mem.writeDword("Software\\Corvella", "VSTi", 1));
    EXPECT_FALSE(mem.readDword("Software\\Corvella", "VSTi").has_value());
    platform::ScopedSettingsStore scope(mem);
    EXPECT_EQ(&platform::userSettings(), &mem);
}

TEST(Notices, ARecordingSinkSeesEveryNoticeAndNeverBlocks) {
    // The outer sink stands for whatever was installed before; the scope must give it back
    // (and no notice may reach the system's own message box from a test).
    platform::RecordingNoticeSink outer;
    platform::ScopedNoticeSink outerScope(outer);
    platform::RecordingNoticeSink sink;
    {
        platform::ScopedNoticeSink scope(sink);
        std::thread t([] {
            platform::showNotice("Feedback loop!", "Corvella", platform::NoticeKind::Warning);
        });
        t.join();
        platform::showNotice(nullptr, "Vstbus", platform::NoticeKind::Error);
    }
    platform::showNotice("after the scope", "Corvella", platform::NoticeKind::Information);
    ASSERT_EQ(outer.notices().size(), 1u);
    EXPECT_EQ(outer.notices()[0].text, "after the scope");
    const auto n = sink.notices();
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(n[0].text, "Feedback loop!");
    EXPECT_EQ(n[0].caption, "Corvella");
    EXPECT_EQ(n[0].kind, platform::NoticeKind::Warning);
    EXPECT_EQ(n[1].text, "");
    EXPECT_EQ(n[1].caption, "Vstbus");
}
