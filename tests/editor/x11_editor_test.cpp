// The Linux editor view on a virtual X display, driven through real X input (XTest): the
// controls reach the parameters, the host sees a slider's gesture, the log's selection reaches
// the CLIPBOARD, the log is saved through the file panel, host automation moves the controls,
// and opening and closing the editor leaves no windows, X resources or threads behind.
// Run under Xvfb (see x11_gui_test.sh).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi.h"
#include "platform/notice.h"
#include "platform/settings.h"
#include "plugin/editorfactory.h"
#include "plugin/plugin.h"
#include "plugin/plugineditor.h"
#include "support/fakevsthost.h"
#include "support/memorysettingsstore.h"
#include "support/scriptedmidibackend.h"
#include "vst/entry.h"
#include "xtestinput.h"

// After everything else: Xlib's macros collide with names above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#undef None

namespace {

using editor::Id;

using xtest::sleepMs;

class X11EditorTest : public ::testing::Test {
protected:
    void SetUp() override {
        display = XOpenDisplay(nullptr);
        if (!display) GTEST_SKIP() << "no X display (run under Xvfb)";
        installPluginEditorFactory(&newPluginEditor);
        effect = pluginEntry(testsupport::FakeVstHost::callback);
        ASSERT_NE(effect, nullptr);
        parent =
            XCreateSimpleWindow(display, DefaultRootWindow(display), 10, 10, 344, 305, 0, 0, 0);
        XMapWindow(display, parent);
        XSync(display, False);
    }
    void TearDown() override {
        if (!display) return;
        if (effect) call(effClose);
        XDestroyWindow(display, parent);
        XCloseDisplay(display);
    }

    VstIntPtr call(VstInt32 op, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr) {
        return effect->dispatcher(effect, op, index, value, ptr, 0.0f);
    }
    APlugin& plugin() { return *static_cast<APlugin*>(effect->object); }
    APluginEditor& editorObject() { return *static_cast<APluginEditor*>(plugin().getEditor()); }
    const editor::ControlState& state(Id id) { return editorObject().window()->state(id); }
    VstIntPtr openEditor() {
        const VstIntPtr opened = call(effEditOpen, 0, 0, reinterpret_cast<void*>(parent));
        pump(300);
        return opened;
    }

    // The host's idle calls, about every 10 ms.
    void pump(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            call(effEditIdle);
            sleepMs(10);
        }
    }

    static std::pair<int, int> placeOf(Id id, int dx, int dy) { return xtest::placeOf(id, dx, dy); }
    using Input = xtest::Input;

    template <class Steps>
    void drive(Steps steps, int settleMs = 150) {
        xtest::driveWhileServing(parent, steps, [this] {
            call(effEditIdle);
            sleepMs(10);
        });
        pump(settleMs);
    }

    platform::MemorySettingsStore settings;
    platform::ScopedSettingsStore settingsScope{settings};
    platform::ScriptedMidiBackend devices{{"in A", "in B"}, {"out A", "out B"}};
    platform::ScopedMidiBackend devicesScope{devices};
    testsupport::FakeVstHost host;
    Display* display = nullptr;
    Window parent = 0;
    AEffect* effect = nullptr;
};

