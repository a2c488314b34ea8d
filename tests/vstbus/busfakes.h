// The stand-ins a bus test runs on: an in-memory block, in-memory settings and a recording
// notice sink, installed for the object's lifetime; and a copy of every record's header.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/notice.h"
#include "platform/settings.h"
#include "platform/sharedmemory.h"
#include "support/memorysettingsstore.h"
#include "support/memorysharedmemory.h"
#include "support/recordingnoticesink.h"
#include "vstbus/vstbus.h"

struct BusFakes {
    platform::MemorySharedMemory memory;
    platform::MemorySettingsStore settings;
    platform::RecordingNoticeSink notices;
    platform::ScopedSharedMemory useMemory{memory};
    platform::ScopedSettingsStore useSettings{settings};
    platform::ScopedNoticeSink useNotices{notices};
};

// The 20 header bytes of all 64 records, one after the other.
inline std::vector<std::uint8_t> recordHeaders(const unsigned char* block) {
    std::vector<std::uint8_t> h;
    for (std::size_t b = 0; b < vstbus::kBusCount; ++b)
        h.insert(h.end(), block + b * vstbus::kRecordSize,
                 block + b * vstbus::kRecordSize + vstbus::kDataOffset);
    return h;
}
