// The plug-in creates its editor object through this hook, which the editor layer defines, so
// that the plug-in layer does not depend on the editor.
#pragma once

class AEffEditor;
class APlugin;

AEffEditor* createPluginEditor(APlugin& plugin);
