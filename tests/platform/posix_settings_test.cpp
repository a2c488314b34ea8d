// The Linux settings files themselves: where they live, their mode and how damage is read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/notice.h"
#include "platform/settings.h"
#include "support/recordingnoticesink.h"

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
    // No temporary file of this store is left behind. Other test programs share the folder
    // and may be half-way through their own writes, so only this file's temporaries count.
    for (const auto& e : fs::directory_iterator(file.parent_path()))
        EXPECT_NE(e.path().filename().string().rfind("FileTest.conf.tmp", 0), 0u) << e.path();
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

// Another program changes the file between two reads: rewritten in place at the same size
// within the same instant as far as seconds go, or replaced by a rename. Each read sees it.
TEST(SettingsFile, AFileChangedBetweenReadsIsReadAgain) {
    const fs::path file =
        fs::path(std::getenv("XDG_CONFIG_HOME")) / "corvella" / "Software" / "Changed.conf";
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "EmuIn=dword:1\n";
    auto& store = platform::userSettings();
    EXPECT_EQ(store.readDword("Software\\Changed", "EmuIn"), 1u);
    {
        std::fstream inPlace(file, std::ios::in | std::ios::out);
        inPlace << "EmuIn=dword:2\n";
    }
    EXPECT_EQ(store.readDword("Software\\Changed", "EmuIn"), 2u);
    std::ofstream(file.string() + ".new") << "EmuIn=dword:3\n";
    fs::rename(file.string() + ".new", file);
    EXPECT_EQ(store.readDword("Software\\Changed", "EmuIn"), 3u);
}

// Only a regular file of at most 1 MB is read. A FIFO, a device or a huge file in its place
// reads as missing at once, with one notice each, and is never replaced by a write.
TEST(SettingsFile, OnlyRegularFilesOfSaneSizeAreRead) {
    const fs::path dir = fs::path(std::getenv("XDG_CONFIG_HOME")) / "corvella" / "Hostile";
    fs::remove_all(dir);
    fs::create_directories(dir);
    platform::RecordingNoticeSink sink;
    platform::ScopedNoticeSink scoped(sink);
    auto& store = platform::userSettings();

    ASSERT_EQ(::mkfifo((dir / "Fifo.conf").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir / "Zero.conf");
    {
        std::ofstream big(dir / "Big.conf");
        big << "VSTi=dword:1\n" << std::string((1 << 20) + 1, '#') << '\n';
    }
    for (const char* key : {"Fifo", "Zero", "Big"}) {
        const std::string k = std::string("Hostile\\") + key;
        EXPECT_FALSE(store.readDword(k, "VSTi").has_value()) << key;
        EXPECT_FALSE(store.readDword(k, "VSTi").has_value()) << key;
        EXPECT_FALSE(store.writeDword(k, "VSTi", 0)) << key;
    }
    EXPECT_EQ(fs::status(dir / "Fifo.conf").type(), fs::file_type::fifo);
    EXPECT_TRUE(fs::is_symlink(dir / "Zero.conf"));
    EXPECT_GT(fs::file_size(dir / "Big.conf"), 1u << 20);
    const auto notices = sink.notices();
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_NE(notices[0].text.find("Fifo.conf is not a regular file"), std::string::npos)
        << notices[0].text;
    EXPECT_NE(notices[2].text.find("Big.conf is larger than 1 MB"), std::string::npos)
        << notices[2].text;

    // A link to a regular file is read as the file.
    std::ofstream(dir / "Real.txt") << "VSTi=dword:5\n";
    fs::create_symlink(dir / "Real.txt", dir / "Linked.conf");
    EXPECT_EQ(store.readDword("Hostile\\Linked", "VSTi"), 5u);
    EXPECT_EQ(sink.notices().size(), 3u);
}
