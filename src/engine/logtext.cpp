#include "engine/logtext.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* kNoteNames[12] = {"C ", "C#", "D ", "D#", "E ", "F ",
                                        "F#", "G ", "G#", "A ", "A#", "B "};

constexpr const char* kControllers[128] = {
    "Bank Select",
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
    "Effect Control 2",
    "Undefined",
    "Undefined",
    "General Purpose Controller 1",
    "General Purpose Controller 2",
    "General Purpose Controller 3",
    "General Purpose Controller 4",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "LSB for Control 0 (Bank Select)",
    "LSB for Control 1 (Modulation Wheel or Lever)",
    "LSB for Control 2 (Breath Controller)",
    "LSB for Control 3 (Undefined)",
    "LSB for Control 4 (Foot Controller)",
    "LSB for Control 5 (Portamento Time)",
    "LSB for Control 6 (Data Entry)",
    "LSB for Control 7 (Channel Volume)",
    "LSB for Control 8 (Balance)",
    "LSB for Control 9 (Undefined)",
    "LSB for Control 10 (Pan)",
    "LSB for Control 11 (Expression Controller)",
    "LSB for Control 12 (Effect control 1)",
    "LSB for Control 13 (Effect control 2)",
    "LSB for Control 14 (Undefined)",
    "LSB for Control 15 (Undefined)",
    "LSB for Control 16 (General Purpose Controller 1)",
    "LSB for Control 17 (General Purpose Controller 2)",
    "LSB for Control 18 (General Purpose Controller 3)",
    "LSB for Control 19 (General Purpose Controller 4)",
    "LSB for Control 20 (Undefined)",
    "LSB for Control 21 (Undefined)",
    "LSB for Control 22 (Undefined)",
    "LSB for Control 23 (Undefined)",
    "LSB for Control 24 (Undefined)",
    "LSB for Control 25 (Undefined)",
    "LSB for Control 26 (Undefined)",
    "LSB for Control 27 (Undefined)",
    "LSB for Control 28 (Undefined)",
    "LSB for Control 29 (Undefined)",
    "LSB for Control 30 (Undefined)",
    "LSB for Control 31 (Undefined)",
    "Damper Pedal on/off (Sustain)",
    "Portamento On/Off",
    "Sustenuto On/Off",
    "Soft Pedal On/Off",
    "Legato Footswitch",
    "Hold 2",
    "Sound Controller 1",
    "Sound Controller 2",
    "Sound Controller 3",
    "Sound Controller 4",
    "Sound Controller 5",
    "Sound Controller 6",
    "Sound Controller 7",
    "Sound Controller 8",
    "Sound Controller 9",
    "Sound Controller 10",
    "General Purpose Controller 5",
    "General Purpose Controller 6",
    "General Purpose Controller 7",
    "General Purpose Controller 8",
    "Portamento Control",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Effects 1 Depth",
    "Effects 2 Depth",
    "Effects 3 Depth",
    "Effects 4 Depth",
    "Effects 5 Depth",
    "Data Increment (Data Entry +1)",
    "Data Decrement (Data Entry -1)",
    "Non-Registered Parameter Number (NRPN) - LSB",
    "Non-Registered Parameter Number (NRPN) - MSB",
    "Registered Parameter Number (RPN) - LSB",
    "Registered Parameter Number (RPN) - MSB",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "Undefined",
    "[CMM] All Sound Off",
    "[CMM] Reset All Controllers",
    "[CMM] Local Control On/Off",
    "[CMM] All Notes Off",
    "[CMM] Omni Mode Off",
    "[CMM] Omni Mode On",
    "[CMM] Poly Mode On/Off",
    "[CMM] Poly Mode On",
};

// Writes the note name into a buffer of at least 4 characters.
void writeNote(int n, char* out) noexcept {
    if (n < 0 || n > 119) {
        std::memcpy(out, "---", 4);
        return;
    }
    out[0] = kNoteNames[n % 12][0];
    out[1] = kNoteNames[n % 12][1];
    out[2] = static_cast<char>('0' + n / 12);
    out[3] = '\0';
}

const char* systemName(unsigned status) noexcept {
    switch (status) {
        case 0xF0:
            return "System Exclusive";
        case 0xF1:
            return "MIDI Time Code Qtr. Frame";
        case 0xF2:
            return "Song Position Pointer";
        case 0xF3:
            return "Song Select(Song #)";
        case 0xF6:
            return "Tune request";
        case 0xF7:
            return "End of SysEx (EOX)";
        case 0xF8:
            return "Timing clock";
        case 0xFA:
            return "Start";
        case 0xFB:
            return "Continue";
        case 0xFC:
            return "Stop";
        case 0xFE:
            return "Active Sensing";
        case 0xFF:
            return "System Reset";
        default:
            return "Undefined";  // F4, F5, F9, FD
    }
}

}  // namespace