TEST_F(X11EditorTest, ControlsDriveTheirParameters) {
    ASSERT_EQ(openEditor(), 1);
    ERect* rect = nullptr;
    call(effEditGetRect, 0, 0, &rect);
    ASSERT_NE(rect, nullptr);
    EXPECT_EQ(rect->right, 344);
    EXPECT_EQ(rect->bottom, 305);

    // Check box: "Receive midi from host" starts checked.
    ASSERT_FLOAT_EQ(plugin().getParameter(49), 1.0f);
    drive([](Input& in) { in.clickControl(Id::CheckBox12, 1, 6, 8); });
    EXPECT_FLOAT_EQ(plugin().getParameter(49), 0.0f);
    EXPECT_FALSE(state(Id::CheckBox12).checked);

    // List: the first knob's message list, one entry down from where it stands.
    drive([](Input& in) { in.tab(1); });
    EXPECT_EQ(editorObject().window()->activePage(), 1);
    const int before = state(Id::ComboBox23).selected;
    drive([](Input& in) {
        in.clickControl(Id::ComboBox23, 1, 100, 10);
        in.menuItem(1);
    });
    EXPECT_EQ(state(Id::ComboBox23).selected, before + 1);
    EXPECT_FLOAT_EQ(plugin().getParameter(62), static_cast<float>(before + 1) / 256.0f);

    // Slider: a drag is one gesture for the host, begin, values, end.
    host.clear();
    drive([](Input& in) {
        const auto [sx, sy] = placeOf(Id::TrackBar2, 8, 9);
        in.moveTo(sx, sy);
        in.button(1, true);
        for (int x = sx; x <= sx + 150; x += 15) in.moveTo(x, sy);
        in.button(1, false);
    });
    const auto gestures =
        host.callsOf({audioMasterBeginEdit, audioMasterAutomate, audioMasterEndEdit});
    ASSERT_GE(gestures.size(), 3u);
    EXPECT_EQ(gestures.front(), std::make_pair(VstInt32{audioMasterBeginEdit}, 50));
    EXPECT_EQ(gestures.back(), std::make_pair(VstInt32{audioMasterEndEdit}, 50));
    EXPECT_EQ(gestures[1], std::make_pair(VstInt32{audioMasterAutomate}, 50));
    EXPECT_GT(plugin().getParameter(50), 0.2f);
    EXPECT_EQ(state(Id::TrackBar2).position,
              static_cast<int>(std::lround(plugin().getParameter(50) * 32768.0f)));

    // Radio button: "Block only" on the filter page.
    drive([](Input& in) {
        in.tab(3);
        in.clickControl(Id::RadioButton9, 1, 6, 8);
    });
    EXPECT_FLOAT_EQ(plugin().getParameter(10), 0.3f);
    EXPECT_TRUE(state(Id::RadioButton9).checked);
    EXPECT_FALSE(state(Id::RadioButton1).checked);
    EXPECT_EQ(editorObject().window()->memoLines().back(), "Filter set to Block only");

    // Host automation reaches the controls within one pass.
    effect->setParameter(effect, 51, 0.25f);
    effect->setParameter(effect, 49, 1.0f);
    pump(110);
    EXPECT_EQ(state(Id::TrackBar3).position, 8192);
    EXPECT_TRUE(state(Id::CheckBox12).checked);
}

// The LED's body as the screen shows it.
unsigned long ledPixel(Display* d, Window parent) {
    const editor::Control& panel = editor::control(Id::Panel1);
    XImage* image = XGetImage(d, parent, panel.left + 8, panel.top + 8, 1, 1, AllPlanes, ZPixmap);
    if (!image) return 0;
    const unsigned long p = XGetPixel(image, 0, 0) & 0xFFFFFF;
    XDestroyImage(image);
    return p;
}

TEST_F(X11EditorTest, LedLightsWhileLinesArrive) {
    ASSERT_EQ(openEditor(), 1);
    pump(200);
    const unsigned long dark = ledPixel(display, parent);
    EXPECT_NE(dark, 0xFFFF00ul);
    // A pass may fall between a line and the picture; some line among a few shows yellow.
    bool lit = false;
    for (int i = 0; i < 5 && !lit; ++i) {
        editorObject().window()->appendLine("line " + std::to_string(i));
        call(effEditIdle);
        XSync(display, False);
        lit = ledPixel(display, parent) == 0xFFFF00ul;
        pump(30);
    }
    EXPECT_TRUE(lit);
    pump(250);
    EXPECT_EQ(ledPixel(display, parent), dark);
}

TEST_F(X11EditorTest, BusIsRenamedWithTheKeyboard) {
    ASSERT_EQ(openEditor(), 1);
    const int bus = state(Id::ComboBox25).selected;
    ASSERT_GE(bus, 0);
    const std::string old = plugin().bus().readLabel(bus);
    drive([](Input& in) {
        in.clickControl(Id::ComboBox25, 3, 100, 10);
        in.menuItem(1);  // "Rename bus"
    });
    ASSERT_TRUE(state(Id::Edit1).visible);
    drive([](Input& in) {
        in.type("drums");
        in.key(XK_Return);
    });
    EXPECT_FALSE(state(Id::Edit1).visible);
    EXPECT_EQ(plugin().bus().readLabel(bus), "drums");
    EXPECT_EQ(state(Id::ComboBox25).entries[static_cast<std::size_t>(bus)], "drums");
    // Escape leaves the label alone.
    drive([](Input& in) {
        in.clickControl(Id::ComboBox25, 3, 100, 10);
        in.menuItem(1);
        in.type("xyz");
        in.key(XK_Escape);
    });
    EXPECT_FALSE(state(Id::Edit1).visible);
    EXPECT_EQ(plugin().bus().readLabel(bus), "drums");
    plugin().bus().writeLabel(bus, old);
}

