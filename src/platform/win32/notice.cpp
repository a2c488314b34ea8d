#include <windows.h>

#include <new>

#include "platform/notice.h"

namespace platform {

namespace {
DWORD WINAPI noticeThread(LPVOID arg) {
    Notice* n = static_cast<Notice*>(arg);
    const UINT icon = n->kind == NoticeKind::Error     ? MB_ICONERROR
                      : n->kind == NoticeKind::Warning ? MB_ICONWARNING
                                                       : MB_ICONINFORMATION;
    MessageBoxA(nullptr, n->text.c_str(), n->caption.c_str(), MB_OK | icon | MB_TASKMODAL);
    delete n;
    return 0;
}
}  // namespace

// The message box without owner window, shown from a thread of its own so that the thread
// that raised it (an audio or driver thread, say) goes on at once.
void showSystemNotice(const Notice& notice) noexcept {
    Notice* copy = new (std::nothrow) Notice;
    if (!copy) return;
    try {
        *copy = notice;
        copy->text = shownText(notice);
    } catch (...) {
        delete copy;
        return;
    }
    HANDLE t = CreateThread(nullptr, 0, noticeThread, copy, 0, nullptr);
    if (t) {
        CloseHandle(t);
    } else {
        delete copy;
    }
}

}  // namespace platform
