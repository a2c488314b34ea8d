// The editor's view on Windows: native common controls built from the form tables, inside
// the host's window. Every control change the window model makes is mirrored here; what the
// user does is reported to the model. Controls that carry state (check boxes, radio buttons)
// are not automatic, so the model alone decides their state.
#include <windows.h>
// Needs the window types above.
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "editor/editorhost.h"
#include "editor/optionsdialog.h"

namespace {

using namespace editor;

constexpr UINT_PTR kTimer = 1;
constexpr int kFirstControlId = 1000;
constexpr const char* kViewClass = "CorvellaEditorView";
constexpr const char* kLedClass = "CorvellaEditorLed";
constexpr const char* kOptionsClass = "CorvellaEditorOptions";

HINSTANCE moduleHandle() {
    HMODULE module = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&moduleHandle), &module);
    return module;
}

Rgb fromColorRef(COLORREF c) {
    return rgb(GetRValue(c), GetGValue(c), GetBValue(c));
}

HFONT makeFont(int height, bool bold, const char* face = "Tahoma",
               DWORD charset = DEFAULT_CHARSET) {
    return CreateFontA(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, 0, 0, 0, charset,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, face);
}

// A 32-bit top-down bitmap of a picture.
HBITMAP pictureBitmap(HDC dc, const Picture& p) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = p.width;
    info.bmiHeader.biHeight = -p.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap && bits) std::memcpy(bits, p.pixels.data(), p.pixels.size() * sizeof(Rgb));
    return bitmap;
}

// A tooltip's record of `control` in `owner` (the tooltip subclasses the control).
TTTOOLINFOA toolInfo(HWND owner, HWND control) {
    TTTOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = owner;
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    return tool;
}

// Shows `text` over `control`; the tooltip keeps a copy of it.
void addTip(HWND tips, HWND owner, HWND control, const char* text) {
    TTTOOLINFOA tool = toolInfo(owner, control);
    tool.lpszText = const_cast<char*>(text);
    SendMessageA(tips, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
}

class Win32View;

LRESULT CALLBACK viewProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp);
LRESULT CALLBACK ledProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp);
LRESULT CALLBACK optionsProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp);
LRESULT CALLBACK subclassProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp, UINT_PTR,
                              DWORD_PTR data);

void registerClasses() {
    static bool done = false;
    if (done) return;
    done = true;
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TAB_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);
    WNDCLASSA wc{};
    wc.lpfnWndProc = viewProc;
    wc.hInstance = moduleHandle();
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = GetSysColorBrush(COLOR_MENU);
    wc.lpszClassName = kViewClass;
    RegisterClassA(&wc);
    wc.lpfnWndProc = ledProc;
    wc.lpszClassName = kLedClass;
    RegisterClassA(&wc);
    wc.lpfnWndProc = optionsProc;
    wc.lpszClassName = kOptionsClass;
    RegisterClassA(&wc);
}

class Win32View : public EditorView {
public:
    Win32View(HWND parent, TPluginEditorWindow& window) : model_(window) {
        registerClasses();
        font_ = makeFont(-11, false);
        bold_ = makeFont(-11, true);
        small_ = makeFont(-9, false, "Tahoma", EASTEUROPE_CHARSET);
        hwnd_ =
            CreateWindowExA(WS_EX_CONTROLPARENT, kViewClass, "Corvella",
                            WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0,
                            kWindowWidth, kWindowHeight, parent, nullptr, moduleHandle(), nullptr);
        if (!hwnd_) return;
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        build();
        SetTimer(hwnd_, kTimer, 100, nullptr);
    }

    ~Win32View() override {
        if (hwnd_) {
            KillTimer(hwnd_, kTimer);
            SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
            for (HWND h : handles_) {
                if (h) SetWindowLongPtrA(h, GWLP_USERDATA, 0);
            }
            DestroyWindow(hwnd_);
        }
        DeleteObject(font_);
        DeleteObject(bold_);
        DeleteObject(small_);
    }

    bool ok() const noexcept { return hwnd_ != nullptr; }

