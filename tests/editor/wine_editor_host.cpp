// A small Windows host for the editor test under Wine: loads the plug-in DLL, opens the editor
// in a top-level window through the dispatcher, drives controls through window messages,
// checks the parameters, and saves a picture of each tab and of the options dialog.
// usage: wine_editor_host corvella.dll OUTDIR
#include <windows.h>
// Needs the window types above.
#include <commctrl.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "editor/form.h"
#include "support/fakevsthost.h"
#include "vst/aeffect.h"

namespace {

int failures = 0;
HWND optionsSeen = nullptr;
std::string outDir;

void check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what);
    if (!ok) ++failures;
}

void pump(DWORD ms) {
    const DWORD end = GetTickCount() + ms;
    MSG msg;
    while (GetTickCount() < end) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(10);
    }
}

struct Find {
    int id;
    HWND found;
};
BOOL CALLBACK findChild(HWND h, LPARAM lp) {
    auto* f = reinterpret_cast<Find*>(lp);
    if (GetDlgCtrlID(h) == f->id) {
        f->found = h;
        return FALSE;
    }
    return TRUE;
}
HWND control(HWND top, editor::Id id) {
    Find f{1000 + static_cast<int>(editor::index(id)), nullptr};
    EnumChildWindows(top, findChild, reinterpret_cast<LPARAM>(&f));
    return f.found;
}

// Writes the window's client area, as the screen shows it, as a 24-bit BMP.
bool capture(HWND h, const std::string& name) {
    RECT r;
    GetClientRect(h, &r);
    const int w = r.right, ht = r.bottom;
    POINT origin{0, 0};
    ClientToScreen(h, &origin);
    RedrawWindow(h, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    pump(200);
    HDC src = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(src);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = ht;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(src, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, ht, src, origin.x, origin.y, SRCCOPY);
    GdiFlush();
    const DWORD stride = static_cast<DWORD>((w * 3 + 3) & ~3);
    const DWORD size = stride * static_cast<DWORD>(ht);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + size;
    info.bmiHeader.biSizeImage = size;
    bool ok = false;
    if (FILE* f = std::fopen((outDir + "\\" + name + ".bmp").c_str(), "wb")) {
        ok = std::fwrite(&file, sizeof file, 1, f) == 1 &&
             std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f) == 1 &&
             std::fwrite(bits, size, 1, f) == 1;
        std::fclose(f);
    }
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, src);
    return ok;
}

// Whether a control lies wholly inside its container's client area.
bool insideParent(HWND h) {
    RECT r, area;
    GetWindowRect(h, &r);
    MapWindowPoints(nullptr, GetParent(h), reinterpret_cast<POINT*>(&r), 2);
    GetClientRect(GetParent(h), &area);
    return r.left >= 0 && r.right <= area.right && r.bottom <= area.bottom;
}

