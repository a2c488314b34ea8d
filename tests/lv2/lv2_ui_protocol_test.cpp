// The LV2 plug-in and its editor's access, wired as a host wires them but without a window:
// the editor's port writes reach the control ports, its messages the plug-in's input; the
// plug-in's notify output comes back as port events; the worker runs between blocks and its
// answers reach the next run.
#include <gtest/gtest.h>
#include <lv2/atom/forge.h>
#include <lv2/time/time.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "editor/editorwindow.h"
#include "engine/logtext.h"
#include "lv2/lv2plugin.h"
#include "lv2/portmap.h"
#include "lv2/uiaccess.h"
#include "lv2/uiprotocol.h"
#include "lv2uihost.h"

namespace {

// The host, with the editor's access in place of a window.
struct Wired : lv2test::UiHost {
    lv2ui::Lv2UiAccess ui{&UiHost::write, static_cast<UiHost*>(this), &map, nullptr};
    Wired() {
        toUi = [this](std::uint32_t port, std::uint32_t size, std::uint32_t format,
                      const void* buffer) { ui.portEvent(port, size, format, buffer); };
    }
};

using lv2test::Bytes;
using lv2test::noteOn;

std::vector<std::string> allLines(LogLines& lines) {
    return lines.lines();
}

TEST(Lv2Editor, ParameterChangesWriteTheirPortsAndPortEventsReachTheValues) {
    Wired w;
    ASSERT_NE(w.plugin, nullptr);
    // A list travels as its entry number, a switch as 0 or 1, the filter type as its value;
    // out-of-range values are clamped as the plug-in clamps them.
    w.ui.setParameter(param::OutputDevice, 5.0f / 256.0f);
    w.ui.setParameter(param::FilterType, 0.3f);
    w.ui.setParameter(param::RecvBus, -1.0f / 256.0f);
    w.ui.setParameter(param::KnobValue1, 7.0f);
    const std::vector<std::pair<std::uint32_t, float>> expected = {{param::OutputDevice, 5.0f},
                                                                   {param::FilterType, 0.3f},
                                                                   {param::RecvBus, 0.0f},
                                                                   {param::KnobValue1, 1.0f}};
    EXPECT_EQ(w.portWrites, expected);
    EXPECT_EQ(w.ui.getParameter(param::OutputDevice), 5.0f / 256.0f);
    EXPECT_EQ(w.ui.getParameter(param::KnobValue1), 1.0f);

    // The host's port events set what the editor reads.
    const float entry = 9.0f, on = 1.0f;
    w.ui.portEvent(param::InputDevice, sizeof entry, 0, &entry);
    w.ui.portEvent(param::ReceiveFromHost, sizeof on, 0, &on);
    EXPECT_EQ(w.ui.getParameter(param::InputDevice), 9.0f / 256.0f);
    EXPECT_EQ(w.ui.getParameter(param::ReceiveFromHost), 1.0f);
    // A reading of the wrong size or for a port past the parameters is ignored.
    const double wide = 0.5;
    w.ui.portEvent(param::ReceiveFromHost, sizeof wide, 0, &wide);
    w.ui.portEvent(kNotifyPort, sizeof on, 0, &on);
    EXPECT_EQ(w.ui.getParameter(param::ReceiveFromHost), 1.0f);

    // The editor window's own handlers write through the same ports.
    editor::TPluginEditorWindow window(w.ui);
    window.FormCreate();
    window.UpdaterTimer();
    w.portWrites.clear();
    window.userCheck(editor::Id::CheckBox12, false);
    ASSERT_FALSE(w.portWrites.empty());
    EXPECT_EQ(w.portWrites.back(), std::make_pair(std::uint32_t{param::ReceiveFromHost}, 0.0f));
    // The filter type stands at "Block only" (set above); "Allow only" writes its value.
    EXPECT_TRUE(window.state(editor::Id::RadioButton9).checked);
    window.userRadio(editor::Id::RadioButton2);
    EXPECT_EQ(w.portWrites.back(), std::make_pair(std::uint32_t{param::FilterType}, 0.8f));
}

TEST(Lv2Editor, LogLinesArriveInOrderOnceEachAndBoundedPerRun) {
    Wired w;
    w.run();
    // Lines logged before the editor asks wait in the plug-in's list.
    for (int n = 0; n < 40; ++n) w.midi.push_back(noteOn(n));
    w.run();
    EXPECT_EQ(w.ui.lines().size(), 0u);
    w.ui.requestState();
    for (int n = 40; n < 100; ++n) w.midi.push_back(noteOn(n));
    w.run();
    EXPECT_EQ(w.ui.lines().size(), 32u);  // a bounded number per run
    w.runs(3);
    std::vector<std::string> expected;
    for (int n = 0; n < 100; ++n) expected.push_back(logLine(noteOn(n)));
    EXPECT_EQ(allLines(w.ui.lines()), expected);

    // A line delivered twice is taken once; a second request does not send lines again.
    ASSERT_FALSE(w.delivered.empty());
    const Bytes again = w.delivered.back();
    w.ui.portEvent(kNotifyPort, static_cast<std::uint32_t>(again.size()),
                   w.id(LV2_ATOM__eventTransfer), again.data());
    w.ui.requestState();
    w.runs(2);
    EXPECT_EQ(w.ui.lines().size(), 100u);

    // An editor that opens later starts with the newest 200 lines the plug-in holds.
    Wired later;
    for (int n = 0; n < 250; ++n) later.midi.push_back(noteOn(n % 128));
    later.run();
    later.ui.requestState();
    later.runs(8);
    const std::vector<std::string> got = later.ui.lines().lines();
    ASSERT_EQ(got.size(), 200u);
    EXPECT_EQ(got.front(), logLine(noteOn(50)));
    EXPECT_EQ(got.back(), logLine(noteOn(249 % 128)));

    // The window takes them as the VST 2 editor takes the plug-in's.
    editor::TPluginEditorWindow window(w.ui);
    logIdleTransfer(w.ui.lines(), &window, false);
    ASSERT_FALSE(window.memoLines().empty());
    EXPECT_EQ(window.memoLines().back(), expected.back());
}

TEST(Lv2Editor, NotifyOutputHoldsOnlyWholeMessages) {
    Wired w;
    w.notifyBytes = 900;  // room for two lines at most
    w.ui.requestState();
    for (int n = 0; n < 50; ++n) w.midi.push_back(noteOn(n));
    for (int i = 0; i < 60 && w.ui.lines().size() < 50; ++i) {
        const std::size_t before = w.delivered.size();
        w.run();
        // Every event the run wrote is a whole object the editor can read.
        for (std::size_t e = before; e < w.delivered.size(); ++e) {
            const auto* atom = reinterpret_cast<const LV2_Atom*>(w.delivered[e].data());
            EXPECT_EQ(atom->type, w.id(LV2_ATOM__Object));
        }
    }
    std::vector<std::string> expected;
    for (int n = 0; n < 50; ++n) expected.push_back(logLine(noteOn(n)));
    EXPECT_EQ(allLines(w.ui.lines()), expected);

    // A port with no room for even the sequence's header is left an empty sequence.
    w.notifyBytes = 8;
    w.midi.push_back(noteOn(60));
    EXPECT_EQ(w.run(), 0);
}

TEST(Lv2Editor, SaveLogRunsOnTheWorkerAndIsReportedBack) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("corvella-lv2-ui-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "log.mid").string();
    Wired w;
    w.ui.requestState();
    for (int n = 0; n < 3; ++n) w.midi.push_back(noteOn(60 + n));
    w.runs(2);
    EXPECT_FALSE(w.ui.saveLog(path));  // saved later, on the plug-in's worker
    w.runs(3);
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_GT(std::filesystem::file_size(path), 14u);
    EXPECT_EQ(w.ui.takeMessages(), std::vector<std::string>{"Saved to: " + path});
    EXPECT_EQ(w.savedState()[w.id(lv2ui::kLogFile)], path);

    // A file that cannot be written is a notice in the editor's log, not a "Saved to".
    const std::string bad = (dir / "no" / "such" / "folder.mid").string();
    w.ui.saveLog(bad);
    w.runs(3);
    const std::vector<std::string> messages = w.ui.takeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("Corvella error: Cannot save the log to " + bad, 0), 0u)
        << messages[0];
    std::filesystem::remove_all(dir);
}