    // --- EditorView ---
    void changed(Id id, Property what) override {
        HWND h = handle(id);
        if (!h) return;
        const ControlState& s = model_.state(id);
        switch (what) {
            case Property::Enabled:
                EnableWindow(h, s.enabled);
                break;
            case Property::Visible:
                ShowWindow(h, s.visible ? SW_SHOW : SW_HIDE);
                if (id == Id::Edit1 && s.visible) {
                    SetWindowTextA(h, s.text.c_str());
                    SetWindowPos(h, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
                    SetFocus(h);
                    SendMessageA(h, EM_SETSEL, 0, -1);
                }
                break;
            case Property::Checked:
                SendMessageA(h, BM_SETCHECK, s.checked ? BST_CHECKED : BST_UNCHECKED, 0);
                break;
            case Property::Position:
                SendMessageA(h, TBM_SETPOS, TRUE, s.position);
                break;
            case Property::Selection:
                SendMessageA(h, CB_SETCURSEL, static_cast<WPARAM>(s.selected), 0);
                break;
            case Property::Text:
                if (id != Id::Edit1) SetWindowTextA(h, s.text.c_str());
                if (control(id).kind == Kind::Label) fitToText(h, s.text, control(id));
                break;
            case Property::Entries:
                fillList(h, s);
                break;
            case Property::Memo: {
                SendMessageA(h, WM_SETREDRAW, FALSE, 0);
                SetWindowTextA(h, model_.memoText().c_str());
                const LRESULT length = GetWindowTextLengthA(h);
                SendMessageA(h, EM_SETSEL, static_cast<WPARAM>(length), length);
                SendMessageA(h, WM_SETREDRAW, TRUE, 0);
                SendMessageA(h, EM_SCROLLCARET, 0, 0);
                InvalidateRect(h, nullptr, TRUE);
                break;
            }
            case Property::Led:
                InvalidateRect(h, nullptr, FALSE);
                break;
            case Property::ActivePage:
                showPage(model_.activePage());
                break;
            case Property::Hint:
                setTip(h, s.hint);
                break;
        }
    }

    char decimalSeparator() override {
        char text[8] = {};
        if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, text, sizeof text) > 1)
            return text[0];
        return '.';
    }

    bool chooseSaveFile(const std::string& proposed, std::string& path) override {
        char file[MAX_PATH] = {};
        proposed.copy(file, sizeof file - 1);
        OPENFILENAMEA ofn{};
        ofn.lStructSize = sizeof ofn;
        ofn.hwndOwner = hwnd_;
        ofn.lpstrFilter = "Type 0 midi file (*.mid)\0*.mid\0Any file (*.*)\0*.*\0";
        ofn.lpstrFile = file;
        ofn.nMaxFile = sizeof file;
        ofn.lpstrTitle = "Save log as...";
        ofn.Flags = OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
        if (!GetSaveFileNameA(&ofn)) return false;
        path = file;
        return true;
    }

    void copyMemoSelection() override {
        HWND memo = handle(Id::Memo1);
        DWORD from = 0, to = 0;
        SendMessageA(memo, EM_GETSEL, reinterpret_cast<WPARAM>(&from),
                     reinterpret_cast<LPARAM>(&to));
        const std::string text = model_.memoText();
        if (to <= from || to > text.size()) return;
        const std::string selected = text.substr(from, to - from);
        if (!OpenClipboard(hwnd_)) return;
        EmptyClipboard();
        if (HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, selected.size() + 1)) {
            if (void* p = GlobalLock(mem)) {
                std::memcpy(p, selected.c_str(), selected.size() + 1);
                GlobalUnlock(mem);
                if (!SetClipboardData(CF_TEXT, mem)) GlobalFree(mem);
            } else {
                GlobalFree(mem);
            }
        }
        CloseClipboard();
    }

    void showOptions(OptionsDialog& dialog) override;

    Rgb systemColour(Colour c) override {
        return fromColorRef(GetSysColor(static_cast<int>(c & 0xFF)));
    }

    // --- Messages ---
    LRESULT handle(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
        switch (message) {
            case WM_ERASEBKGND:
                if (hwnd == hwnd_) return 0;
                break;
            case WM_TIMER:
                if (wp == kTimer) model_.UpdaterTimer();
                return 0;
            case WM_COMMAND:
                command(reinterpret_cast<HWND>(lp), HIWORD(wp));
                return 0;
            case WM_HSCROLL: {
                const Id id = idOf(reinterpret_cast<HWND>(lp));
                if (id != Id::Count) {
                    const auto pos = SendMessageA(reinterpret_cast<HWND>(lp), TBM_GETPOS, 0, 0);
                    model_.userSlide(id, static_cast<int>(pos));
                }
                return 0;
            }
            case WM_NOTIFY: {
                const NMHDR* n = reinterpret_cast<const NMHDR*>(lp);
                if (n->hwndFrom == handle(Id::PageControl1)) {
                    if (n->code == TCN_SELCHANGE) {
                        model_.userPage(static_cast<int>(TabCtrl_GetCurSel(n->hwndFrom)));
                    } else if (n->code == NM_CLICK) {
                        model_.userMouseDown(Id::PageControl1);
                    }
                }
                return 0;
            }
            case WM_LBUTTONDOWN:
            case WM_RBUTTONDOWN: {
                const Id id = idOf(hwnd);
                if (id != Id::Count) model_.userMouseDown(id);
                return 0;
            }
            case WM_CONTEXTMENU:
                contextMenu(reinterpret_cast<HWND>(wp), lp);
                return 0;
            case WM_CTLCOLORSTATIC:
            case WM_CTLCOLORBTN: {
                HDC dc = reinterpret_cast<HDC>(wp);
                const Id id = idOf(reinterpret_cast<HWND>(lp));
                if (id == Id::Memo1) break;
                SetBkColor(dc, GetSysColor(COLOR_MENU));
                const bool windowText = id != Id::Count && (control(id).style & WindowText);
                SetTextColor(dc, GetSysColor(windowText ? COLOR_WINDOWTEXT : COLOR_MENUTEXT));
                return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_MENU));
            }
            default:
                break;
        }
        return DefWindowProcA(hwnd, message, wp, lp);
    }

    // Keys and context menus of the subclassed controls.
    bool subclassed(HWND hwnd, UINT message, WPARAM wp, LPARAM lp, LRESULT& result) {
        const Id id = idOf(hwnd);
        if (id == Id::Edit1 && message == WM_KEYDOWN && (wp == VK_RETURN || wp == VK_ESCAPE)) {
            model_.Edit1KeyDown(static_cast<int>(wp));
            result = 0;
            return true;
        }
        if (id == Id::Edit1 && message == WM_CHAR && (wp == '\r' || wp == 27)) {
            result = 0;
            return true;
        }
        if (message == WM_CONTEXTMENU) {
            contextMenu(hwnd, lp);
            result = 0;
            return true;
        }
        return false;
    }

    void paintLed(HWND hwnd) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r;
        GetClientRect(hwnd, &r);
        FillRect(dc, &r, GetSysColorBrush(COLOR_MENU));
        TransLed& led = model_.led();
        HDC memory = CreateCompatibleDC(dc);
        HBITMAP mask = pictureBitmap(dc, led.mask());
        HBITMAP picture = pictureBitmap(dc, led.picture());
        const int w = led.picture().width, h = led.picture().height;
        const int x = (r.right - w) / 2, y = (r.bottom - h) / 2;
        HGDIOBJ old = SelectObject(memory, mask);
        BitBlt(dc, x, y, w, h, memory, 0, 0, SRCAND);
        SelectObject(memory, picture);
        BitBlt(dc, x, y, w, h, memory, 0, 0, SRCPAINT);
        SelectObject(memory, old);
        DeleteObject(mask);
        DeleteObject(picture);
        DeleteDC(memory);
        EndPaint(hwnd, &ps);
    }

    HWND window() const noexcept { return hwnd_; }

