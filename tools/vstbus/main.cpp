// vstbus: shows and drives the inter-instance MIDI buses from the command line.
//   vstbus list                              one line per bus
//   vstbus send BUS STATUS [DATA1 [DATA2]]   append one message (numbers decimal or 0x hex)
//   vstbus watch BUS [--count N]             drain the bus as a plug-in does and print it
//   vstbus label BUS [TEXT]                  show or set a bus's label
//   vstbus rtp ...                           carry buses to RTP-MIDI peers (see rtp.cpp)
// Exit status: 0 done, 1 the bus could not do it, 2 bad arguments.
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "rtp.h"
#include "vstbus/vstbus.h"

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void onStop(int) {
    stopRequested = 1;
}

int usage(const char* problem) {
    if (problem) std::fprintf(stderr, "vstbus: %s\n", problem);
    std::fprintf(stderr,
                 "usage: vstbus list\n"
                 "       vstbus send BUS STATUS [DATA1 [DATA2]]\n"
                 "       vstbus watch BUS [--count N]\n"
                 "       vstbus label BUS [TEXT]\n"
                 "       vstbus rtp --from BUS --to BUS (--listen [ADDR:]PORT | --connect "
                 "HOST:PORT) [--name NAME]\n"
                 "                  [--allow ADDR[/BITS]]... [--no-announce]\n"
                 "       vstbus rtp --browse [--seconds N]\n"
                 "BUS is 0..63; numbers are decimal or hexadecimal with 0x.\n");
    return kUsage;
}

// A whole decimal or 0x-hexadecimal number within [low, high].
bool parseNumber(std::string_view text, long low, long high, long& value) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size() && value >= low && value <= high;
}

bool parseBus(const char* text, int& bus) {
    long v = 0;
    if (!parseNumber(text, 0, vstbus::kBusCount - 1, v)) return false;
    bus = static_cast<int>(v);
    return true;
}

const char* kindName(std::uint8_t status) {
    switch (status & 0xF0) {
        case 0x80:
            return "note off";
        case 0x90:
            return "note on";
        case 0xA0:
            return "poly pressure";
        case 0xB0:
            return "control change";
        case 0xC0:
            return "program change";
        case 0xD0:
            return "channel pressure";
        case 0xE0:
            return "pitch wheel";
        case 0xF0:
            return "system";
        default:
            return "data";
    }
}

void printMessage(std::uint32_t word) {
    const auto status = static_cast<std::uint8_t>(word & 0xFF);
    const unsigned d1 = (word >> 8) & 0xFF;
    const unsigned d2 = (word >> 16) & 0xFF;
    if (status >= 0x80 && status < 0xF0) {
        std::printf("%02X %02X %02X  %s, channel %u\n", status, d1, d2, kindName(status),
                    (status & 0x0Fu) + 1);
    } else {
        std::printf("%02X %02X %02X  %s\n", status, d1, d2, kindName(status));
    }
    std::fflush(stdout);
}

int list(vstbus::TVstBus& bus) {
    std::printf("%-3s  %-24s  %-6s  %8s  %7s\n", "bus", "label", "flags", "capacity", "waiting");
    for (int b = 0; b < vstbus::kBusCount; ++b) {
        const std::uint16_t f = bus.flags(b);
        std::string flags = f & vstbus::kFlagSender ? "S" : "-";
        flags += f & vstbus::kFlagSoundStream ? "A" : "-";
        std::printf("%-3d  %-24s  %-6s  %8d  %7d\n", b, bus.readLabel(b).c_str(), flags.c_str(),
                    bus.capacity(b), bus.getWriteIndex(b));
    }
    // The block's own count keeps participants that were killed before they could leave;
    // where the system can tell who is still there, those are left out.
    const std::uint32_t live = bus.liveParticipants();
    std::printf("participants: %u (flags: S sender attached, A sound stream)\n", live);
    if (bus.participants() != live)
        std::printf("the block counts %u: the others ended without leaving\n", bus.participants());
    return kOk;
}

