#include "editor/plugineditor.h"

#include "editor/scale.h"
#include "plugin/plugin.h"

AEffEditor* newPluginEditor(APlugin& plugin) {
    return new APluginEditor(plugin);
}

APluginEditor::APluginEditor(APlugin& plugin)
    : AEffEditor(&plugin),
      plugin_(plugin),
      access_(plugin),
      viewFactory_(&createSystemEditorView) {}

APluginEditor::~APluginEditor() {
    if (window_) {
        plugin_.setEditorClosed(true);
        destroyWindow();
    }
}

void APluginEditor::destroyWindow() noexcept {
    view_.reset();
    window_.reset();
}

VstInt32 APluginEditor::getRect(ERect** rect) {
    rect_.top = 0;
    rect_.left = 0;
    if (window_) {
        const int percent = view_ ? view_->scalePercent() : 100;
        rect_.bottom = static_cast<std::int16_t>(editor::scaled(kHeight, percent));
        rect_.right = static_cast<std::int16_t>(editor::scaled(kWidth, percent));
    }
    *rect = &rect_;
    return 1;
}

VstInt32 APluginEditor::open(void* parent) {
    parentWindow_ = parent;
    systemWindow = parent;
    ++openCount_;
    if (openCount_ == 1 || !window_) {
        window_ = std::make_unique<editor::TPluginEditorWindow>(access_);
        if (viewFactory_) view_ = viewFactory_(parent, *window_);
        if (!view_) {
            // Nothing can be shown here: the host is told that no window opened.
            window_.reset();
            --openCount_;
            parentWindow_ = nullptr;
            systemWindow = nullptr;
            return 0;
        }
        window_->setView(view_.get());
    }
    window_->FormCreate();
    logOpenTransfer(plugin_.logLines(), *window_);
    plugin_.setEditorClosed(false);
    window_->UpdaterTimer();
    window_->syncAllLists();
    return 1;
}

void APluginEditor::close() {
    if (openCount_ > 0) --openCount_;
    if (openCount_ > 0) return;
    plugin_.setEditorClosed(true);
    destroyWindow();
    parentWindow_ = nullptr;
    systemWindow = nullptr;
}

void APluginEditor::idle() {
    if (view_) view_->idle();
    logIdleTransfer(plugin_.logLines(), window_.get(),
                    switchOn(param::ClearLog, plugin_.getParameter(param::ClearLog)));
}
