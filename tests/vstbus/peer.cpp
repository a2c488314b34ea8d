// A participant on the real buses for the cross-process tests; each mode prints what it did
// and answers 0 only when all went as it should.
//   vstbus_peer send BUS COUNT [--peers K] [--writer W] [--go FILE]
//       waits for K participants (and says "ready" and waits for FILE), then sends COUNT
//       numbered messages as a sending plug-in does, as writer W (0..3; then COUNT is at most
//       65,536); prints how many the bus refused
//   vstbus_peer drain BUS COUNT [--timeout S] [--writers K] [--until FILE]
//       drains the numbered messages of K writers (COUNT each) until all came or, once FILE
//       exists, until the bus is empty; each must come at most once and after its writer's
//       earlier ones. Prints what came from each writer.
//   vstbus_peer hold STOPFILE                 stays attached until STOPFILE exists
//   vstbus_peer fill BUS                      writes words 1, 2, ... until the bus refuses
//                                             one, which must then be counted as dropped
//
// The bus has no flow control of its own: a sender that runs a capacity ahead of its reader
// finds the bus full and its words refused. The sender therefore paces itself by the
// waiting-word count every participant sees (writeIndex), and waits while the bus holds
// kHighWater words; the reader drains as fast as it can.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "vstbus/vstbus.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int32_t kHighWater = 3072;

// Message n as a MIDI note on: channel and both data bytes carry its 18-bit number.
std::uint32_t numbered(std::uint32_t n) {
    return (0x90u | ((n >> 14) & 0x0Fu)) | ((n & 0x7Fu) << 8) | (((n >> 7) & 0x7Fu) << 16);
}
std::uint32_t numberOf(std::uint32_t word) {
    return (word & 0x0Fu) << 14 | (word >> 8 & 0x7Fu) | (word >> 16 & 0x7Fu) << 7;
}

int usage() {
    std::fprintf(stderr,
                 "usage: vstbus_peer send BUS COUNT [--peers K] [--writer W] [--go FILE]"
                 " | drain BUS COUNT [--timeout S] [--writers K] [--until FILE]"
                 " | hold STOPFILE | fill BUS\n");
    return 2;
}

bool attachedOrSay(const vstbus::TVstBus& bus) {
    if (bus.attached()) return true;
    std::fprintf(stderr, "vstbus_peer: cannot attach\n");
    return false;
}

