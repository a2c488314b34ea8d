// Real X input for the editor tests (XTest), from a connection of its own: it runs on a thread
// of its own while the test's thread goes on making the host's idle calls, since the editor's
// popups and panels run inside those calls. Points are in the host's window, from the form's
// places.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "editor/form.h"

// After everything else: Xlib's macros collide with names above.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#undef None

namespace xtest {

inline void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

constexpr int kPageOrigin = 2;  // where the view puts a page's client area

// A point of a control, in the parent window, from the form's places.
inline std::pair<int, int> placeOf(editor::Id id, int dx, int dy) {
    const editor::Control& c = editor::control(id);
    const bool onPage = c.parent > 0;
    return {c.left + dx + (onPage ? kPageOrigin : 0), c.top + dy + (onPage ? kPageOrigin : 0)};
}

class Input {
public:
    explicit Input(Window parent) : d_(XOpenDisplay(nullptr)), parent_(parent) {}
    ~Input() { XCloseDisplay(d_); }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    void moveTo(int x, int y) {
        int rx = 0, ry = 0;
        Window child = 0;
        XTranslateCoordinates(d_, parent_, DefaultRootWindow(d_), x, y, &rx, &ry, &child);
        XTestFakeMotionEvent(d_, -1, rx, ry, 0);
        XFlush(d_);
        sleepMs(30);
    }
    void button(unsigned b, bool down) {
        XTestFakeButtonEvent(d_, b, down ? True : False, 0);
        XFlush(d_);
        sleepMs(60);
    }
    void click(int x, int y, unsigned b = 1) {
        moveTo(x, y);
        button(b, true);
        button(b, false);
        sleepMs(150);
    }
    void clickControl(editor::Id id, unsigned b = 1, int dx = 8, int dy = 8) {
        const auto [x, y] = placeOf(id, dx, dy);
        click(x, y, b);
    }
    void tab(int page) { click((2 * page + 1) * 344 / 10, 305 - 10); }
    void key(KeySym sym) {
        const KeyCode code = XKeysymToKeycode(d_, sym);
        XTestFakeKeyEvent(d_, code, True, 0);
        XTestFakeKeyEvent(d_, code, False, 0);
        XFlush(d_);
        sleepMs(60);
    }
    void type(const std::string& text) {
        for (char c : text) key(static_cast<KeySym>(c));
    }
    // A menu item by its place (1 is the first), with the keyboard.
    void menuItem(int place) {
        sleepMs(200);
        for (int i = 0; i < place; ++i) key(XK_Down);
        key(XK_Return);
        sleepMs(150);
    }

private:
    Display* d_;
    Window parent_;
};

// Runs `steps` with real input on a thread of its own while this thread keeps making the
// host's idle calls (`serve`, one cycle each), until the steps are done.
template <class Steps, class Serve>
void driveWhileServing(Window parent, Steps steps, Serve serve) {
    std::atomic<bool> done{false};
    std::thread driver([&] {
        Input input(parent);
        steps(input);
        done.store(true);
    });
    while (!done.load()) serve();
    driver.join();
}

}  // namespace xtest
