// The MIDI track: insertion order, reading and writing track chunks, damaged chunks.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "midifile/errors.h"
#include "midifile/miditrackstream.h"
#include "support/midimessages.h"
#include "testfiles.h"

using midifile::EMidiTrackStream;
using midifile::EVirtualMemory;
using midifile::SeekOrigin;
using midifile::TMidiEvent;
using midifile::TMidiTrackStream;
using midifile::TVirtualMemoryStream;

namespace {

void loadTrack(TMidiTrackStream& track, const Bytes& chunk) {
    TVirtualMemoryStream source(static_cast<std::int32_t>(chunk.size()) + 16,
                                static_cast<std::int32_t>(chunk.size()));
    std::copy(chunk.begin(), chunk.end(), source.memory());
    track.loadFromStream(source);
}

Bytes writeTrack(TMidiTrackStream& track) {
    TVirtualMemoryStream out(1 << 22, 0);
    track.writeToStream(out);
    return Bytes(out.memory(), out.memory() + out.streamPosition());
}

std::string loadError(const Bytes& events) {
    TMidiTrackStream track(1000);
    try {
        loadTrack(track, trackChunk(events));
    } catch (const EMidiTrackStream& e) {
        return e.what();
    }
    return "no error";
}

int metaType(const TMidiTrackStream& t, const TMidiEvent& e) {
    const std::uint8_t* block = t.eventBlock(e);
    return e.status == 0xFF && block ? block[0] : -1;
}

// The bytes of the track's SysEx packets joined (F0 first), and their statuses; every packet
// at `time`.
Bytes joinedSysex(const TMidiTrackStream& t, std::int32_t time,
                  std::vector<std::uint8_t>& statuses) {
    Bytes joined;
    for (std::int32_t i = 0; i < t.eventCount(); ++i) {
        const TMidiEvent& e = *t.event(i);
        if (e.status != 0xF0 && e.status != 0xF7) continue;
        EXPECT_EQ(e.time(), time);
        statuses.push_back(e.status);
        if (e.status == 0xF0) joined.push_back(0xF0);
        const std::uint8_t* b = t.eventBlock(e);
        joined.insert(joined.end(), b, b + e.dataLength());
    }
    return joined;
}

// An event of `status` (F0, F7, or FF with its type byte) with `length` data bytes, at delta 0.
Bytes longEvent(std::initializer_list<std::uint8_t> status, std::size_t length) {
    Bytes out = {0x00};
    out.insert(out.end(), status);
    std::uint8_t quantity[4];
    int n = 0;
    for (std::size_t v = length; n == 0 || v > 0; v >>= 7)
        quantity[n++] = static_cast<std::uint8_t>(v & 0x7F);
    while (n-- > 0) out.push_back(static_cast<std::uint8_t>(quantity[n] | (n > 0 ? 0x80 : 0)));
    for (std::size_t i = 0; i < length; ++i) out.push_back(static_cast<std::uint8_t>(i % 128));
    return out;
}

void insertNote(TMidiTrackStream& t, std::int32_t time, std::uint8_t status, std::uint8_t note,
                std::uint8_t velocity) {
    const std::uint8_t input[5] = {status, note, velocity, 0, 0};
    t.insertEvent(time, input, 0);
}

}  // namespace

TEST(MidiTrack, InsertKeepsTimeOrderAndEndOfTrackLast) {
    TMidiTrackStream t(100);
    t.initNewTrack();
    ASSERT_EQ(t.eventCount(), 3);
    EXPECT_EQ(metaType(t, *t.event(0)), 0x21);
    EXPECT_EQ(metaType(t, *t.event(1)), 0x03);
    EXPECT_EQ(t.nameEvent(), t.event(1));
    EXPECT_EQ(metaType(t, *t.event(2)), 0x2F);

    insertNote(t, 10, 0x90, 1, 1);
    insertNote(t, 5, 0x90, 2, 1);
    insertNote(t, 5, 0x90, 3, 1);
    insertNote(t, 20, 0x90, 4, 1);
    ASSERT_EQ(t.eventCount(), 7);
    const int notes[] = {2, 3, 1, 4};
    const int times[] = {5, 5, 10, 20};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(t.event(2 + i)->data[0], notes[i]) << i;
        EXPECT_EQ(t.event(2 + i)->time(), times[i]) << i;
    }
    EXPECT_EQ(metaType(t, *t.event(6)), 0x2F);
    EXPECT_EQ(t.event(6)->time(), 20);
    EXPECT_EQ(t.nameEvent(), t.event(1));
    EXPECT_TRUE(t.modified);

    EXPECT_EQ(t.find(5, 0), 2);
    EXPECT_EQ(t.find(5, 1), 3);
    EXPECT_EQ(t.find(7, 0), 4);
    EXPECT_EQ(t.find(21, 0), -1);
    EXPECT_EQ(t.event(7), nullptr);
    EXPECT_EQ(t.event(-1), nullptr);
}

