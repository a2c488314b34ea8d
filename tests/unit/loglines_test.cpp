// The log line ring between the processing thread and its readers: whole lines with their
// fields, in order, however readers and trims interleave with the producer. Run under the
// linux-tsan preset as well: every access must be free of data races.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/loglines.h"
#include "engine/logtext.h"

namespace {

// Every fifth line is a channel message's line, kept as its word and written out by the reader.
bool isMessage(std::uint64_t n) {
    return n % 5 == 0;
}
MidiWord wordOf(std::uint64_t n) {
    return static_cast<MidiWord>(0x80 + n % 0x70) | static_cast<MidiWord>(n / 5 % 128) << 8 |
           static_cast<MidiWord>(n % 128) << 16;
}

// Line n's text: its message's line, or its number, then a tail whose length depends on n, so
// a line spliced from two writes does not match.
std::string textOf(std::uint64_t n) {
    if (isMessage(n)) return logLine(wordOf(n));
    std::string t = "line " + std::to_string(n) + " ";
    t.append(static_cast<std::size_t>(n % 200), static_cast<char>('a' + n % 26));
    return t;
}

LogLineInfo infoOf(std::uint64_t n) {
    LogLineInfo info;
    info.clock = static_cast<std::int64_t>(n) * 3;
    info.sampleRate = 48000.0f;
    info.status = static_cast<std::uint8_t>(0x80 + n % 128);
    info.numerator = static_cast<std::uint8_t>(n % 7 + 1);
    info.denominator = 8;
    info.hasPpq = n % 2 == 0;
    info.ppq = info.hasPpq ? static_cast<double>(n) / 4 : 0.0;
    info.hasBar = n % 4 == 0;
    info.barStart = info.hasBar ? static_cast<double>(n / 16) : 0.0;
    return info;
}

void expectWhole(const LogEntry& e) {
    ASSERT_EQ(e.text, textOf(e.sequence));
    const LogLineInfo want = infoOf(e.sequence);
    ASSERT_EQ(e.info.clock, want.clock);
    ASSERT_EQ(e.info.sampleRate, want.sampleRate);
    ASSERT_EQ(e.info.status, want.status);
    ASSERT_EQ(e.info.numerator, want.numerator);
    ASSERT_EQ(e.info.denominator, want.denominator);
    ASSERT_EQ(e.info.hasPpq, want.hasPpq);
    ASSERT_EQ(e.info.ppq, want.ppq);
    ASSERT_EQ(e.info.hasBar, want.hasBar);
    ASSERT_EQ(e.info.barStart, want.barStart);
}

}  // namespace

TEST(LogLinesFields, TravelWithTheirLine) {
    LogLines lines;
    for (std::uint64_t n = 0; n < 10; ++n) lines.append(textOf(n), infoOf(n));
    std::uint64_t seq = 3;
    LogEntry e;
    ASSERT_TRUE(lines.read(seq, e));
    EXPECT_EQ(e.sequence, 3u);
    expectWhole(e);
    seq = 10;
    EXPECT_FALSE(lines.read(seq, e));
    // A trimmed line is skipped to the oldest held.
    lines.keepNewest(2);
    seq = 0;
    ASSERT_TRUE(lines.read(seq, e));
    EXPECT_EQ(e.sequence, 8u);
    EXPECT_EQ(lines.oldest(), 8u);
    EXPECT_EQ(lines.dropped(), 0u);  // trims are not drops
}

// A message's line keeps only its word; every reader gets the text the word makes, and a slot
// that held one and then a text line (or the other way round) reads as what it holds now.
TEST(LogLinesFields, MessageLinesReadAsTheirText) {
    LogLines lines;
    const auto add = [&](std::uint64_t n) {
        if (isMessage(n))
            lines.appendMessage(wordOf(n), infoOf(n));
        else
            lines.append(textOf(n), infoOf(n));
    };
    for (std::uint64_t n = 0; n < 7; ++n) add(n);
    EXPECT_EQ(lines.line(5), logLine(wordOf(5)));
    EXPECT_FALSE(lines.line(5).empty());
    EXPECT_EQ(lines.line(4), textOf(4));
    std::uint64_t seq = 5;
    LogEntry e;
    ASSERT_TRUE(lines.read(seq, e));
    expectWhole(e);
    char text[LogLines::kLineLength];
    seq = 5;
    EXPECT_EQ(lines.copyLine(seq, text), static_cast<long>(logLine(wordOf(5)).size()));
    // Wrap the ring twice with the kinds shifted, so slots change kind both ways.
    for (std::uint64_t n = 7; n < 2 * LogLines::kCapacity + 3; ++n) add(n);
    for (std::uint64_t n = lines.oldest(); n < lines.appended(); n += 97) {
        seq = n;
        ASSERT_TRUE(lines.read(seq, e));
        expectWhole(e);
    }
}