private:
    HWND handle(Id id) const { return handles_[index(id)]; }

    // A control's tooltip ("hint"); an empty text removes it.
    void setTip(HWND h, const std::string& text) {
        if (!tips_ || !h) return;
        TTTOOLINFOA tool = toolInfo(hwnd_, h);
        SendMessageA(tips_, TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
        if (!text.empty()) addTip(tips_, hwnd_, h, text.c_str());
    }

    Id idOf(HWND h) const {
        for (std::size_t i = 0; i < kControlCount; ++i) {
            if (h && handles_[i] == h) return static_cast<Id>(i);
        }
        return Id::Count;
    }

    HWND containerOf(const Control& c) const {
        return c.parent < 0 ? hwnd_ : handles_[static_cast<std::size_t>(c.parent)];
    }

    void build() {
        const auto& form = editorForm();
        handles_[index(Id::Window)] = hwnd_;
        tips_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_,
                                nullptr, moduleHandle(), nullptr);
        RECT pageArea{0, 0, kWindowWidth, kWindowHeight};
        for (std::size_t i = 1; i < kControlCount; ++i) {
            const Control& c = form[i];
            const Id id = static_cast<Id>(i);
            const ControlState& s = model_.state(id);
            HWND parent = containerOf(c);
            int x = c.left, y = c.top;
            if (c.kind == Kind::Page) {
                parent = hwnd_;  // pages lie over the tab control, as siblings
                x = pageArea.left;
                y = pageArea.top;
            }
            HWND h = create(c, s, parent, x, y, static_cast<int>(i),
                            c.kind == Kind::Page ? pageArea : RECT{});
            handles_[i] = h;
            if (!h) continue;
            SetWindowLongPtrA(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            HFONT f = (c.style & Bold) ? bold_ : (c.style & SmallFont) ? small_ : font_;
            SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(f), FALSE);
            if (c.kind == Kind::PageControl) {
                for (Id page : kPages) {
                    TCITEMA item{};
                    item.mask = TCIF_TEXT;
                    item.pszText = const_cast<char*>(control(page).caption);
                    SendMessageA(h, TCM_INSERTITEMA, SendMessageA(h, TCM_GETITEMCOUNT, 0, 0),
                                 reinterpret_cast<LPARAM>(&item));
                }
                GetClientRect(h, &pageArea);
                TabCtrl_AdjustRect(h, FALSE, &pageArea);
            }
            if (c.kind == Kind::DropDown) fillList(h, s);
            if (c.kind == Kind::Slider) {
                SendMessageA(h, TBM_SETRANGEMIN, FALSE, c.minimum);
                SendMessageA(h, TBM_SETRANGEMAX, FALSE, c.maximum);
                SendMessageA(h, TBM_SETTHUMBLENGTH, 15, 0);
                SendMessageA(h, TBM_SETPOS, TRUE, s.position);
                if (c.maximum == 32767) SendMessageA(h, TBM_SETLINESIZE, 0, 0);
            }
            if (c.kind == Kind::CheckBox || c.kind == Kind::Radio) {
                SendMessageA(h, BM_SETCHECK, s.checked ? BST_CHECKED : BST_UNCHECKED, 0);
            }
            if (c.kind == Kind::Memo || c.kind == Kind::Edit || c.kind == Kind::DropDown) {
                SetWindowSubclass(h, subclassProc, 1, reinterpret_cast<DWORD_PTR>(this));
            }
        }
        // The LED's panel stays above the tab control.
        SetWindowPos(handle(Id::Panel1), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        showPage(model_.activePage());
    }

    SIZE textSize(const std::string& text, const Control& c) {
        HDC dc = GetDC(hwnd_);
        HGDIOBJ old = SelectObject(dc, (c.style & Bold) ? bold_ : font_);
        SIZE size{};
        GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
        SelectObject(dc, old);
        ReleaseDC(hwnd_, dc);
        return size;
    }

    // A label sized to its text, moved left where it would pass its container's edge.
    void fitToText(HWND h, const std::string& text, const Control& c) {
        const SIZE size = textSize(text, c);
        RECT area{};
        GetClientRect(GetParent(h), &area);
        const int x = fittedLeft(c.left, size.cx + 2, area.right);
        SetWindowPos(h, nullptr, x, c.top, size.cx + 2, size.cy, SWP_NOZORDER);
        InvalidateRect(GetParent(h), nullptr, TRUE);
    }

    HWND create(const Control& c, const ControlState& s, HWND parent, int x, int y, int id,
                RECT pageArea) {
        const char* cls = "STATIC";
        DWORD style = WS_CHILD | (s.visible ? WS_VISIBLE : 0);
        DWORD ex = 0;
        int w = c.width, h = c.height;
        std::string caption = c.caption ? c.caption : "";
        switch (c.kind) {
            case Kind::PageControl:
                cls = WC_TABCONTROLA;
                style |= TCS_BOTTOM | TCS_MULTILINE | WS_CLIPSIBLINGS;
                break;
            case Kind::Page:
                cls = kViewClass;
                // Pages never paint over their siblings: the LED's panel lies over them.
                style |= WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
                ex = WS_EX_CONTROLPARENT;
                w = pageArea.right - pageArea.left;
                h = pageArea.bottom - pageArea.top;
                caption.clear();
                break;
            case Kind::Label: {
                // Labels size themselves to their text, on one line, inside their container.
                const SIZE size = textSize(caption, c);
                w = size.cx + 2;
                h = size.cy;
                RECT area{};
                GetClientRect(parent, &area);
                x = fittedLeft(x, w, area.right);
                style |= SS_LEFTNOWORDWRAP;
                break;
            }
            case Kind::CheckBox:
            case Kind::Radio:
                cls = "BUTTON";
                style |= (c.kind == Kind::CheckBox ? BS_CHECKBOX : BS_RADIOBUTTON) | WS_TABSTOP;
                // The box and its caption never cut the caption, whatever the font's metrics.
                if (!caption.empty())
                    w = std::max(w, static_cast<int>(textSize(caption, c).cx) + 20);
                break;
            case Kind::DropDown:
                cls = "COMBOBOX";
                style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
                h = 200;
                break;
            case Kind::Slider:
                cls = TRACKBAR_CLASSA;
                style |= TBS_HORZ | TBS_NOTICKS | TBS_FIXEDLENGTH | WS_TABSTOP;
                break;
            case Kind::Memo:
                cls = "EDIT";
                style |= ES_MULTILINE | ES_READONLY | WS_VSCROLL | ES_AUTOVSCROLL;
                ex = WS_EX_CLIENTEDGE;
                break;
            case Kind::Bevel:
                style |= (c.style & TopLineOnly) ? SS_ETCHEDHORZ : SS_ETCHEDFRAME;
                if (c.style & TopLineOnly) h = 2;
                caption.clear();
                break;
            case Kind::Panel:
                style |= WS_CLIPSIBLINGS;
                caption.clear();
                break;
            case Kind::Led:
                cls = kLedClass;
                caption.clear();
                break;
            case Kind::Edit:
                cls = "EDIT";
                style |= ES_AUTOHSCROLL | WS_BORDER;
                break;
            default:
                return nullptr;
        }
        return CreateWindowExA(ex, cls, caption.c_str(), style, x, y, w, h, parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + id)),
                               moduleHandle(), nullptr);
    }

    static void fillList(HWND h, const ControlState& s) {
        SendMessageA(h, WM_SETREDRAW, FALSE, 0);
        SendMessageA(h, CB_RESETCONTENT, 0, 0);
        for (const std::string& e : s.entries) {
            SendMessageA(h, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(e.c_str()));
        }
        SendMessageA(h, CB_SETCURSEL, static_cast<WPARAM>(s.selected), 0);
        SendMessageA(h, WM_SETREDRAW, TRUE, 0);
    }

    void showPage(int active) {
        HWND tabs = handle(Id::PageControl1);
        if (TabCtrl_GetCurSel(tabs) != active) TabCtrl_SetCurSel(tabs, active);
        for (std::size_t p = 0; p < kPages.size(); ++p) {
            HWND page = handle(kPages[p]);
            SetWindowPos(page, HWND_TOP, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE |
                             (static_cast<int>(p) == active ? SWP_SHOWWINDOW : SWP_HIDEWINDOW));
        }
        SetWindowPos(handle(Id::Panel1), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        if (model_.state(Id::Edit1).visible) {
            SetWindowPos(handle(Id::Edit1), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        }
    }

    void command(HWND from, WORD code) {
        const Id id = idOf(from);
        if (id == Id::Count) return;
        const Kind kind = control(id).kind;
        if (kind == Kind::DropDown && code == CBN_SELCHANGE) {
            model_.userSelect(id, static_cast<int>(SendMessageA(from, CB_GETCURSEL, 0, 0)));
        } else if (kind == Kind::CheckBox && code == BN_CLICKED) {
            model_.userCheck(id, !model_.state(id).checked);
        } else if (kind == Kind::Radio && code == BN_CLICKED) {
            model_.userRadio(id);
        } else if (id == Id::Edit1 && code == EN_CHANGE) {
            char text[256] = {};
            GetWindowTextA(from, text, sizeof text);
            model_.userEditText(text);
        }
    }

    void contextMenu(HWND from, LPARAM at) {
        const Id id = idOf(from);
        POINT pt{static_cast<short>(LOWORD(at)), static_cast<short>(HIWORD(at))};
        if (at == -1) GetCursorPos(&pt);
        const std::vector<MenuEntry> entries = model_.openContextMenu(id);
        HMENU popup = CreatePopupMenu();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            UINT flags = MF_STRING;
            if (entries[i].checkItem && entries[i].checked) flags |= MF_CHECKED;
            AppendMenuA(popup, flags, i + 1, entries[i].caption.c_str());
        }
        const auto chosen = static_cast<std::size_t>(
            TrackPopupMenu(popup, TPM_RETURNCMD | TPM_RIGHTBUTTON, pt.x, pt.y, 0, hwnd_, nullptr));
        DestroyMenu(popup);
        if (chosen != 0) model_.contextMenuChosen(id, chosen - 1);
    }

    TPluginEditorWindow& model_;
    HWND hwnd_ = nullptr;
    HWND tips_ = nullptr;  // owned by hwnd_, destroyed with it
    HFONT font_ = nullptr, bold_ = nullptr, small_ = nullptr;
    std::array<HWND, kControlCount> handles_{};
};

