// The editor window model driven through a fake view: bindings, lists, the synchronisation
// pass, the log view and the menu commands.
#include <cmath>
#include <map>
#include <set>
#include <vector>

#include "editorfixture.h"
#include "support/memorysettingsstore.h"

using namespace editor;
using edtest::EditorTest;
using enum Id;

namespace {

std::set<Id> controlsWithParameter(int param) {
    std::set<Id> out;
    for (std::size_t i = 0; i < kControlCount; ++i) {
        const Id id = static_cast<Id>(i);
        const Kind k = control(id).kind;
        const bool drives =
            k == Kind::DropDown || k == Kind::CheckBox || k == Kind::Slider || k == Kind::Radio;
        if (drives && parameterOf(id) == param) out.insert(id);
    }
    return out;
}

}  // namespace

TEST(EditorForm, EveryEditedParameterHasExactlyOneControl) {
    const std::set<int> untouched = {3, 4, 5, 6, 45, 46, 47, 48};
    for (int p = 0; p < kNumParams; ++p) {
        const auto ids = controlsWithParameter(p);
        if (untouched.count(p)) {
            EXPECT_TRUE(ids.empty()) << p;
        } else if (p == 10) {
            EXPECT_EQ(ids, (std::set<Id>{RadioButton1, RadioButton2, RadioButton9, RadioButton12}));
        } else {
            EXPECT_EQ(ids.size(), 1u) << p;
        }
    }
    EXPECT_EQ(control(ComboBox1).tag, -1);
    EXPECT_EQ(controlsWithParameter(0), std::set<Id>{ComboBox1});
    // The table is in the order of the ids, and every name is distinct.
    std::set<std::string> names;
    for (const Control& c : editorForm()) names.insert(c.name);
    EXPECT_EQ(names.size(), kControlCount);
    EXPECT_STREQ(control(ComboBox107).name, "ComboBox107");
    EXPECT_STREQ(control(JvTransLED1).name, "JvTransLED1");
    EXPECT_EQ(pageOf(TrackBar1), TabSheet4);
    EXPECT_EQ(pageOf(Edit1), Window);
}

TEST(EditorForm, ListContentsAreExact) {
    const auto knob = formEntries(Entries::KnobMessages);
    ASSERT_EQ(knob.size(), 131u);
    EXPECT_EQ(knob[0], "0 Bank Select");
    EXPECT_EQ(knob[71], "71 Sound Controller 2 (default: Timbre/Harmonic Intens.)");
    EXPECT_EQ(knob[79], "79 Sound Controller 10 (default undefined)");
    EXPECT_EQ(knob[92], "92 Effects 2 Depth");
    EXPECT_EQ(knob[127], "127 Poly Mode On (+ mono off +all notes off)");
    EXPECT_EQ(knob[128], "Program Change");
    EXPECT_EQ(knob[130], "Pitchwheel");

    const auto cc = formEntries(Entries::ControllersAny);
    ASSERT_EQ(cc.size(), 129u);
    EXPECT_EQ(cc[44], "44 LSB for Control 12 (Effect control 1)");
    EXPECT_EQ(cc[128], "ANY");

    const auto& status = statusEntries();
    ASSERT_EQ(status.size(), 23u);
    EXPECT_EQ(status[3], "176-191 Control Change Message");
    EXPECT_EQ(status[7], "240 System Exclusive ");
    EXPECT_EQ(status[21], "254 Active Sensing ");
    EXPECT_EQ(status[22], "255 System Reset");

    const auto bytes = dataByteEntries();
    ASSERT_EQ(bytes.size(), 128u);
    EXPECT_EQ(bytes[0], "0 [00]");
    EXPECT_EQ(bytes[10], "10 [0A]");
    EXPECT_EQ(bytes[127], "127 [7F]");
    EXPECT_EQ(formEntries(Entries::ChannelsNoChange).back(), "NO CHANGE");
    EXPECT_EQ(formEntries(Entries::StatusAny).size(), 24u);
}