TEST_F(X11EditorTest, LogSelectionReachesTheClipboard) {
    ASSERT_EQ(openEditor(), 1);
    editorObject().window()->appendLine("first line of the log");
    editorObject().window()->appendLine("second line");
    pump(100);
    // Select the first line by dragging across it from its end to beyond its start, then
    // "Copy selection".
    drive([](Input& in) {
        const auto [mx, my] = placeOf(Id::Memo1, 300, 6);
        in.moveTo(mx, my);
        in.button(1, true);
        in.moveTo(mx - 150, my);
        in.moveTo(mx - 310, my);
        in.button(1, false);
        in.clickControl(Id::Memo1, 3, 100, 60);
        in.menuItem(2);
    });

    // Our own requestor of the CLIPBOARD selection; the editor answers from its idle calls.
    const Window requestor =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    const Atom property = XInternAtom(display, "CORVELLA_TEST_CLIP", False);
    XConvertSelection(display, clipboard, utf8, property, requestor, CurrentTime);
    XFlush(display);
    std::string text;
    bool answered = false;
    for (int i = 0; i < 100 && !answered; ++i) {
        call(effEditIdle);
        XEvent event;
        while (XCheckTypedWindowEvent(display, requestor, SelectionNotify, &event)) {
            answered = true;
            if (event.xselection.property == 0) break;
            Atom type = 0;
            int format = 0;
            unsigned long count = 0, left = 0;
            unsigned char* data = nullptr;
            XGetWindowProperty(display, requestor, property, 0, 1 << 16, False, AnyPropertyType,
                               &type, &format, &count, &left, &data);
            if (data) {
                text.assign(reinterpret_cast<char*>(data), count);
                XFree(data);
            }
        }
        sleepMs(10);
    }
    XDestroyWindow(display, requestor);
    ASSERT_TRUE(answered);
    EXPECT_EQ(text.rfind("first line of the log", 0), 0u) << "[" << text << "]";
    EXPECT_EQ(text.find("second"), std::string::npos) << text;
}

TEST_F(X11EditorTest, LogIsSavedThroughTheFilePanel) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("corvella-x11-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    setenv("XDG_MUSIC_DIR", dir.c_str(), 1);
    // A few messages from the host, recorded by the log.
    call(effMainsChanged, 0, 1);
    effect->setParameter(effect, param::Log, 1.0f);
    VstMidiEvent note{};
    note.type = kVstMidiType;
    note.byteSize = sizeof note;
    note.midiData[0] = static_cast<char>(0x90);
    note.midiData[1] = 60;
    note.midiData[2] = 100;
    VstEvents list{};
    list.numEvents = 1;
    list.events[0] = reinterpret_cast<VstEvent*>(&note);
    float buffer[128] = {};
    float* io[2] = {buffer, buffer};
    for (int block = 0; block < 4; ++block) {
        if (block == 1) call(effProcessEvents, 0, 0, &list);
        effect->processReplacing(effect, io, io, 128);
    }

    ASSERT_EQ(openEditor(), 1);
    drive([](Input& in) {
        in.clickControl(Id::Memo1, 3, 100, 60);
        in.menuItem(4);  // "Save log"
        sleepMs(1200);   // the panel opens with the proposed name in the music folder
        in.key(XK_Return);
    });
    std::vector<std::filesystem::path> saved;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) saved.push_back(entry);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].extension(), ".mid");
    EXPECT_EQ(plugin().logFileName(), saved[0].string());
    EXPECT_EQ(editorObject().window()->memoLines().back(), "Saved to: " + saved[0].string());
    // A third-party reader finds the note.
    const std::string command =
        "/usr/bin/python3 -c \"import mido,sys; "
        "print(sum(1 for m in mido.MidiFile(sys.argv[1]) "
        "if m.type=='note_on'))\" '" +
        saved[0].string() + "'";
    FILE* reader = popen(command.c_str(), "r");
    ASSERT_NE(reader, nullptr);
    char out[32] = {};
    const bool got = std::fgets(out, sizeof out, reader) != nullptr;
    pclose(reader);
    ASSERT_TRUE(got);
    EXPECT_EQ(std::string(out), "1\n");
    std::filesystem::remove_all(dir);
    unsetenv("XDG_MUSIC_DIR");
}

