// What a notice of the engine says, and how, for every front end.
#pragma once

#include "engine/ports.h"
#include "platform/notice.h"

namespace host {

inline constexpr const char* kNoticeCaption = "Corvella";

struct NoticeText {
    const char* text;
    platform::NoticeKind kind;
};

constexpr NoticeText noticeOf(EngineNotice which) noexcept {
    return which == EngineNotice::SoundStream
               ? NoticeText{"Stream is sound!", platform::NoticeKind::Error}
               : NoticeText{"Feedback loop!", platform::NoticeKind::Warning};
}

}  // namespace host