TEST(EditorForm, FloatText) {
    EXPECT_EQ(floatText(743.01587f), "743.02");
    EXPECT_EQ(floatText(0.005f), "0.0050");
    EXPECT_EQ(floatText(0.00005f), "0.000050");
    EXPECT_EQ(floatText(0.000001f), "0");
    EXPECT_EQ(floatText(-3.0f), "0");
    EXPECT_EQ(floatText(123456.78f), "123456.80");  // 7 significant digits
    EXPECT_EQ(floatText(4.354f, ','), "4,35");
}

TEST_F(EditorTest, RectBeforeAndAfterOpenAndOpenCount) {
    ERect* r = nullptr;
    call(effEditGetRect, 0, 0, &r);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->bottom, 0);
    EXPECT_EQ(r->right, 0);
    EXPECT_EQ(open(), 1);
    EXPECT_EQ(open(), 1);
    EXPECT_EQ(viewsMade, 1);
    EXPECT_FALSE(plugin().editorClosed());
    call(effEditGetRect, 0, 0, &r);
    EXPECT_EQ(r->top, 0);
    EXPECT_EQ(r->left, 0);
    EXPECT_EQ(r->bottom, 305);
    EXPECT_EQ(r->right, 344);
    call(effEditClose);
    EXPECT_TRUE(editorObject().hasWindow());
    call(effEditClose);
    EXPECT_FALSE(editorObject().hasWindow());
    EXPECT_TRUE(plugin().editorClosed());
    call(effEditClose);
    EXPECT_EQ(editorObject().openCount(), 0);
    call(effEditGetRect, 0, 0, &r);
    EXPECT_EQ(r->bottom, 305);  // the last size stays
}

TEST_F(EditorTest, WithoutAViewOpenAnswersZeroAndIdleStillTrims) {
    editorObject().setViewFactory(&createSystemEditorView);
#if defined(_WIN32)
    GTEST_SKIP() << "this system has a view";
#endif
    EXPECT_EQ(open(), 0);
    EXPECT_FALSE(editorObject().hasWindow());
    EXPECT_EQ(editorObject().openCount(), 0);
    for (int i = 0; i < 250; ++i) liveLog().append("line");
    call(effEditIdle);
    EXPECT_EQ(plugin().logLines().size(), 199u);
}

TEST_F(EditorTest, OpenShowsTheLogAndIdleMovesNewLines) {
    for (int i = 0; i < 301; ++i) liveLog().append("old");
    open();
    EXPECT_EQ(window().lineCount(), 0u);
    EXPECT_EQ(plugin().logLines().size(), 0u);
    for (int i = 0; i < 250; ++i) liveLog().append("l" + std::to_string(i));
    call(effEditIdle);
    EXPECT_EQ(window().lineCount(), 250u);
    EXPECT_EQ(plugin().logLines().size(), 199u);
    call(effEditIdle);
    EXPECT_EQ(window().lineCount(), 199u);
    EXPECT_EQ(window().memoLines().front(), "l51");
    // The LED lights with log traffic and the next pass darkens it.
    EXPECT_EQ(window().led().colour(), kYellow);
    window().UpdaterTimer();
    EXPECT_EQ(window().led().colour(), kMenuColour);
}