// --- Options dialog ------------------------------------------------------------------------

struct OptionsWindow {
    OptionsDialog* dialog;
    std::array<HWND, kOptionsControlCount> handles{};
    HFONT font = nullptr, tahoma = nullptr;
};

// The start-up boxes of old, "SysEx" and the credits are in Tahoma; the rest in the dialog's
// own font.
bool inTahoma(OptId id) {
    return (id >= OptId::VSTi && id <= OptId::EmuIn) || id == OptId::SysEx ||
           id == OptId::StaticText1;
}

SIZE textExtent(HWND h, HFONT font, const std::string& text) {
    SIZE size{};
    HDC dc = GetDC(h);
    HGDIOBJ old = SelectObject(dc, font);
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(h, dc);
    return size;
}

// The native control of one item of the options dialog, its font set and its size fitted to
// its text.
HWND createOption(HWND dlg, const OptionsItem& item, const OptionsWindow& ow) {
    const Control& c = *item.control;
    const char* cls = "STATIC";
    DWORD style = WS_CHILD | WS_VISIBLE;
    DWORD ex = 0;
    switch (c.kind) {
        case Kind::StaticText:
            ex = WS_EX_STATICEDGE;
            break;
        case Kind::CheckBox:
            cls = "BUTTON";
            style |= BS_CHECKBOX | WS_TABSTOP;
            break;
        case Kind::Edit:
            cls = "EDIT";
            style |= ES_AUTOHSCROLL | WS_TABSTOP;
            ex = WS_EX_CLIENTEDGE;
            break;
        case Kind::Button:
            cls = "BUTTON";
            style |= BS_PUSHBUTTON | WS_TABSTOP;
            break;
        case Kind::Label:
            style |= SS_LEFTNOWORDWRAP;  // sized to its text below
            break;
        default:
            break;
    }
    HWND hc = CreateWindowExA(
        ex, cls, item.text.c_str(), style, c.left, c.top, c.width, c.height, dlg,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(100 + static_cast<int>(item.id))),
        moduleHandle(), nullptr);
    if (!hc) return nullptr;
    HFONT font = inTahoma(item.id) ? ow.tahoma : ow.font;
    SendMessageA(hc, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (c.kind == Kind::CheckBox) {
        SendMessageA(hc, BM_SETCHECK, item.checked ? 1 : 0, 0);
        // The box and its caption never cut the caption, whatever the font's metrics.
        const SIZE size = textExtent(hc, font, item.text);
        if (size.cx + 20 > c.width)
            SetWindowPos(hc, nullptr, 0, 0, size.cx + 20, c.height, SWP_NOMOVE | SWP_NOZORDER);
    } else if (c.kind == Kind::Label) {
        // On one line, ending where the control on its row begins.
        const SIZE size = textExtent(hc, font, item.text);
        SetWindowPos(hc, nullptr, fittedLeft(c.left, size.cx + 2, item.labelEnd - 2), c.top,
                     size.cx + 2, size.cy, SWP_NOZORDER);
    }
    return hc;
}