// Whether a window is wide enough for its text in its own font.
bool fitsText(HWND h) {
    char text[256] = {};
    GetWindowTextA(h, text, sizeof text);
    HDC dc = GetDC(h);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(h, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32A(dc, text, static_cast<int>(std::strlen(text)), &size);
    SelectObject(dc, old);
    ReleaseDC(h, dc);
    RECT r;
    GetClientRect(h, &r);
    return r.right >= size.cx && r.bottom >= size.cy;
}

// The tooltips window a dialog owns.
struct TipsSearch {
    HWND owner;
    HWND found;
};
BOOL CALLBACK findTips(HWND h, LPARAM lp) {
    auto* t = reinterpret_cast<TipsSearch*>(lp);
    char cls[64] = {};
    GetClassNameA(h, cls, sizeof cls);
    if (std::strcmp(cls, TOOLTIPS_CLASSA) == 0 && GetWindow(h, GW_OWNER) == t->owner) {
        t->found = h;
        return FALSE;
    }
    return TRUE;
}

// A pixel of a window's client area as the screen shows it.
COLORREF screenPixel(HWND h, POINT at) {
    ClientToScreen(h, &at);
    HDC screen = GetDC(nullptr);
    const COLORREF c = GetPixel(screen, at.x, at.y);
    ReleaseDC(nullptr, screen);
    return c;
}

// Runs inside the options dialog's own message loop.
void CALLBACK optionsTimer(HWND, UINT, UINT_PTR id, DWORD) {
    HWND dlg = FindWindowA(nullptr, "About...");
    if (!dlg) return;
    KillTimer(nullptr, id);
    RedrawWindow(dlg, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    optionsSeen = dlg;
    HWND label = GetDlgItem(dlg, 100 + static_cast<int>(editor::OptId::Label1));
    HWND edit = GetDlgItem(dlg, 100 + static_cast<int>(editor::OptId::Edit1));
    RECT labelArea{}, editArea{};
    GetWindowRect(label, &labelArea);
    GetWindowRect(edit, &editArea);
    check(label && fitsText(label) && labelArea.right <= editArea.left,
          "options: \"Track name:\" shown whole on one line, left of its box");
    TipsSearch tips{dlg, nullptr};
    EnumThreadWindows(GetCurrentThreadId(), findTips, reinterpret_cast<LPARAM>(&tips));
    // The five start-up boxes (the three of old, SysEx and sample-accurate output) show their
    // hint; "Log tempo and time signature" carries one that the dialog does not show, and this
    // view has no scale list.
    check(tips.found && SendMessageA(tips.found, TTM_GETTOOLCOUNT, 0, 0) == 5,
          "options: only the start-up boxes have tooltips");
    capture(dlg, "options");
    PostMessageA(dlg, WM_CLOSE, 0, 0);
}

// Hands the plug-in one note-on through the host's event stream.
void sendNote(AEffect* e, int key, int velocity) {
    VstMidiEvent note{};
    note.type = kVstMidiType;
    note.byteSize = sizeof note;
    note.midiData[0] = static_cast<char>(0x90);
    note.midiData[1] = static_cast<char>(key);
    note.midiData[2] = static_cast<char>(velocity);
    VstEvents events{};
    events.numEvents = 1;
    events.events[0] = reinterpret_cast<VstEvent*>(&note);
    e->dispatcher(e, effProcessEvents, 0, 0, &events, 0.0f);
}

// Runs inside the context menu's loop: picks the last item, "Options".
HWND menuOwner = nullptr;
void CALLBACK menuTimer(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    PostMessageA(menuOwner, WM_KEYDOWN, VK_UP, 0);
    PostMessageA(menuOwner, WM_KEYDOWN, VK_RETURN, 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    outDir = argv[2];
    HMODULE dll = LoadLibraryA(argv[1]);
    auto entry = reinterpret_cast<AEffect* (*)(audioMasterCallback)>(
        reinterpret_cast<void*>(GetProcAddress(dll, "VSTPluginMain")));
    if (!entry) return 2;
    testsupport::FakeVstHost host;
    host.product = "WineHost";
    AEffect* e = entry(testsupport::FakeVstHost::callback);
    auto call = [e](VstInt32 op, VstInt32 index, VstIntPtr value, void* ptr) {
        return e->dispatcher(e, op, index, value, ptr, 0.0f);
    };
    call(effMainsChanged, 0, 1, nullptr);

    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "EditorTestHost";
    wc.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
    RegisterClassA(&wc);
    HWND top = CreateWindowExA(0, "EditorTestHost", "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40,
                               40, 420, 380, nullptr, nullptr, wc.hInstance, nullptr);
    if (!top) std::printf("the host window could not be created (error %lu)\n", GetLastError());
    check(call(effEditOpen, 0, 0, top) == 1, "effEditOpen answers 1");
    ERect* rect = nullptr;
    call(effEditGetRect, 0, 0, &rect);
    check(rect && rect->right == 344 && rect->bottom == 305, "getRect 344 x 305");
    HWND view = control(top, editor::Id::PageControl1);
    view = view ? GetParent(view) : nullptr;
    check(view != nullptr, "editor window is a child of the host's window");
    pump(300);

    using editor::Id;
    HWND list = control(top, Id::ComboBox23);
    SendMessageA(list, CB_SETCURSEL, 5, 0);
    SendMessageA(GetParent(list), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(list), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(list));
    check(e->getParameter(e, 62) == 5.0f / 256.0f, "message list entry 5 sets 5/256");
    SendMessageA(control(top, Id::CheckBox1), BM_CLICK, 0, 0);
    check(e->getParameter(e, 2) == 1.0f, "check box sets its switch");
    HWND slider = control(top, Id::TrackBar2);
    SendMessageA(slider, TBM_SETPOS, TRUE, 16384);
    SendMessageA(GetParent(slider), WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, 16384),
                 reinterpret_cast<LPARAM>(slider));
    check(e->getParameter(e, 50) == 0.5f && host.automated().size() == 1, "slider automates 0.5");
    SendMessageA(control(top, Id::RadioButton9), BM_CLICK, 0, 0);
    check(std::fabs(e->getParameter(e, 10) - 0.3f) < 1e-6f, "radio button sets Block only");

    // Log traffic: a note through the host's event stream, then idle.
    e->setParameter(e, 4, 1.0f);
    // The view already shows "Filter set to Block only", a line of its own, and is matched to
    // the log's lines by count: the first log line stays hidden, the second shows.
    sendNote(e, 60, 100);
    sendNote(e, 60, 100);
    call(effEditIdle, 0, 0, nullptr);
    pump(300);
    HWND memo = control(top, Id::Memo1);
    char text[4096] = {};
    GetWindowTextA(memo, text, sizeof text);
    check(std::string(text).find("On") != std::string::npos, "log line shown after idle");

    // The LED (on its panel, top right, over every page): yellow once lines arrive, until the
    // next pass; dark (the menu colour) after it.
    const POINT ledBody{321 + 8, 4 + 8};  // the body of the LED on Panel1 (321, 4)
    sendNote(e, 60, 100);
    call(effEditIdle, 0, 0, nullptr);
    RedrawWindow(view, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    check(screenPixel(view, ledBody) == RGB(255, 255, 0), "LED yellow while lines arrive");
    pump(300);
    check(screenPixel(view, ledBody) == GetSysColor(COLOR_MENU), "LED dark when idle");

    HWND tabs = control(top, Id::PageControl1);
    const char* names[5] = {"tab1-input", "tab2-vst2midi", "tab3-replace", "tab4-filter",
                            "tab5-output"};
    for (int p = 0; p < 5; ++p) {
        TabCtrl_SetCurSel(tabs, p);
        NMHDR n{tabs, static_cast<UINT_PTR>(GetDlgCtrlID(tabs)), static_cast<UINT>(TCN_SELCHANGE)};
        SendMessageA(view, WM_NOTIFY, n.idFrom, reinterpret_cast<LPARAM>(&n));
        RedrawWindow(view, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        pump(300);
        check(capture(view, names[p]), names[p]);
    }

    // Every label ends inside its page: none is cut at the window's edge.
    for (std::size_t i = 0; i < editor::kControlCount; ++i) {
        const auto id = static_cast<Id>(i);
        HWND h = editor::control(id).kind == editor::Kind::Label ? control(top, id) : nullptr;
        if (h && (GetWindowLongA(h, GWL_STYLE) & WS_VISIBLE) && !insideParent(h)) {
            std::printf("FAIL: label %s runs past its container\n", editor::control(id).name);
            ++failures;
        }
    }

    // The options dialog, through the context menu.
    menuOwner = view;
    SetTimer(nullptr, 0, 300, menuTimer);
    SetTimer(nullptr, 0, 800, optionsTimer);
    POINT pt{60, 60};
    ClientToScreen(view, &pt);
    SendMessageA(view, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(tabs), MAKELPARAM(pt.x, pt.y));
    pump(300);
    check(optionsSeen != nullptr, "options dialog shown and closed");

    call(effEditClose, 0, 0, nullptr);
    check(!IsWindow(view), "close destroys the editor window");
    call(effClose, 0, 0, nullptr);
    DestroyWindow(top);
    return failures ? 1 : 0;
}