TEST_F(EditorTest, ListFillsAndSelectionsAtOpen) {
    plugin().setParameter(62, 5.0f / 256.0f);
    plugin().setParameter(41, 63.0f / 256.0f);
    plugin().bus().writeLabel(3, "drums");
    open();
    EXPECT_EQ(state(ComboBox1).entries, (std::vector<std::string>{"out A", "out B", "out C"}));
    EXPECT_EQ(state(ComboBox13).entries.size(), 3u);
    ASSERT_EQ(state(ComboBox26).entries.size(), 64u);
    EXPECT_EQ(state(ComboBox26).entries[3], "drums");
    EXPECT_EQ(state(ComboBox21).entries.size(), 131u);
    EXPECT_EQ(state(ComboBox107).entries.size(), 129u);
    EXPECT_EQ(state(ComboBox108).entries.size(), 23u);
    EXPECT_EQ(state(ComboBox9).entries[128], "BYTE 1");
    EXPECT_EQ(state(ComboBox9).entries[129], "BYTE 3");
    EXPECT_EQ(state(ComboBox10).entries[129], "BYTE 2");
    EXPECT_EQ(state(ComboBox10).entries.size(), 131u);
    EXPECT_EQ(state(ComboBox4).entries.back(), "ANY");
    EXPECT_EQ(state(ComboBox109).entries.size(), 17u);
    EXPECT_EQ(state(ComboBox109).entries.back(), "ALL");
    EXPECT_EQ(state(ComboBox22).entries.size(), 16u);
    EXPECT_EQ(state(ComboBox23).selected, 5);
    EXPECT_EQ(state(ComboBox25).selected, 63);
    // Hints: the device, filter and replace lists, not the knob lists.
    EXPECT_EQ(state(ComboBox5).hint, state(ComboBox5).entries[state(ComboBox5).selected]);
    EXPECT_EQ(state(ComboBox23).hint, "");
    // A second open fills the lists anew instead of appending.
    open();
    EXPECT_EQ(state(ComboBox21).entries.size(), 131u);
}

TEST_F(EditorTest, ListChoicesSetParametersWithoutTellingTheHost) {
    open();
    window().userSelect(ComboBox11, 5);
    EXPECT_EQ(plugin().getParameter(63), 0.01953125f);
    window().userSelect(ComboBox25, 63);
    EXPECT_EQ(plugin().getParameter(41), 63.0f / 256.0f);
    EXPECT_EQ(state(ComboBox25).selected, 63);
    EXPECT_TRUE(hostLog.automated().empty());
    EXPECT_EQ(state(ComboBox11).hint, state(ComboBox11).entries[5]);
    // A pass never changes a list selection, whatever the parameter says.
    plugin().setParameter(63, 9.0f / 256.0f);
    window().UpdaterTimer();
    EXPECT_EQ(state(ComboBox11).selected, 5);
}

TEST_F(EditorTest, KnobSliderIsAutomatedAndThePassLeavesIt) {
    open();
    hostLog.clear();
    window().userSlide(TrackBar2, 16384);
    EXPECT_EQ(plugin().getParameter(50), 0.5f);
    ASSERT_EQ(hostLog.automated().size(), 1u);
    EXPECT_EQ(hostLog.automated()[0], (std::pair<int, float>{50, 0.5f}));
    window().UpdaterTimer();
    EXPECT_EQ(state(TrackBar2).position, 16384);
    EXPECT_EQ(hostLog.automated().size(), 1u);
    // The host moves the knob: the pass follows without writing back.
    plugin().setParameter(51, 0.25f);
    window().UpdaterTimer();
    EXPECT_EQ(state(TrackBar3).position, 8192);
    EXPECT_EQ(hostLog.automated().size(), 1u);
}

TEST_F(EditorTest, DelayLabelsAndClampedDelay) {
    call(effSetSampleRate);  // opt 0.0: a rate of zero must not divide
    plugin().setSampleRate(44100.0f);
    open();
    plugin().setParameter(7, 1.0f);
    window().UpdaterTimer();
    EXPECT_EQ(state(Label20).text, "32767 (samples)");
    EXPECT_EQ(state(Label21).text, "743.02 (msecs)");
    plugin().setParameter(7, 192.0f / 32767.0f);
    window().UpdaterTimer();
    EXPECT_EQ(state(Label20).text, "192 (samples)");
    EXPECT_EQ(state(Label21).text, "4.35 (msecs)");
    // The slider's minimum is 1: a delay of 0 is written back as 1/32767.
    hostLog.clear();
    plugin().setParameter(7, 0.0f);
    window().UpdaterTimer();
    EXPECT_EQ(state(TrackBar1).position, 1);
    EXPECT_EQ(plugin().getParameter(7), 1.0f / 32767.0f);
    EXPECT_EQ(hostLog.automated().size(), 1u);
    plugin().setSampleRate(0.0f);
    window().UpdaterTimer();
    EXPECT_EQ(state(Label21).text, "0 (msecs)");
}

