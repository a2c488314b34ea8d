// Scratch files for the MIDI file tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// A folder of its own under the system's temporary folder, removed at the end of the test.
class ScratchDir {
public:
    ScratchDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                (std::string("corvella-midifile-") + info->test_suite_name() + "-" + info->name());
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A track chunk around the given event bytes.
inline Bytes trackChunk(const Bytes& events) {
    const auto n = static_cast<std::uint32_t>(events.size());
    Bytes out(8 + events.size());
    const std::uint8_t head[8] = {'M',
                                  'T',
                                  'r',
                                  'k',
                                  static_cast<std::uint8_t>(n >> 24),
                                  static_cast<std::uint8_t>(n >> 16),
                                  static_cast<std::uint8_t>(n >> 8),
                                  static_cast<std::uint8_t>(n)};
    std::copy(head, head + 8, out.begin());
    std::copy(events.begin(), events.end(), out.begin() + 8);
    return out;
}

// A header chunk of length 6: format, track count, division.
inline Bytes headerChunk(int format, int tracks, int division) {
    return {'M',
            'T',
            'h',
            'd',
            0,
            0,
            0,
            6,
            static_cast<std::uint8_t>(format >> 8),
            static_cast<std::uint8_t>(format),
            static_cast<std::uint8_t>(tracks >> 8),
            static_cast<std::uint8_t>(tracks),
            static_cast<std::uint8_t>(division >> 8),
            static_cast<std::uint8_t>(division)};
}

// A RIFF MIDI file ("RMID" form) whose "data" chunk holds smf, after an odd-sized chunk.
inline Bytes rmidWrap(const Bytes& smf, bool withData = true) {
    auto le = [](std::uint32_t v) {
        return Bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                     static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    };
    const Bytes other = concat({{'I', 'N', 'F', 'O'}, le(3), {1, 2, 3, 0}});  // padded to even
    Bytes body = concat({{'R', 'M', 'I', 'D'}, other});
    if (withData) {
        body =
            concat({body, {'d', 'a', 't', 'a'}, le(static_cast<std::uint32_t>(smf.size())), smf});
        if (smf.size() & 1) body.push_back(0);
    }
    return concat({{'R', 'I', 'F', 'F'}, le(static_cast<std::uint32_t>(body.size())), body});
}
