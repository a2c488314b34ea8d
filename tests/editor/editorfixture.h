// A plug-in with a scripted host and MIDI devices, and an editor opened on a fake view.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "editor/editorwindow.h"
#include "editor/optionsdialog.h"
#include "platform/midi.h"
#include "platform/notice.h"
#include "platform/settings.h"
#include "plugin/editorfactory.h"
#include "plugin/plugin.h"
#include "plugin/plugineditor.h"
#include "support/fakevsthost.h"
#include "support/memorysettingsstore.h"
#include "support/recordingnoticesink.h"
#include "support/scriptedmidibackend.h"
#include "vst/entry.h"

namespace edtest {

// Records what the window told it and answers the dialogs as scripted.
class FakeView : public editor::EditorView {
public:
    void changed(editor::Id id, editor::Property what) override { changes[{id, what}]++; }
    bool chooseSaveFile(const std::string& proposed, std::string& path) override {
        proposedName = proposed;
        if (savePath.empty()) return false;
        path = savePath;
        return true;
    }
    void copyMemoSelection() override { ++copies; }
    void showOptions(editor::OptionsDialog& dialog) override {
        if (onOptions) onOptions(dialog);
    }
    editor::Rgb systemColour(editor::Colour) override { return editor::rgb(240, 240, 240); }
    int scalePercent() const override { return scale; }

    std::map<std::pair<editor::Id, editor::Property>, int> changes;
    std::string proposedName, savePath;
    int copies = 0;
    int scale = 100;
    std::function<void(editor::OptionsDialog&)> onOptions;
};

class EditorTest : public ::testing::Test {
protected:
    void SetUp() override {
        installPluginEditorFactory(&newPluginEditor);
        effect = pluginEntry(testsupport::FakeVstHost::callback);
        editorObject().setViewFactory([this](void*, editor::TPluginEditorWindow&) {
            auto v = std::make_unique<FakeView>();
            view = v.get();
            ++viewsMade;
            return v;
        });
    }
    void TearDown() override { call(effClose); }

    APlugin& plugin() { return *static_cast<APlugin*>(effect->object); }
    // The log's lines with their memory there (the log on, one processing call run), for a
    // test that appends lines as the processing thread does.
    LogLines& liveLog() {
        if (!plugin().logLines().hasRing()) {
            effect->setParameter(effect, param::Log, 1.0f);
            float* io[1] = {nullptr};
            effect->processReplacing(effect, io, io, 0);
        }
        return plugin().logLines();
    }
    APluginEditor& editorObject() { return *static_cast<APluginEditor*>(plugin().getEditor()); }
    editor::TPluginEditorWindow& window() { return *editorObject().window(); }
    VstIntPtr call(VstInt32 op, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr) {
        return effect->dispatcher(effect, op, index, value, ptr, 0.0f);
    }
    VstIntPtr open() { return call(effEditOpen, 0, 0, &parentToken); }
    const editor::ControlState& state(editor::Id id) { return window().state(id); }

    platform::MemorySettingsStore settings;
    platform::ScopedSettingsStore settingsScope{settings};
    platform::RecordingNoticeSink notices;
    platform::ScopedNoticeSink noticeScope{notices};
    platform::ScriptedMidiBackend devices{{"in A", "in B", "in C"}, {"out A", "out B", "out C"}};
    platform::ScopedMidiBackend devicesScope{devices};
    testsupport::FakeVstHost hostLog;
    AEffect* effect = nullptr;
    FakeView* view = nullptr;
    int viewsMade = 0;
    int parentToken = 0;
};

}  // namespace edtest
