// The text of the MIDI log and the hand-over of its lines to the editor's view.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "editor/logfeed.h"
#include "engine/loglines.h"
#include "engine/logtext.h"

TEST(LogText, LinesForEveryKindOfMessage) {
    const std::vector<std::pair<MidiWord, std::string>> cases = {
        {packWord(0x90, 60, 100), "[1] C 5 (60,100) On"},
        {packWord(0xB3, 7, 100), "[4] CCM: Channel Volume (7,100)"},
        {packWord(0xC0, 5, 0), "[1] Program Change (5)"},
        {packWord(0xE0, 0, 0x40), "[1] Pitchbend (-16384)"},
        {packWord(0x99, 36, 0), "[10] C 3 (36) Off"},
        {packWord(0x90, 127, 64), "[1] --- (127,64) On"},
        {packWord(0x90, 0xBC, 0x80), "[1] C 5 (60,0) On"},  // note-on test sees the whole byte
        {packWord(0x8F, 61, 9), "[16] C#5 (61) Off"},
        {packWord(0xB0, 120, 0), "[1] CCM: [CMM] All Sound Off (120,0)"},
        {packWord(0xB0, 200, 3), "[1] CCM: Invalid control change message (200,3)"},
        {packWord(0xE0, 0x7F, 0x7F), "[1] Pitchbend (-129)"},
        {packWord(0xA1, 71, 33), "[2] Polyphonic Aftertouch B 5 (33)"},
        {packWord(0xD2, 130, 0), "[3] Channel Aftertouch (130)"},
        {packWord(0xF8, 1, 2), "Timing clock"},
        {packWord(0xF3, 0, 0), "Song Select(Song #)"},
        {packWord(0xF9, 0, 0), "Undefined"},
        {packWord(0xFE, 0, 0), "Active Sensing"},
        {packWord(0x45, 0x10, 0), "Undefined (69,16,0)"},
    };
    for (const auto& [word, line] : cases) EXPECT_EQ(logLine(word), line) << std::hex << word;
}

TEST(LogText, NoteAndControllerTables) {
    EXPECT_EQ(noteName(0), "C 0");
    EXPECT_EQ(noteName(119), "B 9");
    EXPECT_EQ(noteName(70), "A#5");
    EXPECT_EQ(noteName(120), "---");
    EXPECT_EQ(noteName(-1), "---");
    EXPECT_STREQ(controllerName(32), "LSB for Control 0 (Bank Select)");
    EXPECT_STREQ(controllerName(38), "LSB for Control 6 (Data Entry)");
    EXPECT_STREQ(controllerName(44), "LSB for Control 12 (Effect control 1)");
    EXPECT_STREQ(controllerName(63), "LSB for Control 31 (Undefined)");
    EXPECT_STREQ(controllerName(79), "Sound Controller 10");
    EXPECT_STREQ(controllerName(95), "Effects 5 Depth");
    EXPECT_STREQ(controllerName(127), "[CMM] Poly Mode On");
    EXPECT_STREQ(controllerName(128), "Invalid control change message");
    // Every LSB entry names its controller, except the three spelled differently.
    for (int n = 32; n < 64; ++n) {
        if (n == 38 || n == 44 || n == 45) continue;
        EXPECT_EQ(std::string(controllerName(n)), "LSB for Control " + std::to_string(n - 32) +
                                                      " (" + controllerName(n - 32) + ")");
    }
    char small[6];
    EXPECT_EQ(formatLogLine(packWord(0x90, 60, 100), small, sizeof small), 5u);
    EXPECT_STREQ(small, "[1] C");
}

