// The VST 2 editor object the host opens and closes: the editor (editor/editorhost.h) inside the
// host's window, reaching the plug-in object through VstPluginAccess. The host may open it more
// than once before it closes it; the window lives until the last close. Without a view for this
// system, open answers 0. Every call comes from the host's user-interface thread.
#pragma once

#include "editor/editorhost.h"
#include "plugin/vstaccess.h"
#include "vst/audioeffect.h"

class APlugin;

class APluginEditor : public AEffEditor {
public:
    static constexpr std::int16_t kWidth = editor::kWindowWidth;
    static constexpr std::int16_t kHeight = editor::kWindowHeight;

    using ViewFactory = editor::EditorHost::ViewFactory;

    explicit APluginEditor(APlugin& plugin);
    ~APluginEditor() override;

    VstInt32 getRect(ERect** rect) override;
    VstInt32 open(void* parent) override;
    void close() override;
    void idle() override;

    // The system's view by default; tests install their own.
    void setViewFactory(ViewFactory factory) { host_.setViewFactory(std::move(factory)); }

    VstInt32 openCount() const noexcept { return openCount_; }
    bool hasWindow() const noexcept { return host_.isOpen(); }
    editor::TPluginEditorWindow* window() noexcept { return host_.window(); }
    editor::EditorView* view() noexcept { return host_.view(); }
    void* parentWindow() const noexcept { return parentWindow_; }

private:
    APlugin& plugin_;
    VstPluginAccess access_;
    ERect rect_{};
    VstInt32 openCount_ = 0;
    void* parentWindow_ = nullptr;
    // Declared after the access it uses, so it goes first.
    editor::EditorHost host_;
};

// The editor factory the module entry installs for every plug-in it makes.
AEffEditor* newPluginEditor(APlugin& plugin);
