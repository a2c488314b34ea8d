// The readable log: which lines a view shows (status filters), pause, the time prefixes and
// saving the view as UTF-8 text. The line texts themselves never change.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "editor/logfeed.h"
#include "engine/loglines.h"
#include "engine/logshow.h"

namespace {

LogEntry entry(std::uint8_t status, const std::string& text) {
    LogEntry e;
    e.text = text;
    e.info.status = status;
    return e;
}

LogLineInfo at(double ppq, int numerator, int denominator) {
    LogLineInfo info;
    info.ppq = ppq;
    info.hasPpq = true;
    info.numerator = static_cast<std::uint8_t>(numerator);
    info.denominator = static_cast<std::uint8_t>(denominator);
    return info;
}

void append(LogLines& lines, std::uint8_t status, const std::string& text, std::int64_t clock = 0) {
    LogLineInfo info;
    info.status = status;
    info.clock = clock;
    info.sampleRate = 48000.0f;
    lines.append(text, info);
}

}  // namespace

TEST(LogShowFilter, HidesStatusesByKindByteAndName) {
    LogShow show;
    EXPECT_TRUE(show.shows(entry(0xF8, "Timing clock")));
    show.hideClockAndSensing(true);
    EXPECT_TRUE(show.clockAndSensingHidden());
    EXPECT_FALSE(show.shows(entry(0xF8, "Timing clock")));
    EXPECT_FALSE(show.shows(entry(0xFE, "Active Sensing")));
    EXPECT_TRUE(show.shows(entry(0xFA, "Start")));
    // A kind hides all 16 channels; a byte only itself.
    show.hideKind(0x95, true);
    EXPECT_TRUE(show.kindHidden(0x90));
    EXPECT_FALSE(show.shows(entry(0x90, "")));
    EXPECT_FALSE(show.shows(entry(0x9F, "")));
    show.hide(0x9F, false);
    EXPECT_FALSE(show.kindHidden(0x90));
    EXPECT_TRUE(show.shows(entry(0x9F, "")));
    // Lines of no message (the editor's own, status 0) always show.
    EXPECT_TRUE(show.shows(entry(0, "Saved to: x")));

    LogShow listed;
    std::string bad;
    EXPECT_TRUE(listed.hideList("note-off,0xB3,,sensing", bad));
    EXPECT_FALSE(listed.shows(entry(0x8C, "")));
    EXPECT_FALSE(listed.shows(entry(0xB3, "")));
    EXPECT_TRUE(listed.shows(entry(0xB4, "")));
    EXPECT_FALSE(listed.shows(entry(0xFE, "")));
    EXPECT_TRUE(listed.shows(entry(0xF8, "")));
    for (const char* wrong : {"clocks", "0x7F", "0xF", "0x1F8", "0xZZ", "0X-8", "0x+F", "0x F"}) {
        EXPECT_FALSE(listed.hideList(std::string("clock,") + wrong, bad)) << wrong;
        EXPECT_EQ(bad, wrong);
    }
}

TEST(LogShowPrefix, SecondsAtSeveralRates) {
    EXPECT_EQ(secondsText(0, 44100.0), "0.000");
    EXPECT_EQ(secondsText(44099, 44100.0), "0.999");  // cut, never ahead of the message
    EXPECT_EQ(secondsText(44100, 44100.0), "1.000");
    EXPECT_EQ(secondsText(72000, 48000.0), "1.500");
    EXPECT_EQ(secondsText(71999, 48000.0), "1.499");
    EXPECT_EQ(secondsText(96000 * 3600 + 96, 96000.0), "3600.001");
    EXPECT_EQ(secondsText(22050, 22050.0), "1.000");
    EXPECT_EQ(secondsText(100, 0.0), "-.---");
    EXPECT_EQ(secondsText(INT64_MAX, 1e-30), "-.---");
    EXPECT_EQ(secondsText(INT64_MIN, 1e-3), "-.---");
}

TEST(LogShowPrefix, BarBeatTickIn44And68) {
    // 4/4: a quarter-note beat of 960 ticks, bars of four quarters.
    EXPECT_EQ(barsText(at(0.0, 4, 4)), "1.1.000");
    EXPECT_EQ(barsText(at(1.5, 4, 4)), "1.2.480");
    EXPECT_EQ(barsText(at(4.0, 4, 4)), "2.1.000");
    EXPECT_EQ(barsText(at(7.999, 4, 4)), "2.4.959");
    // 6/8: an eighth-note beat of 480 ticks, bars of three quarters.
    EXPECT_EQ(barsText(at(0.5, 6, 8)), "1.2.000");
    EXPECT_EQ(barsText(at(2.75, 6, 8)), "1.6.240");
    EXPECT_EQ(barsText(at(3.0, 6, 8)), "2.1.000");
    // The host's bar start counts bars; a message later in the call than its bar's end is in
    // the next bar.
    LogLineInfo info = at(13.0, 6, 8);
    info.barStart = 12.0;
    info.hasBar = true;
    EXPECT_EQ(barsText(info), "5.3.000");
    info.ppq = 15.25;
    EXPECT_EQ(barsText(info), "6.1.240");
    // No time signature: 4/4. No position: none shown.
    EXPECT_EQ(barsText(at(5.0, 0, 0)), "2.2.000");
    LogLineInfo none;
    EXPECT_EQ(barsText(none), "-.-.---");
    // Positions too far out to count ticks exactly: none shown; a bar start that far out is
    // taken as none.
    EXPECT_EQ(barsText(at(1e300, 4, 4)), "-.-.---");
    EXPECT_EQ(barsText(at(-1e13, 4, 4)), "-.-.---");
    info.ppq = 15.25;
    info.barStart = -1e50;
    EXPECT_EQ(barsText(info), "6.1.240");
}