std::string noteName(int n) {
    char b[4];
    writeNote(n, b);
    return b;
}

const char* controllerName(int n) noexcept {
    return (n >= 0 && n <= 127) ? kControllers[n] : "Invalid control change message";
}

namespace {

// A line written straight into a buffer known to hold kMaxLogLine characters: no bound checks,
// fixed pieces copied whole. The chain formats one line per logged message.
class LineWriter {
public:
    explicit LineWriter(char* out) noexcept : p_(out), begin_(out) {}
    template <std::size_t N>
    void text(const char (&t)[N]) noexcept {
        std::memcpy(p_, t, N - 1);
        p_ += N - 1;
    }
    void text(const char* t) noexcept {
        const std::size_t n = std::strlen(t);
        std::memcpy(p_, t, n);
        p_ += n;
    }
    void number(int v) noexcept {
        if (v < 0) {
            *p_++ = '-';
            v = -v;
        }
        char digits[12];
        int k = 0;
        do {
            digits[k++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v > 0);
        while (k > 0) *p_++ = digits[--k];
    }
    // "[c] " for the channel of status s.
    void channel(unsigned s) noexcept {
        unsigned c = (s & 0x0F) + 1;
        *p_++ = '[';
        if (c >= 10) {
            *p_++ = '1';
            c -= 10;
        }
        *p_++ = static_cast<char>('0' + c);
        text("] ");
    }
    void note(unsigned n) noexcept {
        if (n > 119) {
            text("---");
            return;
        }
        *p_++ = kNoteNames[n % 12][0];
        *p_++ = kNoteNames[n % 12][1];
        *p_++ = static_cast<char>('0' + n / 12);
    }
    std::size_t length() const noexcept { return static_cast<std::size_t>(p_ - begin_); }

private:
    char* p_;
    char* begin_;
};

// Writes the line of `word` into `out` (room for kMaxLogLine characters, no terminating zero)
// and answers its length. Note messages read their data bytes with the top bit cleared; the
// other layouts show the bytes as they are.
std::size_t writeLine(MidiWord word, char* out) noexcept {
    const unsigned s = wordStatus(word);
    const unsigned d1 = wordData1(word), d2 = wordData2(word);
    LineWriter line(out);
    if (s < 0x80) {
        line.text("Undefined (");
        line.number(static_cast<int>(s));
        line.text(",");
        line.number(static_cast<int>(d1));
        line.text(",");
        line.number(static_cast<int>(d2));
        line.text(")");
        return line.length();
    }
    if (s >= 0xF0) {
        line.text(systemName(s));
        return line.length();
    }
    line.channel(s);
    switch (s & 0xF0) {
        case 0x80:
        case 0x90:
            line.note(d1 & 0x7F);
            line.text(" (");
            line.number(static_cast<int>(d1 & 0x7F));
            // A note-on of velocity 0 is a note-off.
            if ((s & 0xF0) == 0x90 && d2 != 0) {
                line.text(",");
                line.number(static_cast<int>(d2 & 0x7F));
                line.text(") On");
            } else {
                line.text(") Off");
            }
            break;
        case 0xA0:
            line.text("Polyphonic Aftertouch ");
            line.note(d1);
            line.text(" (");
            line.number(static_cast<int>(d2));
            line.text(")");
            break;
        case 0xB0:
            line.text("CCM: ");
            line.text(controllerName(static_cast<int>(d1)));
            line.text(" (");
            line.number(static_cast<int>(d1));
            line.text(",");
            line.number(static_cast<int>(d2));
            line.text(")");
            break;
        case 0xC0:
            line.text("Program Change (");
            line.number(static_cast<int>(d1));
            line.text(")");
            break;
        case 0xD0:
            line.text("Channel Aftertouch (");
            line.number(static_cast<int>(d1));
            line.text(")");
            break;
        default:  // Ex
            line.text("Pitchbend (");
            line.number(static_cast<int>(d1 + 256 * d2) - 32768);
            line.text(")");
            break;
    }
    return line.length();
}

}  // namespace

std::size_t formatLogLine(MidiWord word, char* out, std::size_t capacity) noexcept {
    if (!out || capacity == 0) return 0;
    if (capacity > kMaxLogLine) {
        const std::size_t n = writeLine(word, out);
        out[n] = '\0';
        return n;
    }
    // A small buffer gets the line's beginning.
    char line[kMaxLogLine];
    const std::size_t n = std::min(writeLine(word, line), capacity - 1);
    std::memcpy(out, line, n);
    out[n] = '\0';
    return n;
}

std::size_t writeLogLine(MidiWord word, char* out) noexcept {
    return writeLine(word, out);
}

std::string logLine(MidiWord word) {
    char b[256];
    const std::size_t n = formatLogLine(word, b, sizeof b);
    return std::string(b, n);
}
