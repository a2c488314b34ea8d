// The LV2 editor module as a host loads it, on a virtual X display: the module from the bundle
// opens inside the host's window, the user's clicks write the control ports, the host's port
// events move the controls, log lines sent as messages light the view, and "Save log" from the
// menu reaches the plug-in's worker, which writes the file. Pictures of the editor go to the
// folder CORVELLA_SCREENSHOTS names. Run under Xvfb (see tests/editor/x11_gui_test.sh).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "editor/form.h"
#include "lv2/uiprotocol.h"
#include "lv2uihost.h"
#include "xtestinput.h"

// After everything else: Xlib's macros collide with names above.
#include <X11/Xutil.h>

namespace {

using editor::Id;

using xtest::Input;
using xtest::placeOf;
using xtest::sleepMs;

class Lv2EditorX11 : public ::testing::Test {
protected:
    void SetUp() override {
        display = XOpenDisplay(nullptr);
        if (!display) GTEST_SKIP() << "no X display (run under Xvfb)";
        const char* bundleDir = std::getenv("CORVELLA_LV2_BUNDLE");
        ASSERT_NE(bundleDir, nullptr);
        bundle = std::string(bundleDir) + "/";
        // Loaded once and kept, as a host keeps it while the process runs: the leak checker
        // then sees what the toolkit keeps for the life of the process as still in use.
        static void* const loaded =
            dlopen((bundle + "corvella_ui.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        module = loaded;
        ASSERT_NE(module, nullptr) << dlerror();
        using Entry = const LV2UI_Descriptor* (*)(std::uint32_t);
        auto entry = reinterpret_cast<Entry>(dlsym(module, "lv2ui_descriptor"));
        ASSERT_NE(entry, nullptr);
        descriptor = entry(0);
        ASSERT_NE(descriptor, nullptr);
        EXPECT_STREQ(descriptor->URI, lv2ui::kUiUri);
        EXPECT_EQ(entry(1), nullptr);
        parent =
            XCreateSimpleWindow(display, DefaultRootWindow(display), 10, 10, 344, 305, 0, 0, 0);
        XMapWindow(display, parent);
        XSync(display, False);
    }
    void TearDown() override {
        if (handle) descriptor->cleanup(handle);
        if (!display) return;
        XDestroyWindow(display, parent);
        XCloseDisplay(display);
    }

    bool open() {
        parentFeature.data = reinterpret_cast<void*>(parent);
        const LV2_Feature* features[] = {&host.mapFeature, &parentFeature, &idleFeature,
                                         &touchFeature,    &resizeFeature, nullptr};
        handle = descriptor->instantiate(descriptor, kLv2Uri, bundle.c_str(),
                                         &lv2test::UiHost::write, &host, &widget, features);
        if (!handle) return false;
        idle = static_cast<const LV2UI_Idle_Interface*>(
            descriptor->extension_data(LV2_UI__idleInterface));
        host.toUi = [this](std::uint32_t port, std::uint32_t size, std::uint32_t format,
                           const void* buffer) {
            descriptor->port_event(handle, port, size, format, buffer);
        };
        pump(300);
        return true;
    }

    // The host's cycle, about every 10 ms: a block of the plug-in, then the editor's idle call.
    void step() {
        host.run();
        if (idle) idle->idle(handle);
        sleepMs(10);
    }
    void pump(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) step();
    }
    template <class Steps>
    void drive(Steps steps, int settleMs = 200) {
        xtest::driveWhileServing(parent, steps, [this] { step(); });
        pump(settleMs);
    }

    // The host's window as the screen shows it, as a PPM picture in the screenshot folder.
    void screenshot(const std::string& name) {
        const char* dir = std::getenv("CORVELLA_SCREENSHOTS");
        if (!dir) return;
        std::filesystem::create_directories(dir);
        XImage* image = XGetImage(display, parent, 0, 0, 344, 305, AllPlanes, ZPixmap);
        ASSERT_NE(image, nullptr);
        std::ofstream out(std::string(dir) + "/" + name + ".ppm", std::ios::binary);
        out << "P6\n344 305\n255\n";
        for (int y = 0; y < 305; ++y) {
            for (int x = 0; x < 344; ++x) {
                const unsigned long p = XGetPixel(image, x, y);
                const char rgb[3] = {static_cast<char>(p >> 16), static_cast<char>(p >> 8),
                                     static_cast<char>(p)};
                out.write(rgb, 3);
            }
        }
        XDestroyImage(image);
    }

    // Pixels of the log view darker than its background: its text.
    int memoInk() {
        const editor::Control& memo = editor::control(Id::Memo1);
        const auto [x, y] = placeOf(Id::Memo1, 2, 2);
        XImage* image = XGetImage(display, parent, x, y, static_cast<unsigned>(memo.width - 20),
                                  static_cast<unsigned>(memo.height - 4), AllPlanes, ZPixmap);
        if (!image) return -1;
        int ink = 0;
        for (int py = 0; py < image->height; ++py)
            for (int px = 0; px < image->width; ++px)
                if ((XGetPixel(image, px, py) & 0xFF) < 0x80) ++ink;
        XDestroyImage(image);
        return ink;
    }

    lv2test::UiHost host;
    std::vector<std::pair<std::uint32_t, bool>> touches;
    LV2UI_Touch touch{this, [](LV2UI_Feature_Handle h, std::uint32_t port, bool grabbed) {
                          static_cast<Lv2EditorX11*>(h)->touches.emplace_back(port, grabbed);
                      }};
    int resizedWidth = 0, resizedHeight = 0;
    LV2UI_Resize resize{this, [](LV2UI_Feature_Handle h, int w, int hgt) {
                            static_cast<Lv2EditorX11*>(h)->resizedWidth = w;
                            static_cast<Lv2EditorX11*>(h)->resizedHeight = hgt;
                            return 0;
                        }};
    LV2_Feature parentFeature{LV2_UI__parent, nullptr};
    LV2_Feature idleFeature{LV2_UI__idleInterface, nullptr};
    LV2_Feature touchFeature{LV2_UI__touch, &touch};
    LV2_Feature resizeFeature{LV2_UI__resize, &resize};
    Display* display = nullptr;
    Window parent = 0;
    std::string bundle;
    void* module = nullptr;
    const LV2UI_Descriptor* descriptor = nullptr;
    LV2UI_Handle handle = nullptr;
    LV2UI_Widget widget = nullptr;
    const LV2UI_Idle_Interface* idle = nullptr;
};

TEST_F(Lv2EditorX11, OpensInsideTheHostWindowAndShowsTheLog) {
    ASSERT_TRUE(open());
    ASSERT_NE(idle, nullptr);
    EXPECT_EQ(resizedWidth, 344);
    EXPECT_EQ(resizedHeight, 305);
    // The widget is the editor's own window, a mapped child of the host's.
    const auto child = static_cast<Window>(reinterpret_cast<std::uintptr_t>(widget));
    ASSERT_NE(child, 0u);
    Window root = 0, parentOfChild = 0, *children = nullptr;
    unsigned count = 0;
    ASSERT_TRUE(XQueryTree(display, child, &root, &parentOfChild, &children, &count));
    if (children) XFree(children);
    EXPECT_EQ(parentOfChild, parent);
    XWindowAttributes attributes{};
    ASSERT_TRUE(XGetWindowAttributes(display, child, &attributes));
    EXPECT_EQ(attributes.map_state, IsViewable);
    EXPECT_EQ(attributes.width, 344);

    // Messages through the plug-in: their log lines come to the editor as messages.
    const int before = memoInk();
    for (int n = 0; n < 12; ++n) host.midi.push_back(lv2test::noteOn(48 + n));
    pump(400);
    EXPECT_GT(memoInk(), before + 200);
    screenshot("lv2-editor-log");
}

TEST_F(Lv2EditorX11, ClicksWritePortsAndPortEventsMoveTheControls) {
    ASSERT_TRUE(open());
    // "Receive midi from host" starts checked; a click writes its port off.
    ASSERT_EQ(host.controls[param::ReceiveFromHost], 1.0f);
    drive([](Input& in) { in.clickControl(Id::CheckBox12, 1, 6, 8); });
    ASSERT_FALSE(host.portWrites.empty());
    EXPECT_EQ(host.portWrites.back(), std::make_pair(std::uint32_t{param::ReceiveFromHost}, 0.0f));
    // The host turns it on again: the box follows, so the next click turns it off once more.
    host.setControl(param::ReceiveFromHost, 1.0f);
    pump(250);
    host.portWrites.clear();
    drive([](Input& in) { in.clickControl(Id::CheckBox12, 1, 6, 8); });
    ASSERT_FALSE(host.portWrites.empty());
    EXPECT_EQ(host.portWrites.back(), std::make_pair(std::uint32_t{param::ReceiveFromHost}, 0.0f));

    // A slider's drag is one gesture for the host: grabbed, values, released.
    host.portWrites.clear();
    drive([](Input& in) {
        in.tab(1);
        const auto [sx, sy] = placeOf(Id::TrackBar2, 8, 9);
        in.moveTo(sx, sy);
        in.button(1, true);
        for (int x = sx; x <= sx + 150; x += 15) in.moveTo(x, sy);
        in.button(1, false);
    });
    ASSERT_GE(touches.size(), 2u);
    EXPECT_EQ(touches.front(), std::make_pair(std::uint32_t{param::KnobValue1}, true));
    EXPECT_EQ(touches.back(), std::make_pair(std::uint32_t{param::KnobValue1}, false));
    ASSERT_FALSE(host.portWrites.empty());
    EXPECT_EQ(host.portWrites.back().first, std::uint32_t{param::KnobValue1});
    EXPECT_GT(host.controls[param::KnobValue1], 0.2f);
    screenshot("lv2-editor-controls");
}

TEST_F(Lv2EditorX11, SaveLogFromTheMenuReachesThePluginsWorker) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("corvella-lv2-x11-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    setenv("XDG_MUSIC_DIR", dir.c_str(), 1);
    ASSERT_TRUE(open());
    for (int n = 0; n < 3; ++n) host.midi.push_back(lv2test::noteOn(60 + n));
    pump(100);
    drive([](Input& in) {
        in.clickControl(Id::Memo1, 3, 100, 60);
        in.menuItem(4);  // "Save log"
        sleepMs(1200);   // the panel opens with the proposed name in the music folder
        in.key(XK_Return);
    });
    unsetenv("XDG_MUSIC_DIR");
    std::vector<std::filesystem::path> saved;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) saved.push_back(entry);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].extension(), ".mid");
    EXPECT_GT(std::filesystem::file_size(saved[0]), 14u);
    // The plug-in keeps the file as its log file, in its state.
    EXPECT_EQ(host.savedState()[host.id(lv2ui::kLogFile)], saved[0].string());
    screenshot("lv2-editor-saved");
    std::filesystem::remove_all(dir);
}

}  // namespace
