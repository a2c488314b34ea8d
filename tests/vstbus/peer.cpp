// A participant on the real buses for the cross-process tests; each mode prints what it did
// and answers 0 only when all went as it should.
//   vstbus_peer send BUS COUNT [--peers K]    waits for K participants, then sends COUNT
//                                             numbered messages as a sending plug-in does
//   vstbus_peer drain BUS COUNT [--timeout S] drains until COUNT numbered messages came, each
//                                             once and in order
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

#include "vstbus/vstbus.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int32_t kHighWater = 3072;

// Message n as a MIDI note on: channel and both data bytes carry its 18-bit number.
std::uint32_t numbered(std::uint32_t n) {
    return (0x90u | ((n >> 14) & 0x0Fu)) | ((n & 0x7Fu) << 8) | (((n >> 7) & 0x7Fu) << 16);
}

int usage() {
    std::fprintf(stderr,
                 "usage: vstbus_peer send BUS COUNT [--peers K] | drain BUS COUNT [--timeout S]"
                 " | hold STOPFILE | fill BUS\n");
    return 2;
}

bool attachedOrSay(const vstbus::TVstBus& bus) {
    if (bus.attached()) return true;
    std::fprintf(stderr, "vstbus_peer: cannot attach\n");
    return false;
}

int send(int b, std::uint32_t count, std::uint32_t peers) {
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
    bus.setFlags(b, vstbus::kFlagSender);
    bus.setCapacity(b, vstbus::kSenderCapacity);
    std::uint64_t pauses = 0;
    for (std::uint32_t n = 0; n < count; ++n) {
        while (bus.getWriteIndex(b) >= kHighWater) {
            ++pauses;
            if (Clock::now() > deadline + std::chrono::seconds(120)) {
                std::fprintf(stderr, "vstbus_peer: nobody drains bus %d\n", b);
                return 1;
            }
            std::this_thread::yield();
        }
        if (!bus.write(b, numbered(n))) {
            std::fprintf(stderr, "vstbus_peer: write %u failed\n", n);
            return 1;
        }
    }
    std::printf("sent %u messages to bus %d (%llu pauses at %d waiting words)\n", count, b,
                static_cast<unsigned long long>(pauses), kHighWater);
    // Stay until the reader took everything, so the block outlives the last word.
    while (bus.getWriteIndex(b) != 0 && bus.participants() > 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    bus.clearFlags(b, vstbus::kFlagSender);
    return 0;
}

int drain(int b, std::uint32_t count, int timeoutSeconds) {
    vstbus::TVstBus bus;
    if (!attachedOrSay(bus)) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    std::uint32_t next = 0;
    std::uint64_t wrong = 0;
    std::uint32_t firstWrong = 0, firstExpected = 0;
    std::uint64_t drains = 0;
    while (next < count && Clock::now() < deadline) {
        const int got = bus.drain(b, [&](std::uint32_t word) {
            if (word != numbered(next) && wrong++ == 0) {
                firstWrong = word;
                firstExpected = numbered(next);
            }
            ++next;
        });
        if (got > 0) ++drains;
    }
    std::printf("received %u of %u messages in %llu drains; %llu out of place\n", next, count,
                static_cast<unsigned long long>(drains), static_cast<unsigned long long>(wrong));
    if (wrong) std::printf("first out of place: %06X, expected %06X\n", firstWrong, firstExpected);
    return next == count && wrong == 0 ? 0 : 1;
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
    if (argc != 4 && argc != 6) return usage();
    const std::string mode = argv[1];
    const int b = std::atoi(argv[2]);
    const auto count = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const int option = argc == 6 ? std::atoi(argv[5]) : 0;
    if (b < 0 || b >= vstbus::kBusCount || count == 0 || count > (1u << 18)) return usage();
    if (mode == "send" && (argc == 4 || std::string(argv[4]) == "--peers"))
        return send(b, count, option > 0 ? static_cast<std::uint32_t>(option) : 1);
    if (mode == "drain" && (argc == 4 || std::string(argv[4]) == "--timeout"))
        return drain(b, count, option > 0 ? option : 60);
    return usage();
}
