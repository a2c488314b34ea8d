// The Linux settings files themselves: where they live, their mode and how damage is read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/settings.h"

namespace fs = std::filesystem;

TEST(SettingsFile, LivesUnderXdgConfigHomeWithOwnerOnlyMode) {
    const fs::path home = std::getenv("XDG_CONFIG_HOME");
    auto& store = platform::userSettings();
    ASSERT_TRUE(store.writeDword("Software\\FileTest", "ProcRep", 1));
    const fs::path file = home / "corvella" / "Software" / "FileTest.conf";
    ASSERT_TRUE(fs::exists(file));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "ProcRep=dword:1");
    // No temporary file is left behind.
    for (const auto& e : fs::directory_iterator(file.parent_path()))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

TEST(SettingsFile, DamagedLinesAreIgnoredAndKeysStayInsideTheStore) {
    const fs::path home = std::getenv("XDG_CONFIG_HOME");
    const fs::path file = home / "corvella" / "Software" / "Damaged.conf";
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "VSTi=dword:\nEmuIn=dword:12x\nno equals\nProcRep=dword:7\n"
                        << "Huge=dword:99999999999\n0=sz:Bass\\nline\n";
    auto& store = platform::userSettings();
    EXPECT_FALSE(store.readDword("Software\\Damaged", "VSTi").has_value());
    EXPECT_FALSE(store.readDword("Software\\Damaged", "EmuIn").has_value());
    EXPECT_FALSE(store.readDword("Software\\Damaged", "Huge").has_value());
    EXPECT_EQ(store.readDword("Software\\Damaged", "ProcRep"), 7u);
    EXPECT_EQ(store.readString("Software\\Damaged", "0"), "Bass\nline");
    ASSERT_TRUE(store.writeDword("..\\..\\Escape", "x", 1));
    EXPECT_TRUE(fs::exists(home / "corvella" / "Escape.conf"));
}
