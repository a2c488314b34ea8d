// The --editor window on Windows: a top-level window holding the plug-in's editor, served by
// this thread's message loop.
#include <windows.h>

#include <optional>

#include "tools/host/editorwindow.h"

namespace host {
namespace {

volatile LONG interrupted = 0;
bool closed = false;

BOOL WINAPI onConsoleEvent(DWORD) {
    InterlockedExchange(&interrupted, 1);
    return TRUE;
}

LRESULT CALLBACK frameProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    if (message == WM_CLOSE) {
        closed = true;
        return 0;
    }
    return DefWindowProcA(hwnd, message, wp, lp);
}

constexpr DWORD kFrameStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// A top-level window titled with the plug-in's name; null when none could be made.
HWND createFrame(VstHost& h) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = frameProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = "CorvellaHostEditor";
    RegisterClassA(&wc);
    const std::string title = h.dispatchText(effGetEffectName);
    return CreateWindowExA(0, wc.lpszClassName, title.empty() ? "corvella-host" : title.c_str(),
                           kFrameStyle, CW_USEDEFAULT, CW_USEDEFAULT, 360, 340, nullptr, nullptr,
                           wc.hInstance, nullptr);
}

// Sizes the frame so that its client area holds the editor's rectangle, when it tells one.
void fitFrameToEditor(VstHost& h, HWND frame) {
    ERect* rect = nullptr;
    if (!h.dispatch(effEditGetRect, 0, 0, &rect) || !rect) return;
    RECT r{0, 0, rect->right - rect->left, rect->bottom - rect->top};
    AdjustWindowRect(&r, kFrameStyle, FALSE);
    SetWindowPos(frame, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER);
}

// Serves the window's messages and the editor's idle calls until the window is closed or the
// console interrupted.
void serveUntilClosed(VstHost& h) {
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    closed = false;
    MSG msg;
    while (!closed && !interrupted) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) closed = true;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        h.dispatch(effEditIdle);
        Sleep(33);
    }
}

}  // namespace

int runEditorWindow(VstHost& h, const std::string& screenshotDir, std::string& error) {
    if (!screenshotDir.empty()) {
        error = "--screenshot is available in the X11 build only";
        return 2;
    }
    HWND frame = createFrame(h);
    if (!frame) {
        error = "cannot create a window";
        return 2;
    }
    if (!h.dispatch(effEditOpen, 0, 0, frame)) {
        DestroyWindow(frame);
        error = "the plug-in opened no editor";
        return 1;
    }
    fitFrameToEditor(h, frame);
    ShowWindow(frame, SW_SHOW);

    std::optional<RealtimeProcessing> processing(std::in_place, h);
    serveUntilClosed(h);
    h.dispatch(effEditClose);
    processing.reset();
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    DestroyWindow(frame);
    return 0;
}

}  // namespace host