TEST(MidiTrack, ReadsRunningStatusAndWritesTheSameBytes) {
    const Bytes events = {0x00, 0x90, 0x3C, 0x40, 0x10, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00};
    TMidiTrackStream t(100);
    loadTrack(t, trackChunk(events));
    ASSERT_EQ(t.eventCount(), 3);
    EXPECT_EQ(t.event(0)->time(), 0);
    EXPECT_EQ(t.event(0)->status, 0x90);
    EXPECT_EQ(t.event(0)->data[1], 0x40);
    EXPECT_EQ(t.event(1)->time(), 16);
    EXPECT_EQ(t.event(1)->status, 0x90);
    EXPECT_EQ(t.event(1)->data[0], 0x3C);
    EXPECT_EQ(t.event(1)->data[1], 0x00);
    EXPECT_EQ(metaType(t, *t.event(2)), 0x2F);
    EXPECT_EQ(t.event(2)->time(), 16);
    // The note-on and the velocity-0 note-on that ends it are paired.
    EXPECT_EQ(t.pairedNote(*t.event(0)), t.event(1));
    EXPECT_EQ(t.pairedNote(*t.event(1)), t.event(0));
    EXPECT_EQ(writeTrack(t), trackChunk(events));
    EXPECT_EQ(t.streamPosition(), 3 * 15);
}

TEST(MidiTrack, LongEventsProgramAndChannelRoundTrip) {
    // Program change (1 data byte), sysex split over F0/F7 packets, a text event, pitch wheel.
    const Bytes events = {0x00, 0xC3, 0x05,                    // program 5, ch 4
                          0x00, 0xF0, 0x03, 0x43, 0x12, 0x00,  // open sysex
                          0x05, 0xF7, 0x02, 0x01, 0xF7,        // continuation
                          0x00, 0xFF, 0x01, 0x02, 'h',  'i',   // text
                          0x81, 0x00, 0xE3, 0x00, 0x40,        // pitch wheel
                          0x00, 0xFF, 0x2F, 0x00};
    TMidiTrackStream t(100);
    loadTrack(t, trackChunk(events));
    ASSERT_EQ(t.eventCount(), 6);
    EXPECT_EQ(t.firstProgram, 5);
    EXPECT_EQ(t.firstChannel, 3);
    EXPECT_EQ(t.event(1)->dataLength(), 3);
    EXPECT_EQ(t.event(3)->dataLength(), 3);  // meta type + 2 bytes
    EXPECT_EQ(t.event(4)->time(), 133);
    // The first text event is the name event; naming turns it into a track-name event.
    EXPECT_EQ(t.nameEvent(), t.event(3));
    EXPECT_EQ(writeTrack(t), trackChunk(events));
    t.setTrackName("Corvella");
    EXPECT_EQ(metaType(t, *t.event(3)), 0x03);
    EXPECT_EQ(t.event(3)->dataLength(), 9);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.eventBlock(*t.event(3))) + 1, 8),
              "Corvella");
}

// An F7 block with no sysex open carries a whole message (an escape) and opens nothing, so
// the events after it read normally; a continuation of an open sysex still closes it.
TEST(MidiTrack, EscapesOpenNoSysex) {
    const Bytes events = {0x00, 0xF7, 0x03, 0xF2, 0x10, 0x20,  // song position, escaped
                          0x00, 0x90, 0x3C, 0x40,              // read as a note, not sysex
                          0x00, 0xF7, 0x02, 0xF3, 0x05,        // song select, escaped
                          0x00, 0xF7, 0x01, 0xF7,              // an escaped lone F7
                          0x00, 0xF0, 0x02, 0x43, 0x12,        // open sysex
                          0x00, 0xF7, 0x01, 0xF7,              // its continuation closes it
                          0x00, 0x3C, 0x00,                    // running status still holds
                          0x00, 0xFF, 0x2F, 0x00};
    TMidiTrackStream t(100);
    loadTrack(t, trackChunk(events));
    ASSERT_EQ(t.eventCount(), 8);
    EXPECT_EQ(t.event(0)->status, 0xF7);
    ASSERT_EQ(t.event(0)->dataLength(), 3);
    EXPECT_EQ(t.eventBlock(*t.event(0))[0], 0xF2);
    EXPECT_EQ(t.event(1)->status, 0x90);
    EXPECT_EQ(t.event(2)->dataLength(), 2);
    EXPECT_EQ(t.event(6)->status, 0x90);
    EXPECT_EQ(t.event(6)->data[0], 0x3C);
    // Written back byte for byte, except that the writer repeats the status after a sysex.
    Bytes written = events;
    written.insert(written.end() - 6, 0x90);
    EXPECT_EQ(writeTrack(t), trackChunk(written));
    // A continuation that does not end in F7 keeps the sysex open.
    EXPECT_EQ(loadError({0x00, 0xF0, 0x01, 0x43, 0x00, 0xF7, 0x01, 0x12, 0x00, 0x90, 0x3C, 0x40}),
              "Error in Sysex");
}