TEST(LogShowPrefix, TextKeepsTheLineExactly) {
    LogShow show;
    LogEntry e = entry(0x90, "[1] C 5 (60,100) On");
    e.info = at(4.5, 4, 4);
    e.info.clock = 96000;
    e.info.sampleRate = 48000.0f;
    e.info.status = 0x90;
    EXPECT_EQ(show.text(e), "[1] C 5 (60,100) On");
    show.setTimePrefix(LogTimePrefix::Seconds);
    EXPECT_EQ(show.text(e), "2.000 [1] C 5 (60,100) On");
    show.setTimePrefix(LogTimePrefix::Bars);
    EXPECT_EQ(show.text(e), "2.1.480 [1] C 5 (60,100) On");
}

// Paused, the view stays as it is while new lines are counted; the resume shows the newest,
// no more than the view's bound. Hidden lines are not counted.
TEST(LogFeedView, PauseCountsAndResumesWithTheNewest) {
    LogLines lines;
    editor::LogFeed feed;
    feed.show().hideClockAndSensing(true);
    append(lines, 0x90, "before");
    feed.idle(lines, false);
    feed.setPaused(true);
    for (int i = 0; i < 1234; ++i) append(lines, 0x90, "new " + std::to_string(i));
    for (int i = 0; i < 500; ++i) append(lines, 0xF8, "Timing clock");
    // The list keeps being trimmed while paused; the feed reads before each trim.
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(feed.idle(lines, false));
    EXPECT_EQ(feed.lines(), std::vector<std::string>{"before"});
    EXPECT_EQ(feed.newWhilePaused(), 1234u);
    EXPECT_EQ(editor::pausedText(feed.newWhilePaused()), "paused: 1,234 new lines");
    EXPECT_EQ(editor::pausedText(1), "paused: 1 new line");
    EXPECT_EQ(editor::pausedText(1234567), "paused: 1,234,567 new lines");
    feed.setPaused(false);
    const auto shown = feed.lines();
    ASSERT_EQ(shown.size(), editor::LogFeed::kShown);
    EXPECT_EQ(shown.front(), "new 1034");
    EXPECT_EQ(shown.back(), "new 1233");
    EXPECT_EQ(feed.newWhilePaused(), 0u);
}

// Hiding a status takes its lines out of the view; a prefix applies to the lines already shown,
// not to the editor's own lines.
TEST(LogFeedView, FilterAndPrefixApplyToTheWholeView) {
    LogLines lines;
    editor::LogFeed feed;
    append(lines, 0x90, "[1] C 5 (60,100) On", 48000);
    append(lines, 0xF8, "Timing clock", 48100);
    feed.idle(lines, false);
    feed.addOwn("Saved to: /tmp/x.mid");
    feed.show().hideClockAndSensing(true);
    feed.show().setTimePrefix(LogTimePrefix::Seconds);
    feed.refilter();
    EXPECT_EQ(feed.lines(),
              (std::vector<std::string>{"1.000 [1] C 5 (60,100) On", "Saved to: /tmp/x.mid"}));
    // The line stays in the log for every other reader.
    EXPECT_EQ(lines.size(), 2u);
    feed.clear();
    EXPECT_EQ(feed.size(), 0u);
}

TEST(LogSaveText, WritesTheLinesAsUtf8) {
    const auto dir = std::filesystem::temp_directory_path() / "corvella-logtext-test";
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "log.txt").string();
    std::string error;
    // A Latin-1 byte (a name in the system's code page) becomes its UTF-8 pair; UTF-8 stays.
    ASSERT_TRUE(saveLogText(
        path, {"1.000 [1] C 5 (60,100) On", "Saved to: caf\xE9", "\xE2\x82\xAC"}, error))
        << error;
    std::string text;
    {
        std::ifstream in(path, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(text, "1.000 [1] C 5 (60,100) On\nSaved to: caf\xC3\xA9\n\xE2\x82\xAC\n");
    EXPECT_EQ(utf8Text("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80");  // no UTF-16 halves
    EXPECT_EQ(utf8Text("\xF0\x9F\x8E\xB9 ok"), "\xF0\x9F\x8E\xB9 ok");
    EXPECT_EQ(utf8Text("\xC3"), "\xC3\x83");  // cut short
    EXPECT_FALSE(saveLogText((dir / "no such dir" / "x.txt").string(), {"x"}, error));
    EXPECT_NE(error.find("no such dir"), std::string::npos);
    std::filesystem::remove_all(dir);
}