// The log's menu has the view's own items: they hide clock and active sensing, pause, choose
// the time prefix, and save the view as text.
TEST_F(X11EditorTest, LogMenuHidesPausesPrefixesAndSavesText) {
    const auto dir = std::filesystem::temp_directory_path() / "corvella-x11-logtext";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    setenv("XDG_MUSIC_DIR", dir.c_str(), 1);
    ASSERT_EQ(openEditor(), 1);
    editorObject().window()->appendLine("a line of the editor");
    const editor::LogFeed& feed = editorObject().window()->logFeed();
    drive([](Input& in) {
        in.clickControl(Id::Memo1, 3, 100, 60);
        in.menuItem(7);  // "Hide clock and active sensing"
        in.clickControl(Id::Memo1, 3, 100, 60);
        in.menuItem(17);  // "Time: bar.beat.tick"
        in.clickControl(Id::Memo1, 3, 100, 60);
        in.menuItem(6);  // "Pause"
    });
    EXPECT_TRUE(feed.show().clockAndSensingHidden());
    EXPECT_EQ(feed.show().timePrefix(), LogTimePrefix::Bars);
    EXPECT_TRUE(feed.paused());
    EXPECT_EQ(state(Id::Memo1).hint, "paused: 0 new lines");
    drive([](Input& in) {
        in.clickControl(Id::Memo1, 3, 100, 60);
        in.menuItem(6);  // "Pause (paused: ...)": resume
        in.clickControl(Id::Memo1, 3, 100, 60);
        in.menuItem(18);  // "Save log as text..."
        sleepMs(1200);
        in.key(XK_Return);
    });
    unsetenv("XDG_MUSIC_DIR");
    EXPECT_FALSE(feed.paused());
    std::vector<std::filesystem::path> saved;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) saved.push_back(entry);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].extension(), ".txt");
    std::ifstream in(saved[0], std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(text, "a line of the editor\n");
    EXPECT_EQ(editorObject().window()->memoLines().back(), "Saved to: " + saved[0].string());
    std::filesystem::remove_all(dir);
}

TEST_F(X11EditorTest, ASaveThatFailsSaysSoInTheLog) {
    setenv("XDG_MUSIC_DIR", "/nonexistent/corvella", 1);
    ASSERT_EQ(openEditor(), 1);
    drive([](Input& in) {
        in.clickControl(Id::Memo1, 3, 100, 60);
        in.menuItem(4);  // "Save log"
        sleepMs(1200);
        in.key(XK_Return);
    });
    unsetenv("XDG_MUSIC_DIR");
    const auto& lines = editorObject().window()->memoLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("error"), std::string::npos) << lines.back();
    EXPECT_EQ(lines.back().find("Saved to"), std::string::npos);
}

TEST_F(X11EditorTest, NoticesFromAnyThreadReachTheLog) {
    ASSERT_EQ(openEditor(), 1);
    std::thread worker([] {
        for (int i = 0; i < 50; ++i) {
            platform::showNotice(("notice " + std::to_string(i)).c_str(), "Corvella",
                                 platform::NoticeKind::Warning);
        }
    });
    for (int i = 0; i < 20; ++i) call(effEditIdle);
    worker.join();
    pump(50);
    int seen = 0;
    for (const std::string& line : editorObject().window()->memoLines())
        if (line.rfind("Corvella warning: notice ", 0) == 0) ++seen;
    EXPECT_EQ(seen, 50);
    // Once the editor is closed, notices no longer go anywhere but standard error.
    call(effEditClose);
    platform::showNotice("after close", "Corvella", platform::NoticeKind::Information);
}

std::size_t threadCount() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& t : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

// Every resource every client holds on the server.
long serverResources(Display* d) {
    XResClient* clients = nullptr;
    int count = 0;
    if (!XResQueryClients(d, &count, &clients)) return -1;
    long total = 0;
    for (int i = 0; i < count; ++i) {
        XResType* types = nullptr;
        int typeCount = 0;
        if (XResQueryClientResources(d, clients[i].resource_base, &typeCount, &types)) {
            for (int t = 0; t < typeCount; ++t) total += types[t].count;
            XFree(types);
        }
    }
    XFree(clients);
    return total;
}

