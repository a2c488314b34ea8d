// The --editor window on X11. The screenshots are taken by a thread of their own with its own
// display connection, driving the editor through real X input (XTest), so they also work while
// the editor runs a modal dialog inside an idle call.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <png.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/editorwindow.h"

namespace host {
namespace {

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int) {
    interrupted = 1;
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool writePng(const std::string& path, int width, int height,
              const std::vector<std::uint8_t>& rgb) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    bool ok = false;
    if (png && info && setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
                     8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                     PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int y = 0; y < height; ++y) {
            png_write_row(png, rgb.data() + static_cast<std::size_t>(y * width * 3));
        }
        png_write_end(png, nullptr);
        ok = true;
    }
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0 && ok;
}

// The screen's pixels under a window, as the user sees them (children and popups included).
bool capture(Display* d, Window w, const std::string& path) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(d, w, &a)) return false;
    int x = 0, y = 0;
    Window child = 0;
    const Window root = DefaultRootWindow(d);
    XTranslateCoordinates(d, w, root, 0, 0, &x, &y, &child);
    XImage* image = XGetImage(d, root, x, y, static_cast<unsigned>(a.width),
                              static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
    if (!image) return false;
    std::vector<std::uint8_t> rgb;
    rgb.reserve(static_cast<std::size_t>(a.width * a.height * 3));
    auto channel = [](unsigned long pixel, unsigned long mask) {
        if (!mask) return std::uint8_t{0};
        int shift = 0;
        while (!((mask >> shift) & 1)) ++shift;
        const unsigned long max = mask >> shift;
        return static_cast<std::uint8_t>(((pixel & mask) >> shift) * 255 / max);
    };
    for (int row = 0; row < a.height; ++row) {
        for (int col = 0; col < a.width; ++col) {
            const unsigned long p = XGetPixel(image, col, row);
            rgb.push_back(channel(p, image->red_mask));
            rgb.push_back(channel(p, image->green_mask));
            rgb.push_back(channel(p, image->blue_mask));
        }
    }
    XDestroyImage(image);
    return writePng(path, a.width, a.height, rgb);
}

// A top-level window by its title, looking one level into window-manager frames.
Window findByName(Display* d, Window under, const char* name, int depth = 0) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(d, under, &root, &parent, &children, &count)) return 0;
    Window found = 0;
    for (unsigned i = 0; i < count && !found; ++i) {
        char* title = nullptr;
        if (XFetchName(d, children[i], &title) && title) {
            if (std::string(title) == name) found = children[i];
            XFree(title);
        }
        if (!found && depth < 2) found = findByName(d, children[i], name, depth + 1);
    }
    if (children) XFree(children);
    return found;
}

void click(Display* d, Window w, int x, int y, unsigned button) {
    int rx = 0, ry = 0;
    Window child = 0;
    XTranslateCoordinates(d, w, DefaultRootWindow(d), x, y, &rx, &ry, &child);
    XTestFakeMotionEvent(d, -1, rx, ry, 0);
    XTestFakeButtonEvent(d, button, True, 0);
    XTestFakeButtonEvent(d, button, False, 0);
    XFlush(d);
}

void key(Display* d, KeySym sym) {
    const KeyCode code = XKeysymToKeycode(d, sym);
    XTestFakeKeyEvent(d, code, True, 0);
    XTestFakeKeyEvent(d, code, False, 0);
    XFlush(d);
}

// The editor's five tabs share its bottom row; the options come from the first page's
// context menu ("Options", its last item).
void takeScreenshots(Window editor, int width, int height, const std::string& dir,
                     std::atomic<bool>& done, std::atomic<int>& failures) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        ++failures;
        done = true;
        return;
    }
    static const char* kTabs[] = {"tab1-input", "tab2-vst2midi", "tab3-replace", "tab4-filter",
                                  "tab5-output"};
    sleepMs(800);
    for (int t = 0; t < 5; ++t) {
        click(d, editor, (2 * t + 1) * width / 10, height - 10, 1);
        sleepMs(500);
        if (!capture(d, editor, dir + "/" + kTabs[t] + ".png")) ++failures;
    }
    click(d, editor, width / 10, height - 10, 1);
    sleepMs(400);
    click(d, editor, width - 30, 100, 3);
    sleepMs(400);
    key(d, XK_Up);
    key(d, XK_Return);
    Window options = 0;
    for (int tries = 0; tries < 50 && !options; ++tries) {
        sleepMs(100);
        options = findByName(d, DefaultRootWindow(d), "About...");
    }
    if (options) {
        sleepMs(500);
        if (!capture(d, options, dir + "/options.png")) ++failures;
        // Closing the dialog as a window manager would.
        XEvent close{};
        close.xclient.type = ClientMessage;
        close.xclient.window = options;
        close.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
        close.xclient.format = 32;
        close.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
        XSendEvent(d, options, False, NoEventMask, &close);
        XFlush(d);
    } else {
        std::fprintf(stderr, "corvella-host: the options dialog did not open\n");
        ++failures;
    }
    XCloseDisplay(d);
    done = true;
}