// Every status with data bytes across their range (top bits included): each line fits the
// room writeLogLine promises, and a smaller buffer gets exactly the line's beginning.
TEST(LogText, LinesFitTheirRoomAndCutToAnyCapacity) {
    std::size_t longest = 0;
    for (unsigned status = 0; status < 256; ++status) {
        for (unsigned d1 = 0; d1 < 256; d1 += 3) {
            for (unsigned d2 : {0u, 1u, 64u, 127u, 128u, 255u}) {
                const MidiWord w = packWord(status, d1, d2);
                char room[kMaxLogLine];
                const std::size_t n = writeLogLine(w, room);
                ASSERT_LE(n, kMaxLogLine);
                const std::string line(room, n);
                ASSERT_EQ(logLine(w), line);
                longest = std::max(longest, n);
                if (d2 != 255 || d1 % 15 != 0) continue;
                for (std::size_t capacity = 1; capacity <= n + 1; ++capacity) {
                    char cut[kMaxLogLine + 1];
                    ASSERT_EQ(formatLogLine(w, cut, capacity), capacity - 1);
                    ASSERT_EQ(std::string(cut), line.substr(0, capacity - 1));
                }
            }
        }
    }
    EXPECT_EQ(longest, 68u);  // "[16] CCM: LSB for Control 19 (General Purpose Controller 4) ..."
}

// The whole of both tables, written out as the log's reader sees them. Any one name spelled
// differently (a flat for a sharp, a corrected spelling) fails here.
TEST(LogText, EveryNoteAndControllerName) {
    const char* notes[12] = {"C ", "C#", "D ", "D#", "E ", "F ",
                             "F#", "G ", "G#", "A ", "A#", "B "};
    for (int n = 0; n < 120; ++n)
        EXPECT_EQ(noteName(n), std::string(notes[n % 12]) + std::to_string(n / 12)) << n;

    std::vector<std::string> cc(128, "Undefined");
    const char* low[] = {"Bank Select",
                         "Modulation Wheel or Lever",
                         "Breath Controller",
                         "Undefined",
                         "Foot Controller",
                         "Portamento Time",
                         "Data Entry MSB",
                         "Channel Volume",
                         "Balance",
                         "Undefined",
                         "Pan",
                         "Expression Controller",
                         "Effect Control 1",
                         "Effect Control 2"};
    for (int n = 0; n < 14; ++n) cc[n] = low[n];
    for (int n = 16; n < 20; ++n) cc[n] = "General Purpose Controller " + std::to_string(n - 15);
    for (int n = 32; n < 64; ++n)
        cc[n] = "LSB for Control " + std::to_string(n - 32) + " (" + cc[n - 32] + ")";
    cc[38] = "LSB for Control 6 (Data Entry)";
    cc[44] = "LSB for Control 12 (Effect control 1)";
    cc[45] = "LSB for Control 13 (Effect control 2)";
    const char* pedals[] = {"Damper Pedal on/off (Sustain)",
                            "Portamento On/Off",
                            "Sustenuto On/Off",
                            "Soft Pedal On/Off",
                            "Legato Footswitch",
                            "Hold 2"};
    for (int n = 64; n < 70; ++n) cc[n] = pedals[n - 64];
    for (int n = 70; n < 80; ++n) cc[n] = "Sound Controller " + std::to_string(n - 69);
    for (int n = 80; n < 84; ++n) cc[n] = "General Purpose Controller " + std::to_string(n - 75);
    cc[84] = "Portamento Control";
    for (int n = 91; n < 96; ++n) cc[n] = "Effects " + std::to_string(n - 90) + " Depth";
    const char* data[] = {"Data Increment (Data Entry +1)",
                          "Data Decrement (Data Entry -1)",
                          "Non-Registered Parameter Number (NRPN) - LSB",
                          "Non-Registered Parameter Number (NRPN) - MSB",
                          "Registered Parameter Number (RPN) - LSB",
                          "Registered Parameter Number (RPN) - MSB"};
    for (int n = 96; n < 102; ++n) cc[n] = data[n - 96];
    const char* mode[] = {"All Sound Off",    "Reset All Controllers", "Local Control On/Off",
                          "All Notes Off",    "Omni Mode Off",         "Omni Mode On",
                          "Poly Mode On/Off", "Poly Mode On"};
    for (int n = 120; n < 128; ++n) cc[n] = std::string("[CMM] ") + mode[n - 120];
    for (int n = 0; n < 128; ++n) EXPECT_EQ(controllerName(n), cc[n]) << n;
    // And as a whole line, on a channel other than 1.
    EXPECT_EQ(logLine(packWord(0xB5, 66, 127)), "[6] CCM: Sustenuto On/Off (66,127)");
    EXPECT_EQ(logLine(packWord(0x9E, 68, 1)), "[15] G#5 (68,1) On");
}