TEST(MidiTrack, TrackNameEventWinsOverText) {
    const Bytes events = {0x00, 0xFF, 0x01, 0x01, 'a',  0x00, 0xFF, 0x03,
                          0x01, 'b',  0x00, 0xFF, 0x01, 0x01, 'c'};
    TMidiTrackStream t(100);
    loadTrack(t, trackChunk(events));
    EXPECT_EQ(t.nameEvent(), t.event(1));
    // An insert before the name event keeps the reference on the same event.
    insertNote(t, 0, 0x90, 60, 1);
    insertNote(t, 0, 0x90, 61, 1);
    const std::uint8_t* block = t.eventBlock(*t.nameEvent());
    EXPECT_EQ(block[1], 'b');
}

TEST(MidiTrack, ChunkWithoutEndOfTrackGetsOne) {
    TMidiTrackStream t(100);
    loadTrack(t, trackChunk({0x00, 0x90, 0x3C, 0x40, 0x83, 0x60, 0x80, 0x3C, 0x00}));
    ASSERT_EQ(t.eventCount(), 3);
    EXPECT_EQ(metaType(t, *t.event(2)), 0x2F);
    EXPECT_EQ(t.event(2)->time(), 480);
    // Later events can now be inserted; End of Track moves with them.
    insertNote(t, 500, 0x90, 1, 1);
    EXPECT_EQ(t.event(3)->time(), 500);
}

TEST(MidiTrack, InsertAfterLastEventWithoutEndOfTrackFails) {
    TMidiTrackStream t(100);
    insertNote(t, 10, 0x90, 1, 1);
    try {
        insertNote(t, 20, 0x90, 2, 1);
        FAIL();
    } catch (const EMidiTrackStream& e) {
        EXPECT_STREQ(e.what(), "System error inserting event");
    }
    EXPECT_EQ(t.eventCount(), 1);
}

TEST(MidiTrack, ReaderErrors) {
    EXPECT_EQ(loadError({0x00, 0x3C, 0x40}), "Error in Running Status");
    EXPECT_EQ(loadError({0x00, 0xF0, 0x05, 0x43, 0x12, 0x00, 0x43, 0x12, 0x00, 0x90, 0x3C, 0x40}),
              "Error in Sysex");
    EXPECT_EQ(loadError({0x00, 0xF0, 0x05, 0x43, 0x12, 0x00, 0x43, 0x12, 0x00, 0x3C}),
              "Error in Sysex");
    // Unfinished where the chunk ends.
    EXPECT_EQ(loadError({0x00, 0xF0, 0x02, 0x43, 0x12}), "Error in Sysex");
    TMidiTrackStream t(100);
    try {
        loadTrack(t, {'M', 'T', 'h', 'd', 0, 0, 0, 0});
        FAIL();
    } catch (const EMidiTrackStream& e) {
        EXPECT_STREQ(e.what(), "Invalid track start ID");
    }
}