// Serves the dialog's messages until it closes; the host's window takes no input meanwhile.
void runModal(HWND dlg, HWND owner, const OptionsDialog& dialog) {
    if (owner) EnableWindow(owner, FALSE);
    MSG msg;
    while (IsWindow(dlg) && !dialog.closed()) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got <= 0) {
            if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (!IsDialogMessageA(dlg, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    if (owner) EnableWindow(owner, TRUE);
}

void Win32View::showOptions(OptionsDialog& dialog) {
    OptionsWindow ow{
        &dialog,
        {},
        CreateFontA(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, "MS Sans Serif"),
        makeFont(-11, false, "Tahoma", EASTEUROPE_CHARSET)};
    HWND owner = GetAncestor(hwnd_, GA_ROOT);
    RECT area;
    GetWindowRect(owner ? owner : GetDesktopWindow(), &area);
    const int x = (area.left + area.right - kOptionsWidth) / 2;
    const int y = (area.top + area.bottom - kOptionsHeight) / 2;
    HWND dlg =
        CreateWindowExA(WS_EX_TOPMOST, kOptionsClass, OptionsDialog::title(), WS_POPUP | WS_VISIBLE,
                        x, y, kOptionsWidth, kOptionsHeight, owner, nullptr, moduleHandle(), &ow);
    if (dlg) {
        HWND tips = CreateWindowExA(
            WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, dlg, nullptr, moduleHandle(), nullptr);
        for (const OptionsItem& item : dialog.items(false)) {
            // The dialog's own window is its panel.
            if (item.control->kind == Kind::Panel) continue;
            HWND hc = createOption(dlg, item, ow);
            ow.handles[static_cast<std::size_t>(item.id)] = hc;
            if (tips && hc && item.tooltip) addTip(tips, dlg, hc, item.tooltip);
        }
        runModal(dlg, owner, dialog);
        if (IsWindow(dlg)) DestroyWindow(dlg);
    }
    DeleteObject(ow.font);
    DeleteObject(ow.tahoma);
}

LRESULT CALLBACK optionsProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    if (message == WM_NCCREATE) {
        const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lp);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* ow = reinterpret_cast<OptionsWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (ow && message == WM_COMMAND) {
        const auto i = static_cast<std::size_t>(LOWORD(wp)) - 100;
        if (i < kOptionsControlCount) {
            const OptId id = static_cast<OptId>(i);
            const Control& c = optionsForm()[i];
            HWND hc = reinterpret_cast<HWND>(lp);
            if (c.kind == Kind::CheckBox && HIWORD(wp) == BN_CLICKED) {
                ow->dialog->userCheck(id, !ow->dialog->checked(id));
                SendMessageA(hc, BM_SETCHECK, ow->dialog->checked(id) ? 1 : 0, 0);
            } else if (c.kind == Kind::Edit && HIWORD(wp) == EN_CHANGE) {
                char text[256] = {};
                GetWindowTextA(hc, text, sizeof text);
                ow->dialog->userEditText(text);
            } else if (c.kind == Kind::Button && HIWORD(wp) == BN_CLICKED) {
                ow->dialog->BitBtn1Click();
            }
        }
        return 0;
    }
    if (ow && message == WM_CLOSE) {
        ow->dialog->BitBtn1Click();  // closing by any means applies the values
        return 0;
    }
    if (message == WM_CTLCOLORSTATIC || message == WM_CTLCOLORBTN) {
        SetBkColor(reinterpret_cast<HDC>(wp), GetSysColor(COLOR_MENU));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_MENU));
    }
    return DefWindowProcA(hwnd, message, wp, lp);
}