unsigned childWindows(Display* d, Window w) {
    Window root = 0, up = 0, *children = nullptr;
    unsigned count = 0;
    XQueryTree(d, w, &root, &up, &children, &count);
    if (children) XFree(children);
    return count;
}

TEST_F(X11EditorTest, OpeningAndClosingLeavesNothingBehind) {
    int base = 0, error = 0;
    if (!XResQueryExtension(display, &base, &error)) GTEST_SKIP() << "no X-Resource extension";
    // The first open connects the view to the server; that connection stays.
    ASSERT_EQ(openEditor(), 1);
    call(effEditClose);
    pump(50);
    const long resources = serverResources(display);
    const std::size_t threads = threadCount();
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(call(effEditOpen, 0, 0, reinterpret_cast<void*>(parent)), 1);
        call(effEditIdle);
        EXPECT_EQ(childWindows(display, parent), 1u);
        call(effEditClose);
        call(effEditIdle);
        ASSERT_EQ(childWindows(display, parent), 0u) << "after close " << i;
    }
    pump(50);
    EXPECT_EQ(serverResources(display), resources);
    EXPECT_EQ(threadCount(), threads);
}

TEST_F(X11EditorTest, AHostWindowDestroyedBeforeCloseLeavesTheHostRunning) {
    // Xlib's default handler ends the process on any error; the editor must raise none the
    // host sees.
    ASSERT_EQ(openEditor(), 1);
    XDestroyWindow(display, parent);
    XSync(display, False);
    pump(150);
    call(effEditClose);
    EXPECT_FALSE(editorObject().hasWindow());
    parent = XCreateSimpleWindow(display, DefaultRootWindow(display), 10, 10, 344, 305, 0, 0, 0);
    XMapWindow(display, parent);
    XSync(display, False);
    EXPECT_EQ(openEditor(), 1);
}

TEST_F(X11EditorTest, AHandleThatIsNoWindowOpensNothing) {
    EXPECT_EQ(call(effEditOpen, 0, 0, reinterpret_cast<void*>(std::uintptr_t{0x7fffff0})), 0);
    EXPECT_FALSE(editorObject().hasWindow());
}

// --- Scale ---------------------------------------------------------------------------------

// The screen's pixels under a window (its children included), as 0xRRGGBB row by row.
struct Capture {
    int width = 0, height = 0;
    std::vector<unsigned long> pixels;
    unsigned long at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
};

Capture capture(Display* d, Window w) {
    XWindowAttributes a{};
    Capture c;
    if (!XGetWindowAttributes(d, w, &a)) return c;
    XImage* image = XGetImage(d, w, 0, 0, static_cast<unsigned>(a.width),
                              static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
    if (!image) return c;
    c.width = a.width;
    c.height = a.height;
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) c.pixels.push_back(XGetPixel(image, x, y) & 0xFFFFFF);
    }
    XDestroyImage(image);
    return c;
}

// The X resource database on the root window, as xrdb leaves it; empty text removes it.
void setResources(Display* d, const std::string& text) {
    const Window root = DefaultRootWindow(d);
    if (text.empty()) {
        XDeleteProperty(d, root, XA_RESOURCE_MANAGER);
    } else {
        XChangeProperty(d, root, XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()));
    }
    XSync(d, False);
}

class X11EditorScaleTest : public X11EditorTest {
protected:
    void SetUp() override {
        X11EditorTest::SetUp();
        if (display) setResources(display, "");
    }
    void TearDown() override {
        if (display) setResources(display, "");
        X11EditorTest::TearDown();
    }

    // Opens the editor and makes the host's window the size the editor asks for, as a host
    // does; the editor's rectangle.
    std::pair<int, int> openSized() {
        if (openEditor() != 1) return {0, 0};
        ERect* rect = nullptr;
        call(effEditGetRect, 0, 0, &rect);
        if (!rect) return {0, 0};
        const int w = rect->right - rect->left, h = rect->bottom - rect->top;
        XResizeWindow(display, parent, static_cast<unsigned>(w), static_cast<unsigned>(h));
        XSync(display, False);
        pump(300);
        return {w, h};
    }