TEST_F(EditorTest, FilterTypeFollowsAndWritesBack) {
    open();
    plugin().setParameter(10, 0.6f);
    window().UpdaterTimer();
    EXPECT_TRUE(state(RadioButton2).checked);
    EXPECT_FALSE(state(RadioButton1).checked);
    EXPECT_EQ(plugin().getParameter(10), 0.8f);
    EXPECT_EQ(window().memoLines().back(), "Filter set to Allow only");
    const std::size_t lines = window().lineCount();
    plugin().setParameter(10, 0.5f);
    window().UpdaterTimer();
    EXPECT_TRUE(state(RadioButton2).checked);
    EXPECT_EQ(plugin().getParameter(10), 0.5f);
    EXPECT_EQ(window().lineCount(), lines);
    plugin().setParameter(10, 0.3f);
    window().UpdaterTimer();
    EXPECT_TRUE(state(RadioButton9).checked);
    window().userRadio(RadioButton12);
    EXPECT_EQ(plugin().getParameter(10), 0.0f);
    EXPECT_FALSE(state(RadioButton9).checked);
    EXPECT_EQ(window().memoLines().back(), "Filter set to Block all");
}

// Every stored filter type shows as the filter the engine runs, and the value the window writes
// back for its button runs that same filter: swept in 1/4096 steps and at the floats around
// each threshold either side has ever used.
TEST_F(EditorTest, FilterTypeShownIsTheOneApplied) {
    open();
    const std::map<FilterMode, Id> button = {{FilterMode::AllowAll, RadioButton1},
                                             {FilterMode::AllowOnly, RadioButton2},
                                             {FilterMode::BlockOnly, RadioButton9},
                                             {FilterMode::BlockAll, RadioButton12}};
    std::vector<float> values;
    for (int k = 0; k <= 4096; ++k) values.push_back(static_cast<float>(k) / 4096.0f);
    for (float edge : {0.2f, 0.21f, 0.5f, 0.8901f, 0.9f})
        for (float v = std::nextafter(edge, 0.0f); v <= std::nextafter(edge, 1.0f);
             v = std::nextafter(v, 1.0f))
            values.push_back(v);
    for (float v : values) {
        plugin().setParameter(param::FilterType, v);
        const FilterMode applied = filterModeOf(v);
        window().UpdaterTimer();
        for (const auto& [mode, id] : button)
            ASSERT_EQ(state(id).checked, mode == applied) << "value " << v;
        EXPECT_EQ(filterModeOf(plugin().getParameter(param::FilterType)), applied) << v;
    }
}

TEST_F(EditorTest, FilterRowEnableRules) {
    open();
    window().userRadio(RadioButton2);
    plugin().setParameter(17, 3.0f / 256.0f);  // row 2: control change
    window().UpdaterTimer();
    EXPECT_TRUE(state(ComboBox100).enabled);
    EXPECT_TRUE(state(ComboBox98).enabled);
    EXPECT_TRUE(state(CheckBox6).enabled);
    EXPECT_TRUE(state(ComboBox99).enabled);
    plugin().setParameter(17, 7.0f / 256.0f);  // system exclusive
    window().UpdaterTimer();
    EXPECT_FALSE(state(ComboBox100).enabled);
    EXPECT_FALSE(state(ComboBox98).enabled);
    EXPECT_TRUE(state(ComboBox99).enabled);
    window().userRadio(RadioButton1);
    window().UpdaterTimer();
    for (Id id : {CheckBox5, ComboBox97, ComboBox5, ComboBox12, CheckBox9, ComboBox107}) {
        EXPECT_FALSE(state(id).enabled) << control(id).name;
    }
    plugin().setParameter(2, 1.0f);
    plugin().setParameter(8, 0.0f);
    window().UpdaterTimer();
    EXPECT_TRUE(state(ComboBox10).enabled);
    EXPECT_FALSE(state(TrackBar1).enabled);
}

