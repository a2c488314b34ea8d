// One open editor as a front end holds it: the window model and the window system's view of it
// inside the host's window, opened, served at the host's idle calls and closed the same way for
// every front end. The view is destroyed before the window it shows, so no timer tick or message
// of the view ever reaches a destroyed window. Every call comes from the host's user-interface
// thread.
#pragma once

#include <functional>
#include <memory>

#include "editor/editorwindow.h"
#include "engine/loglines.h"

namespace editor {

class EditorHost {
public:
    // Makes the view of `window` as a child of the host's `parent` window; null when none can
    // be made. The view runs the window's synchronisation pass every 100 ms on the
    // user-interface thread until it is destroyed.
    using ViewFactory =
        std::function<std::unique_ptr<EditorView>(void* parent, TPluginEditorWindow& window)>;

    // `plugin` outlives this object. The system's view by default.
    explicit EditorHost(PluginAccess& plugin);
    ~EditorHost();
    EditorHost(const EditorHost&) = delete;
    EditorHost& operator=(const EditorHost&) = delete;

    // Tests install their own view.
    void setViewFactory(ViewFactory factory) { viewFactory_ = std::move(factory); }

    // Makes the window and its view inside `parent` unless they exist, then shows them as a
    // newly opened editor: the first page, the log view from `lines`, the values and the lists.
    // False when no view can be made here (nothing is open then).
    bool open(void* parent, LogLines& lines);
    // Destroys the view, then the window.
    void close() noexcept;
    // The host's idle call: new lines of `lines` into the log view (`clearPending`: the log is
    // about to be cleared, so none is taken), then the view's own events and timer. Without a
    // window, the lines are only trimmed as the log view would trim them.
    void idle(LogLines& lines, bool clearPending);

    bool isOpen() const noexcept { return window_ != nullptr; }
    TPluginEditorWindow* window() noexcept { return window_.get(); }
    EditorView* view() noexcept { return view_.get(); }
    // The view's size in pixels, at the scale it draws (the form's size without a view).
    int width() const;
    int height() const;

private:
    PluginAccess& plugin_;
    ViewFactory viewFactory_;
    std::unique_ptr<TPluginEditorWindow> window_;
    std::unique_ptr<EditorView> view_;
};

}  // namespace editor

// The window system's view of `window` inside the host's `parent` window, or null where there is
// none (no view for this system, no display, a handle that names no window). User-interface
// thread.
std::unique_ptr<editor::EditorView> createSystemEditorView(void* parent,
                                                           editor::TPluginEditorWindow& window);