// Chunks whose contents end early or claim more than they hold stop at the chunk's end.
TEST(MidiTrack, DamagedChunksStopAtTheChunkEnd) {
    const std::string pastEnd = "Damaged track: event runs past the end of the chunk";
    const std::string lengthPastEnd = "Damaged track: data length runs past the end of the chunk";
    const std::string overflow = "Damaged track: time beyond the 32-bit range";
    EXPECT_EQ(loadError({0x00, 0x90, 0x3C}), pastEnd);
    EXPECT_EQ(loadError({0x00, 0x90}), pastEnd);
    EXPECT_EQ(loadError({0x00}), pastEnd);
    EXPECT_EQ(loadError({0x81, 0x80}), pastEnd);
    EXPECT_EQ(loadError({0x00, 0xFF}), pastEnd);
    EXPECT_EQ(loadError({0x00, 0xFF, 0x01, 0x05, 'a'}), lengthPastEnd);
    EXPECT_EQ(loadError({0x00, 0xF0, 0x8F, 0xFF, 0xFF, 0x7F, 0xF7}), lengthPastEnd);
    EXPECT_EQ(loadError({0x00, 0xFF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), lengthPastEnd);
    EXPECT_EQ(loadError({0x87, 0xFF, 0xFF, 0xFF, 0x7F, 0xF8, 0x01, 0xF8}), overflow);
    EXPECT_EQ(loadError({0x88, 0x80, 0x80, 0x80, 0x00, 0xF8}), overflow);
    // Long runs of empty groups are a valid (if wasteful) zero.
    EXPECT_EQ(loadError({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 0xF8}), "no error");

    // A chunk length the file does not back.
    TMidiTrackStream t(100);
    try {
        loadTrack(t, {'M', 'T', 'r', 'k', 0xFF, 0xFF, 0xFF, 0xF0, 0x00, 0xF8});
        FAIL();
    } catch (const EMidiTrackStream& e) {
        EXPECT_STREQ(e.what(), "Damaged track: chunk runs past the end of the file");
    }
}

TEST(MidiTrack, DataBytesWithTheTopBitSetKeepTheirStatus) {
    // Read raw after a status byte; written back, running status must not hide that status.
    const Bytes events = {0x00, 0xC1, 0xBF, 0x05, 0xC1, 0xF5, 0x00, 0xFF, 0x2F, 0x00};
    TMidiTrackStream t(100);
    loadTrack(t, trackChunk(events));
    ASSERT_EQ(t.eventCount(), 3);
    EXPECT_EQ(t.event(1)->data[0], 0xF5);
    EXPECT_EQ(writeTrack(t), trackChunk(events));
}

TEST(MidiTrack, ShortSystemEventsAreWrittenAsTheStatusAlone) {
    TMidiTrackStream t(100);
    t.initNewTrack();
    const std::uint8_t clock[5] = {0xF8, 0, 0, 0, 0};
    t.insertEvent(4, clock, 0);
    insertNote(t, 4, 0x90, 60, 100);
    insertNote(t, 8, 0x90, 60, 0);
    const Bytes written = writeTrack(t);
    const Bytes expected = trackChunk({0x00, 0xFF, 0x21, 0x00, 0x00, 0xFF, 0x03, 0x00,  //
                                       0x04, 0xF8,                                      //
                                       0x00, 0x90, 0x3C, 0x64, 0x04, 0x3C, 0x00,        //
                                       0x00, 0xFF, 0x2F, 0x00});
    EXPECT_EQ(written, expected);
    TMidiTrackStream back(100);
    loadTrack(back, written);
    ASSERT_EQ(back.eventCount(), t.eventCount());
    for (std::int32_t i = 0; i < t.eventCount(); ++i) {
        EXPECT_EQ(back.event(i)->time(), t.event(i)->time()) << i;
        EXPECT_EQ(back.event(i)->status, t.event(i)->status) << i;
    }
}

TEST(MidiTrack, GapsBeyondFourDeltaBytesAreBridgedByEmptyTextEvents) {
    TMidiTrackStream t(100);
    t.initNewTrack();
    const std::int32_t far = 0x0FFFFFFF * 2 + 5;
    insertNote(t, 0, 0x90, 60, 100);
    insertNote(t, far, 0x90, 60, 0);
    const Bytes written = writeTrack(t);
    const Bytes expected = trackChunk({0x00, 0xFF, 0x21, 0x00, 0x00, 0xFF, 0x03, 0x00,  //
                                       0x00, 0x90, 0x3C, 0x64,                          //
                                       0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0x01, 0x00,        //
                                       0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0x01, 0x00,        //
                                       0x05, 0x90, 0x3C, 0x00,                          //
                                       0x00, 0xFF, 0x2F, 0x00});
    EXPECT_EQ(written, expected);
    TMidiTrackStream back(100);
    loadTrack(back, written);
    ASSERT_EQ(back.eventCount(), t.eventCount() + 2);
    EXPECT_EQ(back.event(5)->time(), far);
    EXPECT_EQ(back.event(5)->status, 0x90);
    EXPECT_EQ(back.event(5)->data[1], 0);
}

TEST(MidiTrack, NotePairsFollowInsertsInTheMiddle) {
    TMidiTrackStream t(100);
    t.initNewTrack();
    insertNote(t, 0, 0x90, 60, 100);
    insertNote(t, 100, 0x80, 60, 0);
    insertNote(t, 200, 0x90, 60, 100);
    insertNote(t, 300, 0x90, 60, 0);
    // An event in the middle shifts records; the pairs are rebuilt to the new positions.
    insertNote(t, 50, 0xB0, 7, 100);
    const std::int32_t on1 = t.find(0, 1), off1 = t.find(100, 0);
    EXPECT_EQ(t.event(on1)->data[1], 100);
    EXPECT_EQ(t.pairedNote(*t.event(on1)), t.event(off1));
    EXPECT_EQ(t.pairedNote(*t.event(off1)), t.event(on1));
    EXPECT_EQ(t.pairedNote(*t.event(t.find(200, 0))), t.event(t.find(300, 0)));
    EXPECT_EQ(t.pairedNote(*t.event(t.find(50, 0))), nullptr);
}

TEST(MidiTrack, HoldsAtMostMaximumMinusOneEvents) {
    TMidiTrackStream t(100);
    t.initNewTrack();
    for (int i = 3; i < 99; ++i) insertNote(t, i, 0x90, 60, 1);
    ASSERT_EQ(t.eventCount(), 99);
    try {
        insertNote(t, 500, 0x90, 60, 1);
        FAIL();
    } catch (const EVirtualMemory& e) {
        EXPECT_STREQ(e.what(), "Size exceeds capacity");
    }
    EXPECT_EQ(t.eventCount(), 99);
    EXPECT_EQ(t.event(98)->time(), 98);  // End of Track did not move

    // A chunk with more events than the track holds.
    Bytes many;
    for (int i = 0; i < 101; ++i) many.insert(many.end(), {0x00, 0xF8});
    TMidiTrackStream small(100);
    EXPECT_THROW(loadTrack(small, trackChunk(many)), EVirtualMemory);
}

TEST(MidiTrack, LongSysexIsDividedIntoContinuationPacketsThatReadBack) {
    const Bytes sysex = testsupport::sysexOf(65536 + 65535 + 10);
    TMidiTrackStream track(100);
    track.initNewTrack();
    track.insertSysex(5, sysex.data(), sysex.size());
    TMidiTrackStream back(100);
    loadTrack(back, writeTrack(track));
    std::vector<std::uint8_t> statuses;
    EXPECT_EQ(joinedSysex(back, 5, statuses), sysex);
    EXPECT_EQ(statuses, (std::vector<std::uint8_t>{0xF0, 0xF7, 0xF7}));
    // Only a message that begins with F0 is taken.
    const std::uint8_t noStart[] = {0x01, 0xF7};
    EXPECT_THROW(track.insertSysex(0, noStart, sizeof noStart), EMidiTrackStream);
}

// A SysEx longer than a block holds is read as the packets the writer divides it into; only a
// message beyond the reader's limit, or a meta event or escape that cannot be divided, is
// refused.
TEST(MidiTrack, ALongSysexInAFileIsReadAsPackets) {
    Bytes events = longEvent({0xF0}, 70'000 - 1);
    events.back() = 0xF7;
    Bytes sysex = {0xF0};
    sysex.insert(sysex.end(), events.end() - (70'000 - 1), events.end());
    events.insert(events.end(), {0x00, 0x90, 0x3C, 0x40});
    TMidiTrackStream t(100);
    loadTrack(t, trackChunk(events));
    std::vector<std::uint8_t> statuses;
    EXPECT_EQ(joinedSysex(t, 0, statuses), sysex);
    EXPECT_EQ(statuses, (std::vector<std::uint8_t>{0xF0, 0xF7}));
    EXPECT_EQ(t.event(2)->status, 0x90);
    // Written back as those packets, it reads back the same.
    TMidiTrackStream back(100);
    loadTrack(back, writeTrack(t));
    statuses.clear();
    EXPECT_EQ(joinedSysex(back, 0, statuses), sysex);

    // A message the file itself divides, with a long continuation packet.
    events = longEvent({0xF0}, 10);
    const Bytes rest = longEvent({0xF7}, 70'000);
    events.insert(events.end(), rest.begin(), rest.end());
    events.back() = 0xF7;
    TMidiTrackStream divided(100);
    loadTrack(divided, trackChunk(events));
    statuses.clear();
    EXPECT_EQ(joinedSysex(divided, 0, statuses).size(), 1u + 10 + 70'000);
    EXPECT_EQ(statuses, (std::vector<std::uint8_t>{0xF0, 0xF7, 0xF7}));

    EXPECT_EQ(loadError(longEvent({0xFF, 0x7F}, 65'535)), "Meta event longer than 65534 bytes");
    EXPECT_EQ(loadError(longEvent({0xF7}, 65'536)), "F7 escape longer than 65535 bytes");
    events = longEvent({0xF0}, midifile::kMaxFileSysex);
    events.back() = 0xF7;
    EXPECT_EQ(loadError(events), "SysEx longer than 16 MB (16777216 bytes)");
}