// A cleared ring starts again at its first slot; line numbers go on, and older numbers read as
// gone.
TEST(LogLinesFields, ClearKeepsNumbering) {
    LogLines lines;
    for (std::uint64_t n = 0; n < 4990; ++n) lines.append(textOf(n), infoOf(n));
    lines.clear();
    EXPECT_EQ(lines.size(), 0u);
    for (std::uint64_t n = 4990; n < 5030; ++n) lines.append(textOf(n), infoOf(n));
    EXPECT_EQ(lines.size(), 40u);
    EXPECT_EQ(lines.dropped(), 0u);
    LogEntry e;
    std::uint64_t seq = 100;
    ASSERT_TRUE(lines.read(seq, e));
    EXPECT_EQ(e.sequence, 4990u);
    expectWhole(e);
    EXPECT_EQ(lines.line(39), textOf(5029));
}

// Producer, two readers (the vendor command's line copies and the editor's entry reads) and a
// trimmer (the editor's keepNewest and clears) at once. Every line read is one that was
// written, whole, in order; the counts add up.
TEST(LogLinesStress, ProducerReadersAndTrimmerAtOnce) {
    constexpr std::uint64_t kLines = 60000;
    LogLines lines;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        // Batches of up to 16 lines, published together, as the engine hands them over; each
        // text sits in room that can be read in whole words.
        struct Staged {
            char text[256];
            std::size_t length;
            LogLineInfo info;
            std::uint64_t message;
        };
        std::vector<Staged> staged(16);
        for (std::uint64_t n = 0; n < kLines;) {
            const std::size_t batch = static_cast<std::size_t>(n % 16) + 1;
            std::size_t count = 0;
            for (; count < batch && n < kLines; ++count, ++n) {
                const std::string t = isMessage(n) ? std::string() : textOf(n);
                t.copy(staged[count].text, t.size());
                staged[count].length = t.size();
                staged[count].info = infoOf(n);
                staged[count].message = isMessage(n) ? LogLines::kMessageLine | wordOf(n) : 0;
            }
            lines.appendBatch(count, [&](std::size_t i, std::size_t& length, LogLineInfo& info,
                                         std::uint64_t& message) {
                length = staged[i].length;
                info = staged[i].info;
                message = staged[i].message;
                return staged[i].text;
            });
        }
        done = true;
    });
    std::thread entryReader([&] {
        std::uint64_t seq = 0, previous = 0;
        bool any = false;
        LogEntry e;
        while (!done.load() || seq < lines.appended()) {
            if (!lines.read(seq, e)) continue;
            expectWhole(e);
            if (any) {
                ASSERT_GT(e.sequence, previous);
            }
            previous = e.sequence;
            any = true;
            ++seq;
        }
    });
    std::thread lineReader([&] {
        char text[LogLines::kLineLength];
        std::uint64_t seq = 0;
        while (!done.load() || seq < lines.appended()) {
            const long n = lines.copyLine(seq, text);
            if (n < 0) continue;
            ASSERT_EQ(std::string(text, static_cast<std::size_t>(n)), textOf(seq));
            ++seq;
        }
    });
    std::thread trimmer([&] {
        for (int round = 0; !done.load(); ++round) {
            if (round % 50 == 0) {
                lines.clear();
            } else {
                lines.keepNewest(199);
            }
            const std::size_t size = lines.size();
            ASSERT_LE(size, LogLines::kCapacity);
            for (const std::string& l : lines.lines(size > 5 ? size - 5 : 0))
                ASSERT_TRUE(l.rfind("line ", 0) == 0 || l.rfind("[", 0) == 0) << l;
            std::this_thread::yield();
        }
    });
    producer.join();
    entryReader.join();
    lineReader.join();
    trimmer.join();
    EXPECT_EQ(lines.appended(), kLines);
    EXPECT_EQ(lines.oldest() + lines.size(), kLines);
    EXPECT_LE(lines.dropped(), kLines - LogLines::kCapacity);
}

// Without trims, the bound alone removes lines: exactly the ones beyond 5,000, whatever a
// reader does meanwhile.
TEST(LogLinesStress, DropsCountedWhileReading) {
    constexpr std::uint64_t kLines = 30000;
    LogLines lines;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (std::uint64_t n = 0; n < kLines; ++n) lines.append(textOf(n), infoOf(n));
        done = true;
    });
    std::uint64_t seq = 0, read = 0;
    LogEntry e;
    while (!done.load() || seq < lines.appended()) {
        if (!lines.read(seq, e)) continue;
        expectWhole(e);
        ++seq;
        ++read;
    }
    producer.join();
    EXPECT_EQ(lines.dropped(), kLines - LogLines::kCapacity);
    EXPECT_EQ(lines.size(), LogLines::kCapacity);
    EXPECT_EQ(lines.line(0), textOf(kLines - LogLines::kCapacity));
    EXPECT_GE(read, LogLines::kCapacity);
}
