// How a plug-in gets its editor without the plug-in layer depending on the editor: the module
// entry installs the VST 2 editor's factory (plugin/plugineditor.h, its own library) before it
// creates any plug-in, and the plug-in's construction asks this hook for its editor.
#pragma once

class AEffEditor;
class APlugin;

using PluginEditorFactory = AEffEditor* (*)(APlugin& plugin);

// Any thread; installed once before the first plug-in is made (the module entry, or a test that
// wants plug-ins with an editor). Null removes it.
void installPluginEditorFactory(PluginEditorFactory factory) noexcept;

// The installed factory's editor for `plugin`, or null (the plug-in then has no editor) when
// none is installed.
AEffEditor* createPluginEditor(APlugin& plugin);