// --- Window procedures ---------------------------------------------------------------------

Win32View* viewOf(HWND hwnd) {
    return reinterpret_cast<Win32View*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

LRESULT CALLBACK viewProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    if (Win32View* v = viewOf(hwnd)) return v->handle(hwnd, message, wp, lp);
    return DefWindowProcA(hwnd, message, wp, lp);
}

LRESULT CALLBACK ledProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp) {
    Win32View* v = viewOf(hwnd);
    if (v && message == WM_PAINT) {
        v->paintLed(hwnd);
        return 0;
    }
    if (message == WM_ERASEBKGND) return 1;
    return DefWindowProcA(hwnd, message, wp, lp);
}

LRESULT CALLBACK subclassProc(HWND hwnd, UINT message, WPARAM wp, LPARAM lp, UINT_PTR,
                              DWORD_PTR data) {
    auto* v = reinterpret_cast<Win32View*>(data);
    LRESULT result = 0;
    if (viewOf(hwnd) && v->subclassed(hwnd, message, wp, lp, result)) return result;
    if (message == WM_NCDESTROY) RemoveWindowSubclass(hwnd, subclassProc, 1);
    return DefSubclassProc(hwnd, message, wp, lp);
}

}  // namespace

std::unique_ptr<EditorView> createSystemEditorView(void* parent, TPluginEditorWindow& window) {
    if (!parent || !IsWindow(static_cast<HWND>(parent))) return nullptr;
    auto view = std::make_unique<Win32View>(static_cast<HWND>(parent), window);
    if (!view->ok()) return nullptr;
    return view;
}
