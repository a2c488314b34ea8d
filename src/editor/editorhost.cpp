#include "editor/editorhost.h"

#include "editor/scale.h"

namespace editor {

EditorHost::EditorHost(PluginAccess& plugin)
    : plugin_(plugin), viewFactory_(&createSystemEditorView) {}

EditorHost::~EditorHost() {
    close();
}

bool EditorHost::open(void* parent, LogLines& lines) {
    if (!window_) {
        window_ = std::make_unique<TPluginEditorWindow>(plugin_);
        if (viewFactory_) view_ = viewFactory_(parent, *window_);
        if (!view_) {
            window_.reset();
            return false;
        }
        window_->setView(view_.get());
    }
    window_->FormCreate();
    window_->logOpen(lines);
    window_->UpdaterTimer();
    window_->syncAllLists();
    return true;
}

void EditorHost::close() noexcept {
    view_.reset();
    window_.reset();
}

void EditorHost::idle(LogLines& lines, bool clearPending) {
    if (!window_) {
        if (!clearPending) LogFeed::trimList(lines);
        return;
    }
    window_->logIdle(lines, clearPending);
    if (view_) view_->idle();
}

int EditorHost::width() const {
    return scaled(kWindowWidth, view_ ? view_->scalePercent() : 100);
}

int EditorHost::height() const {
    return scaled(kWindowHeight, view_ ? view_->scalePercent() : 100);
}

}  // namespace editor