TEST(Lv2Editor, GenericHostUiSetsTheNamesAsParameters) {
    Wired w;
    // The names as a generic host UI sets them: the file as a path, the track as a string.
    w.toPlugin.push_back(w.patchSet(lv2ui::kLogFile, LV2_ATOM__Path, "/tmp/take.mid"));
    w.toPlugin.push_back(w.patchSet(lv2ui::kTrackName, LV2_ATOM__String, "Bass"));
    // Unknown properties and values of another type are ignored.
    w.toPlugin.push_back(w.patchSet("urn:other#name", LV2_ATOM__String, "x"));
    w.toPlugin.push_back(w.patchSet(lv2ui::kTrackName, LV2_ATOM__URI, "urn:x"));
    w.runs(2);
    auto state = w.savedState();
    EXPECT_EQ(state[w.id(lv2ui::kLogFile)], "/tmp/take.mid");
    EXPECT_EQ(state[w.id(lv2ui::kTrackName)], "Bass");
    // Each change is reported on the notify output, where the editor (and the host) read it.
    EXPECT_EQ(w.ui.logFileName(), "/tmp/take.mid");
    EXPECT_EQ(w.ui.trackName(), "Bass");

    // The editor's own change of the track name reaches the state the same way.
    w.ui.setTrackName("Lead");
    w.runs(2);
    EXPECT_EQ(w.savedState()[w.id(lv2ui::kTrackName)], "Lead");

    // patch:Get answers with the names and the sample rate.
    Wired other;
    EXPECT_EQ(other.ui.sampleRate(), 0.0);
    other.ui.requestState();
    other.runs(3);
    EXPECT_EQ(other.ui.sampleRate(), 48000.0);
    EXPECT_EQ(other.ui.trackName(), "Corvella");
    EXPECT_EQ(other.ui.logFileName(), "");

    // A restored state is reported without being asked.
    const std::string restored = "/tmp/restored.mid";
    other.plugin->restore(
        [](LV2_State_Handle h, std::uint32_t key, std::size_t* size, std::uint32_t* type,
           std::uint32_t* flags) -> const void* {
            auto& wired = *static_cast<Wired*>(h);
            if (key != wired.id(lv2ui::kLogFile)) return nullptr;
            static const std::string path = "/tmp/restored.mid";
            *size = path.size() + 1;
            *type = wired.id(LV2_ATOM__String);
            *flags = 0;
            return path.c_str();
        },
        &other);
    other.runs(3);
    EXPECT_EQ(other.ui.logFileName(), restored);
}

