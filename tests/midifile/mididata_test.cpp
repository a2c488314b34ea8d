// The MIDI data component: header handling, RIFF files, tracks, loading and saving.
#include <gtest/gtest.h>

#include "midifile/errors.h"
#include "midifile/mididata.h"
#include "midifile/virtualmemorystream.h"
#include "testfiles.h"

using namespace midifile;

namespace {

const Bytes kNoteTrack =
    trackChunk({0x00, 0x90, 0x3C, 0x40, 0x60, 0x80, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00});

std::string loadError(TMidiData& d) {
    try {
        d.load();
    } catch (const Exception& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace

TEST(MidiData, NewFileWithOneTrackSavesTheLogHeader) {
    ScratchDir dir;
    TMidiData d;
    EXPECT_FALSE(d.active());
    d.setActive(true);  // no file name: a new empty file
    EXPECT_TRUE(d.active());
    EXPECT_EQ(d.ppqn(), 180);
    d.setPpqn(192);
    EXPECT_TRUE(d.modified());
    EXPECT_FALSE(d.addTrack(0));
    d.fileName = dir.file("log.mid");
    d.save();
    EXPECT_FALSE(d.modified());
    const Bytes expected = concat(
        {{0x4D, 0x54, 0x68, 0x64, 0, 0, 0, 6, 0, 1, 0, 1, 0, 0xC0},
         trackChunk({0x00, 0xFF, 0x21, 0x00, 0x00, 0xFF, 0x03, 0x00, 0x00, 0xFF, 0x2F, 0x00})});
    EXPECT_EQ(readFile(d.fileName), expected);
}

TEST(MidiData, AddTrackAndPpqnFlags) {
    TMidiData d;
    d.newFile();
    EXPECT_TRUE(d.addTrack(1));
    EXPECT_EQ(d.trackCount(), 2);
    EXPECT_EQ(d.headerTrackCount(), 2);
    EXPECT_FALSE(d.addTrack(1));
    EXPECT_EQ(d.trackCount(), 3);
    EXPECT_EQ(d.track(3), nullptr);
    EXPECT_NE(d.track(2), nullptr);

    TMidiData e;
    e.newFile();
    e.setPpqn(180);
    EXPECT_FALSE(e.modified());
    e.setActive(false);
    EXPECT_EQ(e.trackCount(), 0);
    EXPECT_FALSE(e.active());
}

TEST(MidiData, HeaderLengths) {
    ScratchDir dir;
    TMidiData d;
    d.fileName = dir.file("h5.mid");
    writeFile(d.fileName, concat({{'M', 'T', 'h', 'd', 0, 0, 0, 5, 0, 0, 0, 1, 0}, kNoteTrack}));
    EXPECT_EQ(loadError(d), "Invalid MIDI header size");
    EXPECT_FALSE(d.active());

    d.fileName = dir.file("h8.mid");
    writeFile(
        d.fileName,
        concat({{'M', 'T', 'h', 'd', 0, 0, 0, 8, 0, 0, 0, 1, 0x01, 0xE0, 0xAB, 0xCD}, kNoteTrack}));
    d.load();
    EXPECT_TRUE(d.active());
    EXPECT_EQ(d.format(), 0);
    EXPECT_EQ(d.ppqn(), 480);
    EXPECT_EQ(d.extraHeader(), (Bytes{0xAB, 0xCD}));
    ASSERT_EQ(d.trackCount(), 1);
    EXPECT_EQ(d.track(0)->eventCount(), 3);
    const Bytes original = readFile(d.fileName);
    d.fileName = dir.file("h8-saved.mid");
    d.save();
    EXPECT_EQ(readFile(d.fileName), original);

    // A header length no file backs.
    d.fileName = dir.file("huge.mid");
    writeFile(d.fileName, {'M', 'T', 'h', 'd', 0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 0, 96, 1});
    EXPECT_EQ(loadError(d), "Stream read error");
}

TEST(MidiData, FailedLoadsLeaveNothingBehind) {
    ScratchDir dir;
    TMidiData d;
    d.fileName = dir.file("riff-named.mid");
    writeFile(d.fileName, rmidWrap(concat({headerChunk(0, 1, 96), kNoteTrack})));
    EXPECT_EQ(loadError(d), "Invalid MIDI file ID");

    // The second track is damaged: the first one goes too.
    d.fileName = dir.file("damaged.mid");
    writeFile(d.fileName,
              concat({headerChunk(1, 2, 96), kNoteTrack, trackChunk({0x00, 0x3C, 0x40})}));
    EXPECT_EQ(loadError(d), "Error in Running Status");
    EXPECT_EQ(d.trackCount(), 0);
    EXPECT_FALSE(d.active());
    EXPECT_EQ(d.ppqn(), 180);

    // Fewer tracks than the header says.
    writeFile(d.fileName, concat({headerChunk(1, 3, 96), kNoteTrack}));
    EXPECT_EQ(loadError(d), "Stream read error");

    d.fileName = dir.file("missing.mid");
    EXPECT_EQ(loadError(d), "Unable to open " + d.fileName);
    d.fileName = dir.file("no/such/folder/out.mid");
    try {
        d.save();
        FAIL();
    } catch (const EFileCreate& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to create " + d.fileName);
    }
}

TEST(MidiData, RiffFilesLoadAndTakeTheMidExtension) {
    ScratchDir dir;
    std::filesystem::create_directories(dir.path() / "Music.Old");
    const Bytes smf = concat({headerChunk(1, 1, 0xE728), kNoteTrack});  // SMPTE division
    TMidiData d;
    d.fileName = dir.file("Music.Old/song.rmi");
    writeFile(d.fileName, rmidWrap(smf));
    d.setActive(true);
    EXPECT_TRUE(d.active());
    EXPECT_TRUE(d.fromRiff());
    EXPECT_EQ(d.fileName, dir.file("Music.Old/song.MID"));
    EXPECT_EQ(d.ppqn(), 0xE728);
    EXPECT_EQ(d.track(0)->eventCount(), 3);
    d.save();
    EXPECT_EQ(readFile(d.fileName), smf);

    d.fileName = dir.file("Music.Old/other.RIFF");
    writeFile(d.fileName, rmidWrap(smf, false));
    EXPECT_EQ(loadError(d), "Unable to descend into data");
    EXPECT_EQ(d.fileName, dir.file("Music.Old/other.RIFF"));
    EXPECT_EQ(replaceExtension("C:\\Music.Old\\song.rmi", ".MID"), "C:\\Music.Old\\song.MID");
    EXPECT_EQ(replaceExtension("C:\\Music.Old\\song", ".MID"), "C:\\Music.Old\\song.MID");
}

// Every track is an address-space reservation of its own. The most tracks a header can name
// either all load or fail with the library's own error saying why, and leave nothing behind.
TEST(MidiData, TheMostTracksLoadOrFailWithTheReason) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer maps memory of its own and itself fails once the maps run out.
    GTEST_SKIP() << "exhausts the process's memory maps, which ThreadSanitizer needs too";
#endif
    ScratchDir dir;
    Bytes file = headerChunk(1, 0xFFFF, 96);
    file.reserve(file.size() + 0xFFFF * kNoteTrack.size());
    for (int i = 0; i < 0xFFFF; ++i) file.insert(file.end(), kNoteTrack.begin(), kNoteTrack.end());
    TMidiData d;
    d.fileName = dir.file("many.mid");
    writeFile(d.fileName, file);
    const std::string error = loadError(d);
    if (error == "no error") {
        EXPECT_EQ(d.trackCount(), 0xFFFF);
    } else {
        EXPECT_EQ(error.rfind("Too many tracks for this machine's memory maps: track ", 0), 0u)
            << error;
        EXPECT_EQ(d.trackCount(), 0);
    }
}

// Impossible arguments raise the library's own classes, never a standard one.
TEST(MidiData, BadArgumentsRaiseLibraryErrors) {
    EXPECT_THROW(TVirtualMemoryStream(-1), EVirtualMemory);
    EXPECT_THROW(TVirtualMemoryStream(10, 11), EVirtualMemory);
    TVirtualMemoryStream s(100);
    EXPECT_THROW(s.setSize(-1), EVirtualMemory);
    EXPECT_THROW(TMidiTrackStream(0), EVirtualMemory);
    TMidiTrackStream t(10);
    const std::uint8_t dataByte[5] = {0x3C, 0, 0, 0, 0};
    EXPECT_THROW(t.insertEvent(0, dataByte, 0), EMidiTrackStream);
    const std::uint8_t meta[5] = {0xFF, 0, 0, 0, 0};
    EXPECT_THROW(t.insertEvent(0, meta, 0), EMidiTrackStream);
    const std::uint8_t sysex[5] = {0xF0, 0, 0, 0, 0};
    EXPECT_THROW(t.insertEvent(0, sysex, 3, nullptr), EMidiTrackStream);
    EXPECT_THROW(t.setTrackName(std::string(70000, 'x')), EMidiTrackStream);
    EXPECT_EQ(t.eventCount(), 0);
}