TEST_F(EditorTest, SwitchesSetByTheHost) {
    open();
    plugin().setParameter(43, 0.7f);
    window().UpdaterTimer();
    EXPECT_TRUE(state(CheckBox10).checked);
    EXPECT_EQ(plugin().getParameter(43), 1.0f);
    plugin().setParameter(44, 0.3f);
    window().UpdaterTimer();
    EXPECT_FALSE(state(CheckBox11).checked);
    EXPECT_EQ(plugin().getParameter(44), 0.3f);
    window().userCheck(CheckBox11, true);
    EXPECT_EQ(plugin().getParameter(44), 1.0f);
    EXPECT_TRUE(hostLog.automated().empty());
}

TEST_F(EditorTest, APassWithNothingToDoChangesNoControl) {
    open();
    window().UpdaterTimer();
    const int before = window().changeCount();
    const auto seen = view->changes;
    window().UpdaterTimer();
    window().UpdaterTimer();
    EXPECT_EQ(window().changeCount(), before);
    EXPECT_EQ(view->changes, seen);
}

TEST_F(EditorTest, FeedbackWarningOnEqualDeviceNumbers) {
    open();
    window().userSelect(ComboBox1, 1);
    EXPECT_TRUE(notices.notices().empty());
    window().userSelect(ComboBox13, 1);
    ASSERT_EQ(notices.notices().size(), 1u);
    EXPECT_EQ(notices.notices()[0].text, "Feedback loop!");
    EXPECT_EQ(notices.notices()[0].caption, "Corvella");
    EXPECT_EQ(notices.notices()[0].kind, platform::NoticeKind::Warning);
    window().userSelect(ComboBox1, 0);
    EXPECT_EQ(notices.notices().size(), 1u);
    // Other lists never warn, even with equal device numbers.
    window().userSelect(ComboBox1, 1);
    notices.clear();
    window().userSelect(ComboBox2, 1);
    EXPECT_TRUE(notices.notices().empty());
}

TEST_F(EditorTest, RenameBusWithEnterStoresAndEscapeDoesNot) {
    plugin().setParameter(42, 5.0f / 256.0f);
    open();
    EXPECT_FALSE(window().Edit1KeyDown(13));  // hidden: keys are not taken
    window().Renameoutputbus1Click(ComboBox26);
    EXPECT_TRUE(state(Edit1).visible);
    EXPECT_EQ(window().renameBus(), 5);
    window().userEditText("Strings");
    EXPECT_TRUE(window().Edit1KeyDown(13));
    EXPECT_FALSE(state(Edit1).visible);
    EXPECT_EQ(plugin().bus().readLabel(5), "Strings");
    EXPECT_EQ(state(ComboBox25).entries[5], "Strings");
    EXPECT_EQ(state(ComboBox26).entries[5], "Strings");
    EXPECT_EQ(state(ComboBox26).selected, 5);

    window().Renameoutputbus1Click(ComboBox26);
    window().userEditText("Brass");
    EXPECT_TRUE(window().Edit1KeyDown(27));
    EXPECT_EQ(plugin().bus().readLabel(5), "Strings");
    window().Renameoutputbus1Click(ComboBox26);
    window().userMouseDown(TabSheet2);  // no handler there
    EXPECT_TRUE(state(Edit1).visible);
    window().userMouseDown(TabSheet4);
    EXPECT_FALSE(state(Edit1).visible);
    EXPECT_EQ(plugin().bus().readLabel(5), "Strings");
}