int send(int b, std::uint32_t count, std::uint32_t peers, std::uint32_t writer,
         const std::string& go) {
    vstbus::TVstBus bus;
    if (!attachedOrSay(bus)) return 1;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (bus.participants() < peers) {
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "vstbus_peer: the other participants did not come\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!go.empty()) {
        // Spins, so that senders waiting for the same file start together.
        std::printf("ready\n");
        std::fflush(stdout);
        while (!std::filesystem::exists(go)) {
            if (Clock::now() > deadline) {
                std::fprintf(stderr, "vstbus_peer: %s did not come\n", go.c_str());
                return 1;
            }
            std::this_thread::yield();
        }
    }
    bus.setFlags(b, vstbus::kFlagSender);
    bus.setCapacity(b, vstbus::kSenderCapacity);
    std::uint64_t pauses = 0;
    for (std::uint32_t n = 0; n < count; ++n) {
        // Checked every 64 words only: even four senders stay below the capacity.
        while (n % 64 == 0 && bus.getWriteIndex(b) >= kHighWater) {
            ++pauses;
            if (Clock::now() > deadline + std::chrono::seconds(120)) {
                std::fprintf(stderr, "vstbus_peer: nobody drains bus %d\n", b);
                return 1;
            }
            std::this_thread::yield();
        }
        bus.write(b, numbered(writer << 16 | n));
    }
    // Stay until the reader took everything, so the block outlives the last word.
    while (bus.getWriteIndex(b) != 0 && bus.participants() > 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // A refused word is one whose slot the reader gave up while this writer was held up.
    std::printf(
        "writer %u sent %u messages to bus %d (%llu pauses at %d waiting words); "
        "dropped %llu\n",
        writer, count, b, static_cast<unsigned long long>(pauses), kHighWater,
        static_cast<unsigned long long>(bus.dropped()));
    return 0;
}

int drain(int b, std::uint32_t count, int timeoutSeconds, std::uint32_t writers,
          const std::string& until) {
    vstbus::TVstBus bus;
    if (!attachedOrSay(bus)) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    struct Writer {
        std::vector<bool> seen;
        std::uint32_t received = 0, next = 0, outOfOrder = 0, twice = 0;
    };
    std::vector<Writer> from(writers);
    for (Writer& w : from) w.seen.resize(count);
    std::uint64_t strangers = 0, received = 0, drains = 0;
    const auto take = [&](std::uint32_t word) {
        const std::uint32_t id = numberOf(word);
        const std::uint32_t w = writers > 1 ? id >> 16 : 0, n = writers > 1 ? id & 0xFFFF : id;
        if (numbered(id) != word || w >= writers || n >= count) {
            ++strangers;
            return;
        }
        Writer& sender = from[w];
        if (sender.seen[n]) {
            ++sender.twice;
            return;
        }
        if (n < sender.next) ++sender.outOfOrder;
        sender.seen[n] = true;
        sender.next = n + 1;
        ++sender.received;
        ++received;
    };
    bool ending = false;
    while (received < std::uint64_t{count} * writers && Clock::now() < deadline) {
        // Once the senders are done, what still waits comes in this drain.
        if (!until.empty() && !ending && std::filesystem::exists(until)) ending = true;
        if (bus.drain(b, take) > 0) {
            ++drains;
        } else {
            if (ending) break;
            std::this_thread::yield();  // leaves the cores to the writers
        }
    }
    bool good = strangers == 0;
    for (std::uint32_t w = 0; w < writers; ++w) {
        std::printf("writer %u: received %u of %u messages; %u out of order, %u twice\n", w,
                    from[w].received, count, from[w].outOfOrder, from[w].twice);
        good = good && from[w].outOfOrder == 0 && from[w].twice == 0;
    }
    std::printf("%llu drains; %llu strangers; %llu slots given up\n",
                static_cast<unsigned long long>(drains), static_cast<unsigned long long>(strangers),
                static_cast<unsigned long long>(bus.givenUp()));
    return good && (ending || received == std::uint64_t{count} * writers) ? 0 : 1;
}

int hold(const char* stopFile) {
    vstbus::TVstBus bus;
    if (!attachedOrSay(bus)) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (!std::filesystem::exists(stopFile) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 0;
}

int fill(int b) {
    vstbus::TVstBus bus;
    if (!attachedOrSay(bus)) return 1;
    std::uint32_t n = 0;
    while (n <= static_cast<std::uint32_t>(vstbus::kMaxCapacity) && bus.write(b, n + 1)) ++n;
    std::printf("filled bus %d with %u words; dropped %llu\n", b, n,
                static_cast<unsigned long long>(bus.dropped()));
    return bus.dropped() == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "hold") return hold(argv[2]);
    if (argc == 3 && std::string(argv[1]) == "fill") {
        const int b = std::atoi(argv[2]);
        return b >= 0 && b < vstbus::kBusCount ? fill(b) : usage();
    }
    if (argc < 4 || argc % 2 != 0) return usage();
    const std::string mode = argv[1];
    const int b = std::atoi(argv[2]);
    const auto count = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    long peers = 1, writer = 0, timeout = 60, writers = 1;
    std::string until, go;
    for (int i = 4; i < argc; i += 2) {
        const std::string name = argv[i];
        const long value = std::atol(argv[i + 1]);
        if (mode == "send" && name == "--peers" && value > 0) {
            peers = value;
        } else if (mode == "send" && name == "--writer" && value >= 0 && value < 4) {
            writer = value;
        } else if (mode == "drain" && name == "--timeout" && value > 0) {
            timeout = value;
        } else if (mode == "drain" && name == "--writers" && value > 0 && value <= 4) {
            writers = value;
        } else if (mode == "drain" && name == "--until") {
            until = argv[i + 1];
        } else if (mode == "send" && name == "--go") {
            go = argv[i + 1];
        } else {
            return usage();
        }
    }
    const std::uint32_t most = writer > 0 || writers > 1 ? 1u << 16 : 1u << 18;
    if (b < 0 || b >= vstbus::kBusCount || count == 0 || count > most) return usage();
    if (mode == "send")
        return send(b, count, static_cast<std::uint32_t>(peers), static_cast<std::uint32_t>(writer),
                    go);
    if (mode == "drain")
        return drain(b, count, static_cast<int>(timeout), static_cast<std::uint32_t>(writers),
                     until);
    return usage();
}
