#include "plugin/plugineditor.h"

#include "plugin/plugin.h"

AEffEditor* newPluginEditor(APlugin& plugin) {
    return new APluginEditor(plugin);
}

APluginEditor::APluginEditor(APlugin& plugin)
    : AEffEditor(&plugin), plugin_(plugin), access_(plugin), host_(access_) {}

APluginEditor::~APluginEditor() {
    if (host_.isOpen()) {
        plugin_.setEditorClosed(true);
        host_.close();
    }
}

VstInt32 APluginEditor::getRect(ERect** rect) {
    rect_.top = 0;
    rect_.left = 0;
    if (host_.isOpen()) {
        rect_.bottom = static_cast<std::int16_t>(host_.height());
        rect_.right = static_cast<std::int16_t>(host_.width());
    }
    *rect = &rect_;
    return 1;
}

VstInt32 APluginEditor::open(void* parent) {
    if (!host_.open(parent, plugin_.logLines())) {
        // Nothing can be shown here: the host is told that no window opened.
        return 0;
    }
    parentWindow_ = parent;
    systemWindow = parent;
    ++openCount_;
    plugin_.setEditorClosed(false);
    return 1;
}

void APluginEditor::close() {
    if (openCount_ > 0) --openCount_;
    if (openCount_ > 0) return;
    plugin_.setEditorClosed(true);
    host_.close();
    parentWindow_ = nullptr;
    systemWindow = nullptr;
}

void APluginEditor::idle() {
    host_.idle(plugin_.logLines(),
               switchOn(param::ClearLog, plugin_.getParameter(param::ClearLog)));
}