TEST_F(EditorTest, LogMenuCommands) {
    open();
    plugin().setParameter(4, 1.0f);
    window().PopupMenu1Popup();
    EXPECT_TRUE(window().logMenuChecked());
    // Both context menus name their items; the views hand the chosen name to the window.
    window().menuItemClick("StopLoggingMidiData1", Id::Memo1);
    EXPECT_EQ(plugin().getParameter(4), 0.0f);
    window().PopupMenu1Popup();
    EXPECT_FALSE(window().logMenuChecked());
    window().menuItemClick("MenuItem2", Id::Memo1);
    EXPECT_EQ(plugin().getParameter(4), 1.0f);

    window().appendLine("something");
    liveLog().append("waiting");
    window().menuItemClick("MenuItem3", Id::Memo1);
    EXPECT_EQ(window().lineCount(), 0u);
    EXPECT_EQ(plugin().logLines().size(), 0u);
    window().menuItemClick("MenuItem1", Id::Memo1);
    EXPECT_EQ(view->copies, 1);
    window().menuItemClick("no such item", Id::Memo1);
    EXPECT_EQ(view->copies, 1);
}

TEST_F(EditorTest, SaveLogAddsItsLineOnlyWhenSaved) {
    open();
    view->savePath.clear();
    window().Savelog1Click();  // cancelled
    EXPECT_EQ(view->proposedName.rfind("myhost_", 0), 0u);
    EXPECT_TRUE(plugin().logFileName().empty());
    const std::string path = ::testing::TempDir() + "editor_save.mid";
    view->savePath = path;
    window().Savelog1Click();
    EXPECT_EQ(plugin().logFileName(), path);
    EXPECT_EQ(window().memoLines().back(), "Saved to: " + path);
    const std::size_t lines = window().lineCount();
    view->savePath = ::testing::TempDir() + "no/such/dir/x.mid";
    window().Savelog1Click();
    EXPECT_EQ(window().lineCount(), lines);
    EXPECT_EQ(notices.notices().size(), 1u);
}

TEST_F(EditorTest, TimeSignatureAndTempoLines) {
    open();
    hostLog.time.timeSigNumerator = 6;
    hostLog.time.timeSigDenominator = 8;
    hostLog.time.tempo = 100.0;
    hostLog.time.flags = kVstTimeSigValid | kVstTempoValid;
    // The plug-in raises the written flags when it records them.
    plugin().setParameter(45, 1.0f);
    plugin().setParameter(4, 1.0f);
    float* none[1] = {nullptr};
    plugin().process(none, none, 1);
    window().UpdaterTimer();
    const auto& memo = window().memoLines();
    ASSERT_GE(memo.size(), 2u) << window().memoText();
    EXPECT_EQ(memo[memo.size() - 2], "time sign 6/8");
    EXPECT_EQ(memo.back(), "tempo 100.00 bpm");
    const std::size_t lines = memo.size();
    window().UpdaterTimer();
    EXPECT_EQ(window().lineCount(), lines);
}

