// Fuzz target: a block whose record headers hold arbitrary bytes (another process may leave
// anything there), then every bus operation with arbitrary arguments, interleaved with further
// scribbles on the headers. The block is allocated at exactly its size, so AddressSanitizer
// stops any access past it; after each operation the target also checks that no other
// record's header changed.
//
// Input: one byte K, then K times (record number, 20 header bytes), then operations: an
// opcode byte, a bus byte (a signed 8-bit number, so -1 and 64 come up) and four argument
// bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "busfakes.h"
#include "support/fuzzinput.h"
#include "support/memorysharedmemory.h"

namespace {

using fuzz::Input;

void check(bool ok) {
    if (!ok) std::abort();
}

// True when `after` differs from `before` at most in the given field of record `bus`.
bool onlyChanged(std::vector<std::uint8_t> before, const std::vector<std::uint8_t>& after, int bus,
                 std::size_t offset, std::size_t length) {
    if (bus >= 0 && bus < vstbus::kBusCount) {
        const std::size_t at = static_cast<std::size_t>(bus) * vstbus::kDataOffset + offset;
        std::memcpy(&before[at], &after[at], length);
    }
    return before == after;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    BusFakes fakes;
    platform::MemorySharedMemory& memory = fakes.memory;

    Input in{data, size};
    platform::SharedMemoryError error{};
    auto holder = memory.open({vstbus::kBlockName, vstbus::kLockName}, vstbus::kBlockSize, error);
    check(holder != nullptr);
    unsigned char* block = holder->data();
    for (int k = in.byte() % 65; k > 0; --k) {
        const std::size_t record = in.byte() % vstbus::kBusCount;
        for (std::size_t i = 0; i < vstbus::kDataOffset; ++i)
            block[record * vstbus::kRecordSize + i] = in.byte();
    }

    auto bus = std::make_unique<vstbus::TVstBus>("");
    check(bus->attached());
    std::unique_ptr<vstbus::TVstBus> second;
    while (in.more()) {
        const std::uint8_t op = in.byte() % 12;
        const int b = static_cast<std::int8_t>(in.byte());
        const std::uint32_t arg = in.word();
        const auto value = static_cast<std::int32_t>(arg);
        const auto mask = static_cast<std::uint16_t>(arg);
        const bool valid = b >= 0 && b < vstbus::kBusCount;
        const auto before = recordHeaders(block);
        switch (op) {
            case 0: {
                const std::int32_t index = bus->getWriteIndex(b);
                const std::uint64_t dropped = bus->dropped();
                const bool written = bus->write(b, arg);
                check(onlyChanged(before, recordHeaders(block), b, vstbus::kWriteIndexOffset, 4));
                // A bus takes a packed word while its claimed slots are below its usable
                // slots; a refused packed word on a valid bus is counted, and the index stays.
                const bool packed = arg != 0 && (arg & ~vstbus::kWordMask) == 0;
                const bool room =
                    valid && index < std::clamp(bus->capacity(b), 0, vstbus::recordRoom(b));
                check(written == (packed && room));
                check(bus->dropped() == dropped + (packed && valid && !room ? 1 : 0));
                if (written) {
                    // The word sits in the slot just claimed.
                    check(bus->getWriteIndex(b) == index + 1);
                    check(bus->read(b, index) == arg);
                } else if (valid) {
                    check(bus->getWriteIndex(b) == index);
                }
                break;
            }
            case 1:
                check(bus->read(b, value) == 0 ||
                      (valid && value >= 0 && value < vstbus::recordRoom(b)));
                break;
            case 2:
                if (!valid) check(bus->getWriteIndex(b) == -1);
                break;
            case 3:
                check(bus->setWriteIndex(b, value) == valid);
                check(onlyChanged(before, recordHeaders(block), b, vstbus::kWriteIndexOffset, 4));
                break;
            case 4:
                bus->testFlags(b, mask);
                break;
            case 5:
            case 6:
                check((op == 5 ? bus->setFlags(b, mask) : bus->clearFlags(b, mask)) == valid);
                check(onlyChanged(before, recordHeaders(block), b, vstbus::kFlagsOffset, 2));
                break;
            case 7:
                check(bus->setCapacity(b, value) == (valid && value >= 0 && value <= 32767));
                check(onlyChanged(before, recordHeaders(block), b, vstbus::kCapacityOffset, 4));
                break;
            case 8: {
                const int taken = bus->drain(b, [](std::uint32_t) {});
                check(taken == vstbus::kSoundStream || (taken >= 0 && taken <= 32767));
                check(onlyChanged(before, recordHeaders(block), b, vstbus::kWriteIndexOffset, 4));
                break;
            }
            case 9: {  // another process scribbles on a header
                const std::size_t record = static_cast<std::uint8_t>(b) % vstbus::kBusCount;
                const std::size_t offset = (arg >> 24) % (vstbus::kDataOffset - 3);
                std::memcpy(block + record * vstbus::kRecordSize + offset, &arg, 3);
                break;
            }
            case 10:
                if (arg & 1) {
                    bus->writeLabel(b, std::string(arg >> 28, 'x'));
                } else {
                    bus->readLabel(b);
                }
                break;
            case 11: {  // a second participant comes or goes
                std::uint32_t count = 0;
                std::memcpy(&count, block, 4);
                if (second) {
                    second.reset();
                } else {
                    second = std::make_unique<vstbus::TVstBus>("");
                    check(second->attached());
                }
                // Only a participant that finds the count at 0 initialises the records.
                if (count != 0 || !second)
                    check(onlyChanged(before, recordHeaders(block), 0, vstbus::kBusCountOffset, 4));
                break;
            }
        }
    }
    return 0;
}