    // The size of the view's own window inside the host's.
    std::pair<int, int> viewSize() {
        Window root = 0, up = 0, *children = nullptr;
        unsigned count = 0;
        XQueryTree(display, parent, &root, &up, &children, &count);
        std::pair<int, int> size{0, 0};
        XWindowAttributes a{};
        if (count == 1 && XGetWindowAttributes(display, children[0], &a))
            size = {a.width, a.height};
        if (children) XFree(children);
        return size;
    }

    // The editor's size at a scale chosen by the option (`option`, 0 for automatic) and the
    // display's resources (`resources`).
    std::pair<int, int> sizeWith(std::uint32_t option, const std::string& resources) {
        settings.writeDword("Software\\Corvella", "EditorScale", option);
        setResources(display, resources);
        const auto size = openSized();
        EXPECT_EQ(viewSize(), size);
        call(effEditClose);
        pump(50);
        return size;
    }

    void setScale(std::uint32_t percent) {
        settings.writeDword("Software\\Corvella", "EditorScale", percent);
    }
};

TEST_F(X11EditorScaleTest, XftDpiPicksTheScaleUnlessTheOptionFixesIt) {
    using Size = std::pair<int, int>;
    EXPECT_EQ(sizeWith(0, ""), Size(344, 305));
    EXPECT_EQ(sizeWith(0, "Xft.antialias:\t1\nXft.dpi:\t192\n"), Size(688, 610));
    EXPECT_EQ(sizeWith(0, "Xft.dpi: 144\n"), Size(516, 458));
    EXPECT_EQ(sizeWith(0, "Xft.dpi: 120\n"), Size(430, 381));
    EXPECT_EQ(sizeWith(0, "Xft.dpi: big\n"), Size(344, 305));
    EXPECT_EQ(sizeWith(100, "Xft.dpi:\t192\n"), Size(344, 305));
    EXPECT_EQ(sizeWith(200, ""), Size(688, 610));
    EXPECT_EQ(sizeWith(150, "Xft.dpi:\t192\n"), Size(516, 458));
}

// 200 % is drawn at that size, not blown up from 100 %: text and frame lines stay one pixel
// thin, so many 2 x 2 blocks of the picture are not of one colour, while the layout is the
// same as the 100 % picture doubled. The controls answer to the mouse at their new places.
TEST_F(X11EditorScaleTest, TwoHundredPercentIsDrawnAtThatSizeAndAnswersTheMouse) {
    ASSERT_EQ(openSized(), std::make_pair(344, 305));
    const Capture small = capture(display, parent);
    call(effEditClose);
    pump(50);

    setScale(200);
    ASSERT_EQ(openSized(), std::make_pair(688, 610));
    const Capture big = capture(display, parent);
    ASSERT_EQ(big.width, 688);
    ASSERT_EQ(big.height, 610);
    ASSERT_EQ(small.width, 344);
    int blocks = 0, mixed = 0;
    for (int y = 0; y < big.height; y += 2) {
        for (int x = 0; x < big.width; x += 2) {
            const unsigned long c = big.at(x, y);
            ++blocks;
            mixed += big.at(x + 1, y) != c || big.at(x, y + 1) != c || big.at(x + 1, y + 1) != c;
        }
    }
    EXPECT_GT(mixed, blocks / 50) << "looks doubled pixel by pixel";
    long same = 0;
    for (int y = 0; y < big.height; ++y) {
        for (int x = 0; x < big.width; ++x) same += big.at(x, y) == small.at(x / 2, y / 2);
    }
    const double share = static_cast<double>(same) / (big.width * big.height);
    EXPECT_GT(share, 0.7) << "the layout is not the 100 % layout doubled";
    EXPECT_LT(share, 0.99) << "looks doubled pixel by pixel";

    // A tab and a check box at twice their places.
    ASSERT_FLOAT_EQ(plugin().getParameter(49), 1.0f);
    drive([](Input& in) {
        const auto [x, y] = placeOf(Id::CheckBox12, 6, 8);
        in.click(2 * x, 2 * y);
        in.click(2 * (7 * 344 / 10), 2 * (305 - 10));  // "Filter ->"
    });
    EXPECT_FLOAT_EQ(plugin().getParameter(49), 0.0f);
    EXPECT_EQ(editorObject().window()->activePage(), 3);
}

}  // namespace
