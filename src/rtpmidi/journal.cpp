#include "rtpmidi/journal.h"

#include <algorithm>

#include "rtpmidi/bytes.h"

namespace rtpmidi {

void TJournalWriter::reset(std::uint16_t base) noexcept {
    base_ = base;
    checkpoint_ = 1;
    channels_ = {};
    for (auto& c : channels_) {
        c.wheel[0] = 0;
        c.wheel[1] = 0x40;
    }
    running_ = false;
    runningAt_ = 0;
    song_ = 0;
    songAt_ = 0;
}

void TJournalWriter::record(std::uint32_t index, const std::uint8_t* msg, std::size_t n) noexcept {
    if (n == 0) return;
    const std::uint8_t status = msg[0];
    if (status >= 0xF0) {
        if (status == 0xFA || status == 0xFB || status == 0xFC) {
            running_ = status != 0xFC;
            runningAt_ = index;
        } else if (status == 0xF3 && n >= 2) {
            song_ = msg[1] & 0x7F;
            songAt_ = index;
        }
        return;
    }
    Channel& c = channels_[status & 0x0F];
    const std::uint8_t a = n > 1 ? msg[1] & 0x7F : 0;
    const std::uint8_t b = n > 2 ? msg[2] & 0x7F : 0;
    switch (status & 0xF0) {
        case 0x80:
        case 0x90:
            c.velocity[a] = (status & 0xF0) == 0x90 ? b : 0;
            c.noteAt[a] = index;
            break;
        case 0xB0:
            // The channel mode messages (120 and up) are commands rather than state: what they
            // do to notes is in the note chapter.
            if (a < 120) {
                c.control[a] = b;
                c.controlAt[a] = index;
            }
            // All sound off, all notes off and the mode changes end every note.
            if (a == 120 || a >= 123) {
                for (int k = 0; k < 128; ++k) {
                    if (c.velocity[k]) {
                        c.velocity[k] = 0;
                        c.noteAt[k] = index;
                    }
                }
            }
            break;
        case 0xC0:
            c.program = a;
            c.programAt = index;
            break;
        case 0xE0:
            c.wheel[0] = a;
            c.wheel[1] = b;
            c.wheelAt = index;
            break;
        default:
            return;  // pressure: not journalled
    }
    c.last = index;
}

void TJournalWriter::acknowledge(std::uint16_t seq, std::uint32_t sent) noexcept {
    const std::uint16_t sentWire = static_cast<std::uint16_t>(base_ + sent);
    const std::uint32_t behind = static_cast<std::uint16_t>(sentWire - seq);
    if (behind >= sent) return;  // before the first packet: not ours
    const std::uint32_t index = sent - behind;
    if (index + 1 > checkpoint_) checkpoint_ = index + 1;
}

void TJournalWriter::writeChannel(std::vector<std::uint8_t>& out, int ch,
                                  std::uint32_t index) const {
    const Channel& c = channels_[ch];
    const auto sBit = [&](std::uint32_t at) -> std::uint8_t { return at + 1 == index ? 0 : 0x80; };
    const std::size_t start = out.size();
    out.resize(start + 3);
    std::uint8_t toc = 0;
    if (recent(c.programAt)) {
        toc |= 0x80;
        put8(out, sBit(c.programAt) | c.program);
        put8(out, 0);
        put8(out, 0);
    }
    std::vector<int> controls;
    for (int k = 0; k < 128; ++k)
        if (recent(c.controlAt[k])) controls.push_back(k);
    if (!controls.empty()) {
        toc |= 0x40;
        std::uint8_t s = 0x80;
        for (int k : controls) s &= sBit(c.controlAt[k]);
        put8(out, s | static_cast<std::uint8_t>(controls.size() - 1));
        for (int k : controls) {
            put8(out, sBit(c.controlAt[k]) | k);
            put8(out, c.control[k]);
        }
    }
    if (recent(c.wheelAt)) {
        toc |= 0x10;
        put8(out, sBit(c.wheelAt) | c.wheel[0]);
        put8(out, c.wheel[1]);
    }
    std::vector<int> on;
    int low = 16, high = -1;
    std::uint8_t offs[16] = {};
    std::uint8_t nS = 0x80;
    for (int k = 0; k < 128; ++k) {
        if (!recent(c.noteAt[k])) continue;
        nS &= sBit(c.noteAt[k]);
        if (c.velocity[k]) {
            on.push_back(k);
        } else {
            offs[k / 8] |= static_cast<std::uint8_t>(0x80 >> (k % 8));
            low = std::min(low, k / 8);
            high = std::max(high, k / 8);
        }
    }
    // At most 127 note logs: the newest notes are kept.
    if (on.size() > 127) {
        std::sort(on.begin(), on.end(), [&](int x, int y) { return c.noteAt[x] > c.noteAt[y]; });
        on.resize(127);
    }
    if (!on.empty() || high >= 0) {
        toc |= 0x08;
        if (high < 0) {
            low = 1;  // LOW above HIGH: no OFFBITS octets
            high = 0;
        }
        put8(out, nS | static_cast<std::uint8_t>(on.size()));
        put8(out, low << 4 | high);
        for (int k : on) {
            put8(out, sBit(c.noteAt[k]) | k);
            put8(out, 0x80 | c.velocity[k]);  // Y: play the note on recovery
        }
        for (int b = low; b <= high; ++b) put8(out, offs[b]);
    }
    const std::size_t length = out.size() - start;
    out[start] = static_cast<std::uint8_t>(sBit(c.last) | ch << 3 | (length >> 8 & 0x03));
    out[start + 1] = static_cast<std::uint8_t>(length & 0xFF);
    out[start + 2] = toc;
}

bool TJournalWriter::write(std::vector<std::uint8_t>& out, std::uint32_t index) const {
    int channels = 0;
    bool previous = false;
    for (const auto& c : channels_) {
        if (recent(c.last)) {
            ++channels;
            previous |= c.last + 1 == index;
        }
    }
    const bool run = recent(runningAt_);
    const bool song = recent(songAt_);
    previous |= (run && runningAt_ + 1 == index) || (song && songAt_ + 1 == index);
    if (channels == 0 && !run && !song) return false;
    put8(out, (previous ? 0 : 0x80) | (run || song ? 0x40 : 0) | (channels ? 0x20 : 0) |
                  (channels ? channels - 1 : 0));
    put16(out, static_cast<std::uint16_t>(base_ + checkpoint_));
    if (run || song) {
        const bool sysPrevious = (run && runningAt_ + 1 == index) || (song && songAt_ + 1 == index);
        const std::size_t length = 2 + (song ? 2 : 0) + (run ? 1 : 0);
        put8(out, (sysPrevious ? 0 : 0x80) | (song ? 0x40 : 0) | (run ? 0x10 : 0) |
                      (length >> 8 & 0x03));
        put8(out, length & 0xFF);
        if (song) {
            const std::uint8_t s = songAt_ + 1 == index ? 0 : 0x80;
            put8(out, s | 0x10);  // chapter D with its song select field only
            put8(out, s | song_);
        }
        if (run) put8(out, (runningAt_ + 1 == index ? 0 : 0x80) | (running_ ? 0x40 : 0));
    }
    for (int ch = 0; ch < 16; ++ch)
        if (recent(channels_[ch].last)) writeChannel(out, ch, index);
    return true;
}

void TJournalReader::reset() noexcept {
    for (auto& c : channels_) {
        c.on.fill(false);
        c.control.fill(-1);
        c.program = -1;
        c.wheel = -1;
    }
    running_ = -1;
    song_ = -1;
}

void TJournalReader::apply(const std::uint8_t* msg, std::size_t n) noexcept {
    if (n == 0) return;
    const std::uint8_t status = msg[0];
    if (status >= 0xF0) {
        if (status == 0xFA || status == 0xFB) running_ = 1;
        if (status == 0xFC) running_ = 0;
        if (status == 0xF3 && n >= 2) song_ = msg[1] & 0x7F;
        return;
    }
    Channel& c = channels_[status & 0x0F];
    const std::uint8_t a = n > 1 ? msg[1] & 0x7F : 0;
    const std::uint8_t b = n > 2 ? msg[2] & 0x7F : 0;
    switch (status & 0xF0) {
        case 0x80:
            c.on[a] = false;
            break;
        case 0x90:
            c.on[a] = b != 0;
            break;
        case 0xB0:
            c.control[a] = b;
            if (a == 120 || a >= 123) c.on.fill(false);
            break;
        case 0xC0:
            c.program = a;
            break;
        case 0xE0:
            c.wheel = b << 7 | a;
            break;
        default:
            break;
    }
}

void TJournalReader::send(const Emit& emit, int& count, std::uint8_t a, int b, int c) {
    std::uint8_t msg[3] = {a, 0, 0};
    std::size_t n = 1;
    if (b >= 0) msg[n++] = static_cast<std::uint8_t>(b);
    if (c >= 0) msg[n++] = static_cast<std::uint8_t>(c);
    apply(msg, n);
    emit(msg, n);
    ++count;
}

bool TJournalReader::channelJournal(const std::uint8_t* p, std::size_t n, int& count,
                                    const Emit& emit) {
    TReader r(p, n);
    std::uint8_t h0 = 0, h1 = 0, toc = 0;
    if (!r.u8(h0) || !r.u8(h1) || !r.u8(toc)) return false;
    const int ch = h0 >> 3 & 0x0F;
    Channel& c = channels_[ch];
    const auto st = static_cast<std::uint8_t>(ch);
    if (toc & 0x80) {  // P
        std::uint8_t prog = 0, bank = 0, bankLsb = 0;
        if (!r.u8(prog) || !r.u8(bank) || !r.u8(bankLsb)) return false;
        prog &= 0x7F;
        if (c.program != prog) send(emit, count, 0xC0 | st, prog);
    }
    if (toc & 0x40) {  // C
        std::uint8_t head = 0;
        if (!r.u8(head)) return false;
        const int logs = (head & 0x7F) + 1;
        for (int i = 0; i < logs; ++i) {
            std::uint8_t num = 0, val = 0;
            if (!r.u8(num) || !r.u8(val)) return false;
            num &= 0x7F;
            if (val & 0x80) continue;  // toggle and count forms: not used here
            if (c.control[num] != val) send(emit, count, 0xB0 | st, num, val);
        }
    }
    if (toc & 0x20) {  // M: skipped by its length
        std::uint16_t head = 0;
        if (!r.u16(head)) return false;
        const std::size_t length = head & 0x03FF;
        if (length < 2 || !r.skip(length - 2)) return false;
    }
    if (toc & 0x10) {  // W
        std::uint8_t first = 0, second = 0;
        if (!r.u8(first) || !r.u8(second)) return false;
        first &= 0x7F;
        second &= 0x7F;
        if (c.wheel != (second << 7 | first)) send(emit, count, 0xE0 | st, first, second);
    }
    if (toc & 0x08) {  // N
        std::uint8_t head = 0, range = 0;
        if (!r.u8(head) || !r.u8(range)) return false;
        const int low = range >> 4, high = range & 0x0F;
        int logs = head & 0x7F;
        if (logs == 127 && low == 15 && high == 0) logs = 128;
        const std::uint8_t* logAt = r.here();
        if (!r.skip(2u * static_cast<std::size_t>(logs))) return false;
        std::array<bool, 128> off{};
        if (low <= high) {
            for (int b = low; b <= high; ++b) {
                std::uint8_t bits = 0;
                if (!r.u8(bits)) return false;
                for (int k = 0; k < 8; ++k)
                    if (bits & (0x80 >> k)) off[b * 8 + k] = true;
            }
        }
        for (int k = 0; k < 128; ++k)
            if (off[k] && c.on[k]) send(emit, count, 0x80 | st, k, 0);
        for (int i = 0; i < logs; ++i) {
            const int note = logAt[2 * i] & 0x7F;
            const std::uint8_t v = logAt[2 * i + 1];
            if (off[note] || c.on[note] || !(v & 0x80) || (v & 0x7F) == 0) continue;
            send(emit, count, 0x90 | st, note, v & 0x7F);
        }
    }
    if (toc & 0x04) {  // E
        std::uint8_t head = 0;
        if (!r.u8(head) || !r.skip(2u * ((head & 0x7Fu) + 1))) return false;
    }
    if (toc & 0x02) {  // T
        if (!r.skip(1)) return false;
    }
    if (toc & 0x01) {  // A
        std::uint8_t head = 0;
        if (!r.u8(head) || !r.skip(2u * ((head & 0x7Fu) + 1))) return false;
    }
    return true;
}

bool TJournalReader::systemJournal(const std::uint8_t* p, std::size_t n, int& count,
                                   const Emit& emit) {
    TReader r(p, n);
    std::uint16_t head = 0;
    if (!r.u16(head)) return false;
    if (head & 0x4000) {  // D
        std::uint8_t toc = 0;
        if (!r.u8(toc)) return false;
        if ((toc & 0x40) && !r.skip(1)) return false;  // reset count
        if ((toc & 0x20) && !r.skip(1)) return false;  // tune request count
        if (toc & 0x10) {
            std::uint8_t song = 0;
            if (!r.u8(song)) return false;
            song &= 0x7F;
            if (song_ != song) send(emit, count, 0xF3, song);
        }
        for (int bit : {0x08, 0x04}) {  // undefined system common logs
            if (!(toc & bit)) continue;
            std::uint16_t h = 0;
            if (!r.u16(h) || (h & 0x03FF) < 2 || !r.skip((h & 0x03FFu) - 2)) return false;
        }
        for (int bit : {0x02, 0x01}) {  // undefined real-time logs
            if (!(toc & bit)) continue;
            std::uint8_t h = 0;
            if (!r.u8(h) || (h & 0x1F) < 1 || !r.skip((h & 0x1Fu) - 1)) return false;
        }
    }
    if ((head & 0x2000) && !r.skip(1)) return false;  // V
    if (head & 0x1000) {                              // Q
        std::uint8_t q = 0;
        if (!r.u8(q)) return false;
        if ((q & 0x10) && !r.skip(2)) return false;
        if ((q & 0x08) && !r.skip(3)) return false;
        const int running = q & 0x40 ? 1 : 0;
        if (running_ != running) send(emit, count, running ? 0xFB : 0xFC);
    }
    // F and X need no reading: nothing after them is used.
    return true;
}

int TJournalReader::repair(const std::uint8_t* p, std::size_t n, const Emit& emit) {
    TReader r(p, n);
    std::uint8_t head = 0;
    std::uint16_t checkpoint = 0;
    if (!r.u8(head) || !r.u16(checkpoint)) return -1;
    int count = 0;
    if (head & 0x40) {
        if (r.left() < 2) return -1;
        const std::size_t length = (r.here()[0] << 8 | r.here()[1]) & 0x03FF;
        if (length < 2 || length > r.left()) return -1;
        if (!systemJournal(r.here(), length, count, emit)) return -1;
        r.skip(length);
    }
    if (head & 0x20) {
        const int channels = (head & 0x0F) + 1;
        for (int i = 0; i < channels; ++i) {
            if (r.left() < 3) return -1;
            const std::size_t length = (r.here()[0] << 8 | r.here()[1]) & 0x03FF;
            if (length < 3 || length > r.left()) return -1;
            if (!channelJournal(r.here(), length, count, emit)) return -1;
            r.skip(length);
        }
    }
    return count;
}

}  // namespace rtpmidi