int send(vstbus::TVstBus& bus, int b, const std::vector<long>& bytes) {
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        word |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
    if (!bus.write(b, word)) {
        // A full bus keeps what waits there and refuses the new word.
        std::fprintf(stderr,
                     "vstbus: bus %d is full (%d words waiting, capacity %d): the message was "
                     "dropped (dropped by this vstbus: %llu)\n",
                     b, bus.getWriteIndex(b), bus.capacity(b),
                     static_cast<unsigned long long>(bus.dropped()));
        return kFailed;
    }
    // The block lives only while someone holds it: with nobody else there it goes when this
    // program ends, and the message with it.
    if (bus.liveParticipants() <= 1) {
        std::fprintf(stderr,
                     "vstbus: nobody else is attached to the buses, so the message is lost when "
                     "vstbus exits\n");
        return kFailed;
    }
    return kOk;
}

int watch(vstbus::TVstBus& bus, int b, long count) {
    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);
    long seen = 0;
    while (!stopRequested && (count == 0 || seen < count)) {
        // A drain takes every waiting word, so the last one may print more than the count.
        const int got = bus.drain(b, [&](std::uint32_t word) {
            if (word == 0) return;
            printMessage(word);
            ++seen;
        });
        if (got == vstbus::kSoundStream) {
            std::fprintf(stderr, "vstbus: bus %d carries a sound stream, not MIDI\n", b);
            return kFailed;
        }
        if (bus.cutOff()) {
            std::fprintf(stderr, "vstbus: the buses are gone: their block was cut short\n");
            return kFailed;
        }
        // Sleeps until words come (a signal or the timeout lets it look at the stop request).
        if (got == 0) bus.waitForWords(b, std::chrono::milliseconds(100));
    }
    return kOk;
}

int label(vstbus::TVstBus& bus, int b, const char* text) {
    if (text) {
        bus.writeLabel(b, text);
        if (bus.readLabel(b) != text) {
            std::fprintf(stderr, "vstbus: the label of bus %d could not be stored\n", b);
            return kFailed;
        }
        return kOk;
    }
    std::printf("%s\n", bus.readLabel(b).c_str());
    return kOk;
}

int run(int argc, char** argv) {
    if (argc < 2) return usage(nullptr);
    const std::string_view command = argv[1];
    int b = 0;
    if (command == "rtp") return vstbustool::runRtp(argc - 1, argv + 1);
    if (command == "list") {
        if (argc != 2) return usage("list takes no arguments");
    } else if (command == "send" || command == "watch" || command == "label") {
        if (argc < 3) return usage("a bus number is missing");
        if (!parseBus(argv[2], b)) return usage("the bus number must be 0..63");
    } else {
        return usage(("unknown command '" + std::string(command) + "'").c_str());
    }

    std::vector<long> bytes;
    long count = 0;
    if (command == "send") {
        if (argc < 4 || argc > 6) return usage("send takes a status byte and up to two data bytes");
        for (int i = 3; i < argc; ++i) {
            long v = 0;
            const bool ok =
                i == 3 ? parseNumber(argv[i], 0x80, 0xFF, v) : parseNumber(argv[i], 0, 0x7F, v);
            if (!ok) return usage(i == 3 ? "STATUS must be 0x80..0xFF" : "DATA must be 0..127");
            bytes.push_back(v);
        }
    } else if (command == "watch") {
        if (argc == 5 && std::string_view(argv[3]) == "--count") {
            if (!parseNumber(argv[4], 1, 0x7FFFFFFF, count))
                return usage("--count needs a number of messages above 0");
        } else if (argc != 3) {
            return usage("watch takes a bus number and optionally --count N");
        }
    } else if (command == "label" && argc > 4) {
        return usage("label takes a bus number and optionally one text (quote it)");
    }

    vstbus::TVstBus bus;
    if (!bus.attached()) {
        std::fprintf(stderr, "vstbus: cannot attach to the buses\n");
        return kFailed;
    }
    if (command == "list") return list(bus);
    if (command == "send") return send(bus, b, bytes);
    if (command == "watch") return watch(bus, b, count);
    return label(bus, b, argc == 4 ? argv[3] : nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vstbus: %s\n", e.what());
        return kFailed;
    }
}