// A top-level window titled with the plug-in's name, mapped, that asks to be told (with
// deleteWindow) rather than destroyed when the user closes it.
Window createFrame(Display* d, VstHost& h, int width, int height, Atom& deleteWindow) {
    const Window window = XCreateSimpleWindow(
        d, DefaultRootWindow(d), 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height),
        0, BlackPixel(d, DefaultScreen(d)), WhitePixel(d, DefaultScreen(d)));
    const std::string title = h.dispatchText(effGetEffectName);
    XStoreName(d, window, title.empty() ? "corvella-host" : title.c_str());
    XSetWMProtocols(d, window, &deleteWindow, 1);
    XSelectInput(d, window, StructureNotifyMask);
    XMapWindow(d, window);
    XSync(d, False);
    return window;
}

// Gives the window the editor's size, when it tells a usable one, and keeps it at that size.
void fitFrameToEditor(Display* d, Window window, VstHost& h, int& width, int& height) {
    ERect* rect = nullptr;
    if (h.dispatch(effEditGetRect, 0, 0, &rect) && rect && rect->right > rect->left &&
        rect->bottom > rect->top) {
        width = rect->right - rect->left;
        height = rect->bottom - rect->top;
        XResizeWindow(d, window, static_cast<unsigned>(width), static_cast<unsigned>(height));
    }
    XSizeHints hints{};
    hints.flags = PMinSize | PMaxSize;
    hints.min_width = hints.max_width = width;
    hints.min_height = hints.max_height = height;
    XSetWMNormalHints(d, window, &hints);
}

// Serves the window's events and the editor's idle calls until the window is closed, the
// process interrupted or `finished` says so.
template <class Finished>
void serveUntilClosed(Display* d, VstHost& h, Atom deleteWindow, Finished finished) {
    bool open = true;
    while (open && !interrupted && !finished()) {
        while (XPending(d)) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type == ClientMessage &&
                static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow) {
                open = false;
            }
        }
        h.dispatch(effEditIdle);
        sleepMs(33);
    }
}

}  // namespace

int runEditorWindow(VstHost& h, const std::string& screenshotDir, std::string& error) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        error = "cannot open the X display (is DISPLAY set?)";
        return 2;
    }
    int width = 344, height = 305;
    Atom deleteWindow = XInternAtom(d, "WM_DELETE_WINDOW", False);
    const Window window = createFrame(d, h, width, height, deleteWindow);

    if (!h.dispatch(effEditOpen, 0, 0, reinterpret_cast<void*>(window))) {
        XDestroyWindow(d, window);
        XCloseDisplay(d);
        error = "the plug-in opened no editor";
        return 1;
    }
    fitFrameToEditor(d, window, h, width, height);

    // Processing at the pace of the sample rate, so devices, buses and knobs work.
    std::optional<RealtimeProcessing> processing(std::in_place, h);

    struct sigaction action {};
    struct sigaction previousInt {};
    struct sigaction previousTerm {};
    action.sa_handler = &onInterrupt;
    sigaction(SIGINT, &action, &previousInt);
    sigaction(SIGTERM, &action, &previousTerm);

    std::atomic<bool> shotsDone{false};
    std::atomic<int> failures{0};
    std::thread shots;
    if (!screenshotDir.empty()) {
        shots = std::thread(takeScreenshots, window, width, height, screenshotDir,
                            std::ref(shotsDone), std::ref(failures));
    }

    serveUntilClosed(d, h, deleteWindow, [&] { return shots.joinable() && shotsDone; });
    if (shots.joinable()) shots.join();
    h.dispatch(effEditClose);
    processing.reset();
    sigaction(SIGINT, &previousInt, nullptr);
    sigaction(SIGTERM, &previousTerm, nullptr);
    XDestroyWindow(d, window);
    XCloseDisplay(d);
    if (failures > 0) {
        error = "some screenshots could not be saved in " + screenshotDir;
        return 1;
    }
    return 0;
}

}  // namespace host