TEST_F(EditorTest, OptionsDialogWritesOptionsAtOnceAndValuesOnClose) {
    plugin().setParameter(45, 0.3f);
    settings.writeDword("Software\\Corvella", "VSTi", 1);
    settings.writeDword("Software\\Corvella", "ProcRep", 0);
    settings.writeDword("Software\\Corvella", "EmuIn", 0);
    open();
    bool sawEmuInBeforeClose = false;
    view->onOptions = [&](OptionsDialog& d) {
        EXPECT_TRUE(d.checked(OptId::VSTi));
        EXPECT_FALSE(d.checked(OptId::ProcRep));
        EXPECT_TRUE(d.checked(OptId::CheckBox1));
        EXPECT_EQ(d.trackNameText(), "Corvella");
        EXPECT_FALSE(d.checked(OptId::SysEx));
        d.userCheck(OptId::EmuIn, true);
        d.userCheck(OptId::SysEx, true);
        sawEmuInBeforeClose = settings.readDword("Software\\Corvella", "EmuIn") == 1u &&
                              settings.readDword("Software\\Corvella", "SysEx") == 1u;
        EXPECT_FALSE(d.checked(OptId::SampleAccurate));
        d.userCheck(OptId::SampleAccurate, true);
        d.BitBtn1Click();
    };
    window().About1Click();
    EXPECT_TRUE(sawEmuInBeforeClose);
    EXPECT_EQ(settings.readDword("Software\\Corvella", "ProcRep"), 0u);
    EXPECT_EQ(settings.readDword("Software\\Corvella", "SampleAccurate"), 1u);
    EXPECT_EQ(plugin().getParameter(45), 1.0f);
    EXPECT_EQ(plugin().trackName(), "Corvella");

    view->onOptions = [](OptionsDialog& d) {
        d.userCheck(OptId::CheckBox1, false);
        d.userEditText("");
    };
    window().About1Click();
    EXPECT_EQ(plugin().getParameter(45), 0.0f);
    EXPECT_EQ(plugin().trackName(), "");
}

TEST(OptionsDialog, MissingValuesLeaveTheBoxesUncheckedAndTheKeyIsCreated) {
    platform::MemorySettingsStore fresh;
    platform::ScopedSettingsStore scope(fresh);
    OptionsDialog d(0.0f, "Corvella");
    EXPECT_TRUE(fresh.hasKey("Software\\Corvella"));
    EXPECT_FALSE(d.checked(OptId::VSTi) || d.checked(OptId::ProcRep) || d.checked(OptId::EmuIn));
    EXPECT_FALSE(d.checked(OptId::CheckBox1));
    EXPECT_FALSE(fresh.readDword("Software\\Corvella", "VSTi").has_value());
    fresh.unavailable = true;
    OptionsDialog blocked(1.0f, "x");
    blocked.userCheck(OptId::VSTi, true);  // nothing stored, nothing shown
    EXPECT_TRUE(blocked.checked(OptId::CheckBox1));
}

// The editor's passes and idle calls on the user-interface thread while the processing thread
// runs the engine with logging on: no data race (the ThreadSanitizer build runs this), and the
// processing thread goes on throughout.
TEST_F(EditorTest, ProcessingGoesOnWhileTheEditorRuns) {
    ASSERT_EQ(open(), 1);
    effect->setParameter(effect, param::Log, 1.0f);
    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};
    std::thread processing([&] {
        VstMidiEvent note{};
        note.type = kVstMidiType;
        note.midiData[0] = static_cast<char>(0x90);
        note.midiData[1] = 60;
        note.midiData[2] = 100;
        VstEvents list{1, 0, {reinterpret_cast<VstEvent*>(&note), nullptr}};
        float buffer[128] = {};
        float* io[1] = {buffer};
        while (!stop.load()) {
            effect->dispatcher(effect, effProcessEvents, 0, 0, &list, 0.0f);
            effect->processReplacing(effect, io, io, 128);
            ++blocks;
        }
    });
    while (blocks.load() < 5) std::this_thread::yield();
    for (int i = 0; i < 200; ++i) {
        window().UpdaterTimer();
        call(effEditIdle);
        effect->setParameter(effect, 50, static_cast<float>(i % 2));
    }
    stop = true;
    processing.join();
    EXPECT_GT(blocks.load(), 0);
    EXPECT_GT(window().memoLines().size(), 0u);
}

TEST_F(EditorTest, TheDarkLedTakesTheViewsMenuColourFromTheStart) {
    ASSERT_EQ(open(), 1);
    // The window set its LED to the menu colour before its view existed.
    EXPECT_EQ(window().led().picture().at(8, 8), editor::rgb(240, 240, 240));
}
