#include "plugin/editorfactory.h"

#include <atomic>

namespace {
std::atomic<PluginEditorFactory> installedFactory{nullptr};
}  // namespace

void installPluginEditorFactory(PluginEditorFactory factory) noexcept {
    installedFactory.store(factory);
}

AEffEditor* createPluginEditor(APlugin& plugin) {
    const PluginEditorFactory factory = installedFactory.load();
    return factory ? factory(plugin) : nullptr;
}
