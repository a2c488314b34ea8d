// No window system view exists on this system yet.
#include "editor/editorhost.h"

std::unique_ptr<editor::EditorView> createSystemEditorView(void*, editor::TPluginEditorWindow&) {
    return nullptr;
}
