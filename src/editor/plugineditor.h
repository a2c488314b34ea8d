// The editor object the host opens and closes. On open it creates the window model and a
// window-system view of it inside the host's window; on idle it moves new log lines into the
// log view; on close it destroys both. Without a view for this system, open answers 0.
#pragma once

#include <functional>
#include <memory>

#include "editor/editorwindow.h"
#include "vst/audioeffect.h"

class APlugin;

class APluginEditor : public AEffEditor {
public:
    static constexpr std::int16_t kWidth = editor::kWindowWidth;
    static constexpr std::int16_t kHeight = editor::kWindowHeight;

    // Makes the view of `window` as a child of the host's `parent` window; null when none can
    // be made. The view runs the window's synchronisation pass every 100 ms on its own thread
    // (the user-interface thread) until it is destroyed.
    using ViewFactory = std::function<std::unique_ptr<editor::EditorView>(
        void* parent, editor::TPluginEditorWindow& window)>;

    explicit APluginEditor(APlugin& plugin);
    ~APluginEditor() override;

    VstInt32 getRect(ERect** rect) override;
    VstInt32 open(void* parent) override;
    void close() override;
    void idle() override;

    // The system's view by default; tests install their own.
    void setViewFactory(ViewFactory factory) { viewFactory_ = std::move(factory); }

    VstInt32 openCount() const noexcept { return openCount_; }
    bool hasWindow() const noexcept { return window_ != nullptr; }
    editor::TPluginEditorWindow* window() noexcept { return window_.get(); }
    editor::EditorView* view() noexcept { return view_.get(); }
    void* parentWindow() const noexcept { return parentWindow_; }

private:
    void destroyWindow() noexcept;

    APlugin& plugin_;
    editor::VstPluginAccess access_;
    ERect rect_{};
    VstInt32 openCount_ = 0;
    // The view is destroyed before the window it shows, so no timer tick or message of the
    // view ever reaches a destroyed window.
    std::unique_ptr<editor::TPluginEditorWindow> window_;
    std::unique_ptr<editor::EditorView> view_;
    void* parentWindow_ = nullptr;
    ViewFactory viewFactory_;
};

// The editor factory the module entry installs for every plug-in it makes.
AEffEditor* newPluginEditor(APlugin& plugin);

// The window system's view, or null where there is none yet.
std::unique_ptr<editor::EditorView> createSystemEditorView(void* parent,
                                                           editor::TPluginEditorWindow& window);