namespace {
void fill(LogLines& lines, int n, int from = 0) {
    for (int i = 0; i < n; ++i) lines.append("line " + std::to_string(from + i));
}
}  // namespace

TEST(LogTransfer, IdleShowsNewLinesAndTrims) {
    LogLines lines;
    editor::LogFeed feed;
    fill(lines, 250);
    EXPECT_TRUE(feed.idle(lines, false));
    EXPECT_EQ(feed.size(), 250u);
    EXPECT_EQ(lines.size(), 199u);
    EXPECT_EQ(lines.line(0), "line 51");
    EXPECT_TRUE(feed.idle(lines, false));
    ASSERT_EQ(feed.size(), 199u);
    EXPECT_EQ(feed.lines().front(), "line 51");
    EXPECT_EQ(feed.lines().back(), "line 249");
    EXPECT_FALSE(feed.idle(lines, false));
    // Lines are matched by number: a line the editor added itself hides no log line.
    feed.addOwn("Filter set to Allow all");
    fill(lines, 2, 250);
    feed.idle(lines, false);
    const auto shown = feed.lines();
    EXPECT_EQ(shown.back(), "line 251");
    EXPECT_EQ(shown[shown.size() - 2], "line 250");
    EXPECT_EQ(shown[shown.size() - 3], "Filter set to Allow all");
    // Nothing moves while a clear is pending.
    fill(lines, 5, 300);
    EXPECT_FALSE(feed.idle(lines, true));
    EXPECT_EQ(feed.lines(), shown);
    // Without a window only the list is trimmed.
    fill(lines, 300, 400);
    editor::LogFeed::trimList(lines);
    EXPECT_EQ(lines.size(), 199u);
}

TEST(LogTransfer, OpenDropsALongBacklog) {
    LogLines lines;
    editor::LogFeed feed;
    fill(lines, 300);
    feed.open(lines);
    EXPECT_EQ(feed.size(), 300u);
    fill(lines, 1, 300);
    feed.open(lines);
    EXPECT_EQ(feed.size(), 0u);
    EXPECT_EQ(lines.size(), 0u);
}

TEST(LogLinesRing, BoundedDropsOldestAndCutsLongLines) {
    LogLines lines;
    fill(lines, 5003);
    EXPECT_EQ(lines.size(), 5000u);
    EXPECT_EQ(lines.dropped(), 3u);
    EXPECT_EQ(lines.line(0), "line 3");
    EXPECT_EQ(lines.line(4999), "line 5002");
    EXPECT_EQ(lines.line(5000), "");
    lines.append(std::string(400, 'x'));
    EXPECT_EQ(lines.line(4999).size(), 255u);
    lines.clear();
    EXPECT_EQ(lines.size(), 0u);
}

// A writer appending while the user-interface thread reads and trims: every line arrives
// whole and in order. (Lines that arrive between an idle's read and its trim of the list are
// trimmed away unseen.)
TEST(LogLinesRing, WriterAndReaderAtOnce) {
    LogLines lines;
    editor::LogFeed feed;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) lines.append("message number " + std::to_string(i));
        done = true;
    });
    while (!done.load()) {
        feed.idle(lines, false);
        for (const auto& l : feed.lines()) {
            ASSERT_EQ(l.rfind("message number ", 0), 0u) << l;
        }
    }
    writer.join();
    feed.idle(lines, false);
    long previous = -1;
    for (const auto& l : feed.lines()) {
        const long n = std::stol(l.substr(15));
        EXPECT_GT(n, previous);
        previous = n;
    }
    EXPECT_EQ(previous, 19999);
}
