// The frames at which a block's output leaves, for every front end: at the frame the engine
// produced each message, but never before a frame already given in the block (hosts order a
// block's events by frame, so a note-off never overtakes its note-on) and never past the
// block's last frame. The processing thread only.
#pragma once

#include <cstdint>

namespace host {

class FrameOrder {
public:
    // A new block whose last frame is `last`.
    void restart(std::int64_t last) noexcept {
        previous_ = 0;
        last_ = last;
    }
    // The same block goes on with another last frame (events given before the block's size
    // was known, then the block itself).
    void limit(std::int64_t last) noexcept { last_ = last; }
    // The frame for a message produced at `frame`.
    std::int64_t at(std::int64_t frame) noexcept {
        std::int64_t f = frame < previous_ ? previous_ : frame;
        if (f > last_) f = last_ > previous_ ? last_ : previous_;
        previous_ = f;
        return f;
    }

private:
    std::int64_t previous_ = 0;
    std::int64_t last_ = 0;
};

}  // namespace host
