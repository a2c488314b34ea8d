// Fuzz target: loading a MIDI file from arbitrary bytes, as a Standard MIDI File or, when the
// bytes begin with "RIFF", as a RIFF MIDI file. Whatever loads must save, and the saved file
// must load and save again to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "midifile/errors.h"
#include "midifile/mididata.h"
#include "midifile/riffstream.h"
#include "midifile/virtualmemorystream.h"

using namespace midifile;

namespace {

std::unique_ptr<TVirtualMemoryStream> memoryOf(const std::uint8_t* data, std::size_t size) {
    auto s = std::make_unique<TVirtualMemoryStream>(static_cast<std::int32_t>(size) + 1,
                                                    static_cast<std::int32_t>(size));
    if (size) std::memcpy(s->memory(), data, size);
    return s;
}

bool load(TMidiData& d, const std::uint8_t* data, std::size_t size) {
    try {
        auto memory = memoryOf(data, size);
        if (size >= 4 && std::memcmp(data, "RIFF", 4) == 0) {
            TRiffFileStream riff(std::move(memory));
            riff.descend("RMID", RiffFind::Riff);
            riff.descend("data", RiffFind::Chunk);
            d.loadFrom(riff);
        } else {
            d.loadFrom(*memory);
        }
        return true;
    } catch (const Exception&) {
        if (d.active() || d.trackCount() != 0) std::abort();  // a failed load leaves nothing
        return false;
    }
}

std::unique_ptr<TVirtualMemoryStream> save(TMidiData& d, std::size_t inputSize) {
    // Saving can add an End of Track per track and status bytes after system events.
    auto out = std::make_unique<TVirtualMemoryStream>(
        static_cast<std::int32_t>(inputSize * 3 + 64 +
                                  8 * static_cast<std::size_t>(d.trackCount())),
        0);
    d.saveTo(*out);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) return 0;
    TMidiData first;
    if (!load(first, data, size)) return 0;
    const auto a = save(first, size);
    TMidiData second;
    if (!load(second, a->memory(), static_cast<std::size_t>(a->streamPosition()))) std::abort();
    const auto b = save(second, static_cast<std::size_t>(a->streamPosition()));
    if (a->streamPosition() != b->streamPosition() ||
        std::memcmp(a->memory(), b->memory(), static_cast<std::size_t>(a->streamPosition())) != 0)
        std::abort();
    return 0;
}
