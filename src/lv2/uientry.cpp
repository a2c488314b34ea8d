// The LV2 editor module (corvella_ui.so): the editor window and its X11 view inside the host's
// window (editor::EditorHost, as the VST 2 editor opens it), reaching the plug-in only through
// the host (Lv2UiAccess). The host's idle calls serve the view's events and timer and move new
// log lines into the window.
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>

#include "editor/editorhost.h"
#include "lv2/uiaccess.h"
#include "lv2/uiprotocol.h"

namespace {

const void* feature(const LV2_Feature* const* features, const char* uri) noexcept {
    for (; features && *features; ++features)
        if (std::strcmp((*features)->URI, uri) == 0) return (*features)->data;
    return nullptr;
}

// One editor: the window and its view are destroyed before the access they use.
struct EditorUi {
    EditorUi(LV2UI_Write_Function write, LV2UI_Controller controller, LV2_URID_Map* map,
             const LV2UI_Touch* touch)
        : access(write, controller, map, touch), host(access) {}
    lv2ui::Lv2UiAccess access;
    editor::EditorHost host;

    // The host's idle call (user-interface thread). The plug-in's reports go into the window
    // before its new lines, so the view's pass draws them in the same call.
    void idle() {
        for (const std::string& line : access.takeMessages()) host.window()->appendLine(line);
        host.idle(access.lines(), false);
    }
};

EditorUi* self(LV2UI_Handle h) noexcept {
    return static_cast<EditorUi*>(h);
}

LV2UI_Handle instantiate(const LV2UI_Descriptor*, const char*, const char*,
                         LV2UI_Write_Function write, LV2UI_Controller controller,
                         LV2UI_Widget* widget, const LV2_Feature* const* features) {
    auto* map = static_cast<LV2_URID_Map*>(const_cast<void*>(feature(features, LV2_URID__map)));
    void* parent = const_cast<void*>(feature(features, LV2_UI__parent));
    const auto* resize = static_cast<const LV2UI_Resize*>(feature(features, LV2_UI__resize));
    const auto* touch = static_cast<const LV2UI_Touch*>(feature(features, LV2_UI__touch));
    if (!map || !parent || !write) return nullptr;
    try {
        auto ui = std::make_unique<EditorUi>(write, controller, map, touch);
        if (!ui->host.open(parent, ui->access.lines())) return nullptr;
        ui->access.requestState();
        if (widget)
            *widget = reinterpret_cast<LV2UI_Widget>(
                static_cast<std::uintptr_t>(ui->host.view()->nativeWindow()));
        // The view draws at the user's scale (the option, else the screen's Xft.dpi).
        if (resize) resize->ui_resize(resize->handle, ui->host.width(), ui->host.height());
        return ui.release();
    } catch (const std::exception&) {
        return nullptr;
    }
}

void cleanup(LV2UI_Handle h) {
    delete self(h);
}

void portEvent(LV2UI_Handle h, std::uint32_t port, std::uint32_t size, std::uint32_t format,
               const void* buffer) {
    self(h)->access.portEvent(port, size, format, buffer);
}

int idle(LV2UI_Handle h) {
    try {
        self(h)->idle();
    } catch (const std::exception&) {
        // A line that found no memory is dropped; the editor stays open.
    }
    return 0;
}

const void* extensionData(const char* uri) {
    static const LV2UI_Idle_Interface idleInterface{idle};
    if (std::strcmp(uri, LV2_UI__idleInterface) == 0) return &idleInterface;
    return nullptr;
}

const LV2UI_Descriptor descriptor{lv2ui::kUiUri, instantiate, cleanup, portEvent, extensionData};

}  // namespace

LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(std::uint32_t index) {
    return index == 0 ? &descriptor : nullptr;
}
