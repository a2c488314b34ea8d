#include "editor/plugineditor.h"

#include "plugin/editorfactory.h"
#include "plugin/plugin.h"

AEffEditor* createPluginEditor(APlugin& plugin) {
    return new APluginEditor(plugin);
}

APluginEditor::APluginEditor(APlugin& plugin) : AEffEditor(&plugin), plugin_(plugin) {}

APluginEditor::~APluginEditor() = default;

VstInt32 APluginEditor::getRect(ERect** rect) {
    rect_.top = 0;
    rect_.left = 0;
    if (windowOpen_) {
        rect_.bottom = kHeight;
        rect_.right = kWidth;
    }
    *rect = &rect_;
    return 1;
}

// No window system view exists on this build yet: the host is told that no window opened.
VstInt32 APluginEditor::open(void* parent) {
    parentWindow_ = parent;
    return 0;
}

void APluginEditor::close() {
    if (openCount_ > 0) --openCount_;
    if (openCount_ == 0) {
        windowOpen_ = false;
        parentWindow_ = nullptr;
    }
}

void APluginEditor::idle() {}

void APluginEditor::update() {}