TEST(Lv2Editor, ClearLogEmptiesBothSides) {
    Wired w;
    w.ui.requestState();
    for (int n = 0; n < 5; ++n) w.midi.push_back(noteOn(n));
    w.runs(2);
    ASSERT_EQ(w.ui.lines().size(), 5u);
    w.ui.clearLog();
    EXPECT_EQ(w.ui.lines().size(), 0u);
    w.runs(2);
    EXPECT_EQ(w.ui.lines().size(), 0u);
    w.midi.push_back(noteOn(70));
    w.runs(2);
    EXPECT_EQ(allLines(w.ui.lines()), std::vector<std::string>{logLine(noteOn(70))});
}

TEST(Lv2Editor, TempoAndTimeSignatureReachTheEditor) {
    Wired w;
    w.ui.requestState();
    w.run();
    // A host position with a tempo and a time signature, then a message to log.
    Bytes position(256);
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, &w.map);
    lv2_atom_forge_set_buffer(&forge, position.data(), position.size());
    LV2_Atom_Forge_Frame frame;
    auto* atom = reinterpret_cast<LV2_Atom*>(lv2_atom_forge_deref(
        &forge, lv2_atom_forge_object(&forge, &frame, 0, w.id(LV2_TIME__Position))));
    lv2_atom_forge_key(&forge, w.id(LV2_TIME__beatsPerMinute));
    lv2_atom_forge_float(&forge, 100.0f);
    lv2_atom_forge_key(&forge, w.id(LV2_TIME__beatsPerBar));
    lv2_atom_forge_float(&forge, 3.0f);
    lv2_atom_forge_key(&forge, w.id(LV2_TIME__beatUnit));
    lv2_atom_forge_int(&forge, 4);
    lv2_atom_forge_pop(&forge, &frame);
    position.resize(lv2_atom_total_size(atom));
    w.toPlugin.push_back(position);
    w.midi.push_back(noteOn(60));
    w.runs(3);
    int numerator = 0, denominator = 0;
    double bpm = 0.0;
    ASSERT_TRUE(w.ui.takeTempo(bpm));
    EXPECT_EQ(bpm, 100.0);
    ASSERT_TRUE(w.ui.takeTimeSignature(numerator, denominator));
    EXPECT_EQ(numerator, 3);
    EXPECT_EQ(denominator, 4);
    // Each report is taken once.
    EXPECT_FALSE(w.ui.takeTempo(bpm));
    EXPECT_FALSE(w.ui.takeTimeSignature(numerator, denominator));
}

}  // namespace
