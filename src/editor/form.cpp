#include "editor/form.h"

#include <cstdio>
#include <initializer_list>

#include "engine/logtext.h"
#include "engine/parameters.h"

namespace editor {
namespace {

using enum Id;

constexpr int at(Id id) {
    return static_cast<int>(index(id));
}

Control make(const char* name, Kind kind, Id parent, int l, int t, int w, int h,
             const char* caption, int tag, Handler handler, Menu menu, std::uint16_t style) {
    Control c{name, kind,  at(parent),    l, t, w, h,      caption, tag, handler,
              menu, style, Entries::None, 0, 0, 0, nullptr};
    if (parent == Window) c.parent = -1;
    return c;
}

Control label(const char* name, Id page, int l, int t, const char* caption,
              std::uint16_t style = 0) {
    return make(name, Kind::Label, page, l, t, 0, 0, caption, -1, Handler::None, Menu::None, style);
}

Control check(const char* name, Id page, int l, int t, int w, int h, const char* caption, int tag,
              std::uint16_t style = 0) {
    return make(name, Kind::CheckBox, page, l, t, w, h, caption, tag, Handler::CheckBoxClick,
                Menu::None, style);
}

Control list(const char* name, Id page, int l, int t, int w, int tag,
             Entries entries = Entries::None, Menu menu = Menu::None) {
    Control c =
        make(name, Kind::DropDown, page, l, t, w, 21, "", tag, Handler::ComboBoxChange, menu, 0);
    c.entries = entries;
    return c;
}

Control slider(const char* name, Id page, int l, int t, int w, int tag, int minimum, int maximum,
               int position) {
    Control c = make(name, Kind::Slider, page, l, t, w, 19, "", tag, Handler::TrackBar6Change,
                     Menu::None, 0);
    c.minimum = minimum;
    c.maximum = maximum;
    c.position = position;
    return c;
}

Control radio(const char* name, int t, int w, int h, const char* caption, std::uint16_t style = 0) {
    return make(name, Kind::Radio, TabSheet5, 90, t, w, h, caption, 10, Handler::RadioClick,
                Menu::None, style);
}

Control page(const char* name, const char* caption, Handler mouseDown) {
    return make(name, Kind::Page, PageControl1, 0, 0, 0, 0, caption, -1, mouseDown,
                Menu::PopupMenu1, 0);
}

constexpr int kKnob = 32768;

std::array<Control, kControlCount> buildForm() {
    std::array<Control, kControlCount> f{{
        make("TPluginEditorWindow", Kind::Window, Window, 0, 0, kWindowWidth, kWindowHeight,
             "Corvella", -1, Handler::None, Menu::None, 0),
        make("PageControl1", Kind::PageControl, Window, 0, 0, 344, 305, "", -1,
             Handler::TabSheet4MouseDown, Menu::PopupMenu1, 0),
        page("TabSheet1", "Input ->", Handler::TabSheet4MouseDown),
        page("TabSheet2", "Vst2Midi ->", Handler::None),
        page("TabSheet3", "Replace ->", Handler::None),
        page("TabSheet5", "Filter ->", Handler::None),
        page("TabSheet4", "Output ->", Handler::TabSheet4MouseDown),
        // Input ->
        label("Label19", TabSheet1, 4, 1, "Midi device:", Bold),
        check("CheckBox14", TabSheet1, 11, 18, 16, 17, "", 39),
        list("ComboBox13", TabSheet1, 33, 16, 249, 9, Entries::None, Menu::PopupMenu1),
        label("Label1", TabSheet1, 4, 42, "VSTBUS:", Bold),
        check("CheckBox10", TabSheet1, 11, 59, 16, 17, "", 43),
        list("ComboBox25", TabSheet1, 33, 58, 249, 41, Entries::None, Menu::PopupMenu2),
        check("CheckBox12", TabSheet1, 5, 111, 132, 17, "Receive midi from host", 49, Checked),
        make("Memo1", Kind::Memo, TabSheet1, 5, 131, 326, 142, "", -1, Handler::Memo1Change,
             Menu::PopupMenu3, ReadOnly | SmallFont | SunkenBorder),
        // Vst2Midi ->
        slider("TrackBar2", TabSheet2, 7, 4, 312, 50, 0, kKnob, 0),
        list("ComboBox24", TabSheet2, 17, 26, 52, 56),
        list("ComboBox23", TabSheet2, 76, 26, 235, 62, Entries::KnobMessages),
        slider("TrackBar3", TabSheet2, 7, 50, 312, 51, 0, kKnob, 0),
        list("ComboBox14", TabSheet2, 17, 69, 52, 57),
        list("ComboBox11", TabSheet2, 76, 69, 235, 63),
        slider("TrackBar4", TabSheet2, 7, 93, 312, 52, 0, kKnob, 0),
        list("ComboBox16", TabSheet2, 17, 111, 52, 58),
        list("ComboBox15", TabSheet2, 76, 111, 235, 64),
        slider("TrackBar5", TabSheet2, 7, 138, 312, 53, 0, kKnob, 0),
        list("ComboBox18", TabSheet2, 17, 156, 52, 59),
        list("ComboBox17", TabSheet2, 76, 156, 235, 65),
        slider("TrackBar6", TabSheet2, 7, 179, 312, 54, 0, kKnob, 0),
        list("ComboBox20", TabSheet2, 17, 200, 52, 60),
        list("ComboBox19", TabSheet2, 76, 200, 235, 66),
        slider("TrackBar7", TabSheet2, 7, 226, 312, 55, 0, kKnob, 0),
        list("ComboBox22", TabSheet2, 17, 246, 51, 61),
        list("ComboBox21", TabSheet2, 76, 246, 235, 67),
        // Replace ->
        check("CheckBox1", TabSheet3, 8, 5, 123, 17, "Replace message:", 2, Bold),
        label("Label2", TabSheet3, 8, 24, "Byte1, Channel", WindowText),
        label("Label3", TabSheet3, 121, 24, "Byte 1, Status Message", WindowText),
        list("ComboBox2", TabSheet3, 8, 40, 107, 31, Entries::ChannelsAny),
        list("ComboBox3", TabSheet3, 118, 40, 208, 32, Entries::StatusAny),
        label("Label4", TabSheet3, 8, 64, "Byte 2", WindowText),
        label("Label5", TabSheet3, 163, 64, "Byte 3", WindowText),
        list("ComboBox4", TabSheet3, 8, 79, 148, 33),
        list("ComboBox6", TabSheet3, 159, 79, 166, 34),
        make("Bevel2", Kind::Bevel, TabSheet3, 3, 106, 330, 13, "", -1, Handler::None, Menu::None,
             TopLineOnly),
        label("Label6", TabSheet3, 7, 114, "With:", Bold),
        label("Label7", TabSheet3, 8, 131, "Byte1, Channel", WindowText),
        label("Label8", TabSheet3, 124, 131, "Byte 1, Status Message", WindowText),
        list("ComboBox7", TabSheet3, 8, 147, 107, 35, Entries::ChannelsNoChange),
        list("ComboBox8", TabSheet3, 118, 147, 208, 36, Entries::StatusNoChange),
        label("Label9", TabSheet3, 8, 171, "Byte 2", WindowText),
        label("Label15", TabSheet3, 166, 171, "Byte 3", WindowText),
        list("ComboBox9", TabSheet3, 8, 186, 151, 37),
        list("ComboBox10", TabSheet3, 161, 186, 166, 38),
        // Filter ->
        label("Label16", TabSheet5, 13, 7, "Filter type:", Bold),
        radio("RadioButton1", 7, 81, 17, "Allow all", Checked),
        radio("RadioButton2", 23, 81, 17, "Allow only"),
        radio("RadioButton9", 39, 89, 17, "Block only"),
        radio("RadioButton12", 55, 73, 16, "Block all"),
        label("Label11", TabSheet5, 11, 123, "Channel"),
        label("Label10", TabSheet5, 76, 123, "Status Message"),
        label("Label12", TabSheet5, 205, 124, "Control Change Message"),
        check("CheckBox5", TabSheet5, 0, 142, 17, 17, "", 11),
        list("ComboBox97", TabSheet5, 14, 141, 35, 12),
        list("ComboBox5", TabSheet5, 54, 141, 134, 13, Entries::Status),
        list("ComboBox12", TabSheet5, 197, 141, 138, 14, Entries::ControllersAny),
        check("CheckBox6", TabSheet5, 0, 171, 17, 17, "", 15),
        list("ComboBox98", TabSheet5, 14, 170, 35, 16),
        list("ComboBox99", TabSheet5, 54, 170, 134, 17),
        list("ComboBox100", TabSheet5, 197, 170, 138, 18),
        check("CheckBox7", TabSheet5, 0, 199, 17, 17, "", 19),
        list("ComboBox103", TabSheet5, 14, 198, 35, 20),
        list("ComboBox102", TabSheet5, 54, 198, 134, 21),
        list("ComboBox101", TabSheet5, 197, 198, 138, 22),
        check("CheckBox8", TabSheet5, 0, 226, 17, 17, "", 23),
        list("ComboBox104", TabSheet5, 14, 225, 35, 24),
        list("ComboBox105", TabSheet5, 54, 225, 134, 25),
        list("ComboBox106", TabSheet5, 197, 225, 138, 26),
        check("CheckBox9", TabSheet5, 0, 254, 17, 17, "", 27),
        list("ComboBox109", TabSheet5, 14, 250, 35, 28),
        list("ComboBox108", TabSheet5, 54, 250, 134, 29),
        list("ComboBox107", TabSheet5, 197, 250, 138, 30),
        // Output ->
        label("Label17", TabSheet4, 4, 1, "Midi device:", Bold),
        check("CheckBox13", TabSheet4, 11, 18, 16, 17, "", 40),
        list("ComboBox1", TabSheet4, 33, 16, 249, -1, Entries::None, Menu::PopupMenu1),
        label("Label13", TabSheet4, 4, 42, "VSTBUS:", Bold),
        check("CheckBox11", TabSheet4, 11, 59, 16, 17, "", 44),
        list("ComboBox26", TabSheet4, 33, 58, 249, 42, Entries::None, Menu::PopupMenu2),
        check("CheckBox2", TabSheet4, 5, 85, 105, 17, "Send midi to host", 1, Checked),
        make("Bevel1", Kind::Bevel, TabSheet4, 3, 213, 328, 60, "", -1, Handler::None, Menu::None,
             0),
        check("CheckBox4", TabSheet4, 15, 206, 84, 14, "Delay output", 8),
        slider("TrackBar1", TabSheet4, 9, 222, 314, 7, 1, 32767, 192),
        label("Label20", TabSheet4, 249, 242, "32768 (smps)"),
        label("Label21", TabSheet4, 249, 255, "1000 (msec)"),
        // On the window.
        make("Panel1", Kind::Panel, Window, 321, 4, 17, 17, "", -1, Handler::None, Menu::None, 0),
        make("JvTransLED1", Kind::Led, Panel1, 0, 0, 17, 17, "", -1, Handler::None, Menu::None, 0),
        make("Edit1", Kind::Edit, Window, 34, 61, 255, 23, "Enter new bus label", -1,
             Handler::Edit1KeyDown, Menu::None, Hidden),
    }};
    return f;
}

}  // namespace

const std::array<Control, kControlCount>& editorForm() {
    static const std::array<Control, kControlCount> form = buildForm();
    return form;
}

const std::array<Control, kOptionsControlCount>& optionsForm() {
    constexpr const char* kRestart = "These options require restart";
    static const std::array<Control, kOptionsControlCount> form = [&] {
        auto c = [](const char* name, Kind kind, int parent, int l, int t, int w, int h,
                    const char* caption, Handler handler, const char* hint = nullptr,
                    std::uint16_t style = 0) {
            return Control{name,       kind,  parent,        l, t, w, h,   caption, -1, handler,
                           Menu::None, style, Entries::None, 0, 0, 0, hint};
        };
        return std::array<Control, kOptionsControlCount>{{
            c("TForm1", Kind::Window, -1, 0, 0, kOptionsWidth, kOptionsHeight, "About...",
              Handler::None),
            c("Panel1", Kind::Panel, 0, 0, 0, kOptionsWidth, kOptionsHeight, "", Handler::None),
            c("StaticText1", Kind::StaticText, 1, 12, 11, 232, 71,
              "Corvella: a MIDI utility for VST 2 hosts.\r\nPlug-in framework and plug-in by "
              "the Corvella authors.",
              Handler::None),
            c("VSTi", Kind::CheckBox, 1, 11, 94, 145, 17, "Load as VST instrument",
              Handler::VSTiClick, kRestart, ShowsHint),
            c("ProcRep", Kind::CheckBox, 1, 11, 110, 129, 17, "Use process replacing",
              Handler::VSTiClick, kRestart, ShowsHint),
            c("EmuIn", Kind::CheckBox, 1, 11, 125, 129, 17, "Emulate audio input",
              Handler::VSTiClick, kRestart, ShowsHint),
            c("CheckBox1", Kind::CheckBox, 1, 11, 141, 160, 17, "Log tempo and time signature",
              Handler::CheckBox1Click, "Default tempo is 120, time sign 4/4"),
            c("Label1", Kind::Label, 1, 10, 164, 0, 0, "Track name:", Handler::None),
            c("Edit1", Kind::Edit, 1, 78, 161, 161, 21, "Corvella", Handler::Edit1Change),
            c("BitBtn1", Kind::Button, 1, 88, 254, 81, 26, "Klewz ...", Handler::BitBtn1Click),
            c("SysEx", Kind::CheckBox, 1, 11, 187, 170, 17, "Pass and log system exclusive",
              Handler::VSTiClick, kRestart, ShowsHint),
            c("Label2", Kind::Label, 1, 10, 229, 0, 0, "Editor scale:", Handler::None),
            c("ComboBox1", Kind::DropDown, 1, 78, 226, 81, 21, "", Handler::None,
              "Takes effect when the editor opens next", ShowsHint),
            c("SampleAccurate", Kind::CheckBox, 1, 11, 203, 160, 17, "Sample-accurate output",
              Handler::VSTiClick, kRestart, ShowsHint),
        }};
    }();
    return form;
}

int parameterOf(Id id) {
    const Control& c = control(id);
    if (c.tag >= 0) return c.tag;
    return c.kind == Kind::DropDown ? 0 : -1;
}

Id pageOf(Id id) {
    int p = control(id).parent;
    while (p >= 0) {
        const Id parent = static_cast<Id>(p);
        if (control(parent).kind == Kind::Page) return parent;
        p = control(parent).parent;
    }
    return Window;
}

const std::vector<std::string>& statusEntries() {
    static const std::vector<std::string> entries = {"128-143 Note off",
                                                     "144-159 Note on",
                                                     "160-175 Polyphonic Aftertouch",
                                                     "176-191 Control Change Message",
                                                     "192-207 Program Change",
                                                     "208-223 Channel Aftertouch",
                                                     "224-239 Pitch wheel",
                                                     "240 System Exclusive ",
                                                     "241 MIDI Time Code Qtr. Frame ",
                                                     "242 Song Position Pointer ",
                                                     "243 Song Select",
                                                     "244 Undefined",
                                                     "245 Undefined",
                                                     "246 Tune request ",
                                                     "247 End of SysEx (EOX)",
                                                     "248 Timing clock ",
                                                     "249 Undefined",
                                                     "250 Start",
                                                     "251 Continue ",
                                                     "252 Stop ",
                                                     "253 Undefined",
                                                     "254 Active Sensing ",
                                                     "255 System Reset"};
    return entries;
}

// The list names controllers as the log does, apart from these, which carry their usual
// default or mode wording.
const std::vector<std::string>& controllerEntries() {
    static const std::vector<std::string> entries = [] {
        struct Override {
            int number;
            const char* text;
        };
        static constexpr Override kOverrides[] = {
            {70, "Sound Controller 1 (default: Sound Variation)"},
            {71, "Sound Controller 2 (default: Timbre/Harmonic Intens.)"},
            {72, "Sound Controller 3 (default: Release Time)"},
            {73, "Sound Controller 4 (default: Attack Time)"},
            {74, "Sound Controller 5 (default: Brightness)"},
            {75, "Sound Controller 6 (default: Decay Time)"},
            {76, "Sound Controller 7 (default: Vibrato Rate)"},
            {77, "Sound Controller 8 (default: Vibrato Depth)"},
            {78, "Sound Controller 9 (default: Vibrato Delay)"},
            {79, "Sound Controller 10 (default undefined)"},
            {91, "Effects 1 Depth (default: Reverb Send Level)"},
            {93, "Effects 3 Depth (default: Chorus Send Level)"},
            {120, "All Sound Off"},
            {121, "Reset All Controllers"},
            {122, "Local Control On/Off"},
            {123, "All Notes Off"},
            {124, "Omni Mode Off (+ all notes off)"},
            {125, "Omni Mode On (+ all notes off)"},
            {126, "Poly Mode On/Off (+ all notes off)"},
            {127, "Poly Mode On (+ mono off +all notes off)"},
        };
        std::vector<std::string> out;
        for (int n = 0; n < 128; ++n) out.push_back(std::to_string(n) + " " + controllerName(n));
        for (const Override& o : kOverrides)
            out[o.number] = std::to_string(o.number) + " " + o.text;
        return out;
    }();
    return entries;
}

std::vector<std::string> dataByteEntries() {
    std::vector<std::string> out;
    for (int n = 0; n < 128; ++n) {
        char text[16];
        std::snprintf(text, sizeof text, "%d [%02X]", n, n);
        out.emplace_back(text);
    }
    return out;
}

std::vector<std::string> channelEntries() {
    std::vector<std::string> out;
    for (int n = 1; n <= 16; ++n) out.push_back(std::to_string(n));
    return out;
}

std::vector<std::string> formEntries(Entries which) {
    // Each form list is a base list and a tail.
    std::vector<std::string> out;
    std::vector<const char*> tail;
    switch (which) {
        case Entries::None:
            return out;
        case Entries::ChannelsAny:
        case Entries::ChannelsNoChange:
            out = channelEntries();
            break;
        case Entries::Status:
        case Entries::StatusAny:
        case Entries::StatusNoChange:
            out = statusEntries();
            break;
        case Entries::ControllersAny:
        case Entries::KnobMessages:
            out = controllerEntries();
            break;
    }
    if (which == Entries::ChannelsAny || which == Entries::StatusAny ||
        which == Entries::ControllersAny) {
        tail = {"ANY"};
    } else if (which == Entries::ChannelsNoChange || which == Entries::StatusNoChange) {
        tail = {"NO CHANGE"};
    } else if (which == Entries::KnobMessages) {
        tail = {"Program Change", "Channel Aftertouch", "Pitchwheel"};
    }
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

std::vector<std::string> parameterEntries(int parameter) {
    auto withTail = [](std::vector<std::string> out, std::initializer_list<const char*> tail) {
        out.insert(out.end(), tail.begin(), tail.end());
        return out;
    };
    // Filter rows 2..5 and knobs 2..6 hold the same lists as the first row and knob.
    int p = parameter;
    if (p >= param::FilterRow1 && p < param::FilterRowsEnd)
        p = param::filterRow(0, param::filterFieldOf(p));
    if (p > param::KnobMessage1 && p < param::KnobMessage1 + param::kKnobs) p = param::KnobMessage1;
    if (p >= param::KnobChannel1 && p < param::KnobChannel1 + param::kKnobs)
        return channelEntries();
    switch (p) {
        case param::filterRow(0, param::FilterChannel):
            return withTail(channelEntries(), {"ALL"});
        case param::ReplaceMatchData1:
        case param::ReplaceMatchData2:
            return withTail(dataByteEntries(), {"ANY"});
        case param::ReplaceNewData1:
            return withTail(dataByteEntries(), {"BYTE 1", "BYTE 3", "NO CHANGE"});
        case param::ReplaceNewData2:
            return withTail(dataByteEntries(), {"BYTE 1", "BYTE 2", "NO CHANGE"});
        default:
            break;
    }
    for (const Control& c : editorForm())
        if (c.kind == Kind::DropDown && c.tag == p && c.entries != Entries::None)
            return formEntries(c.entries);
    return {};
}

const std::vector<MenuItem>& menuItems(Menu menu) {
    static const std::vector<MenuItem> none;
    static const std::vector<MenuItem> menu1 = {
        {"StopLoggingMidiData1", "Log input data", true},
        {"Clearlog1", "Clear log", false},
        {"Savelog1", "Save log", false},
        {"About1", "Options", false},
    };
    static const std::vector<MenuItem> menu2 = {{"Renameoutputbus1", "Rename bus", false}};
    static const std::vector<MenuItem> menu3 = {
        {"MenuItem2", "Log input data", true},
        {"MenuItem1", "Copy selection", false},
        {"MenuItem3", "Clear log", false},
        {"MenuItem4", "Save log", false},
        {"MenuItem5", "Options", false},
        // The view's own: which lines it shows and how.
        {"PauseLog1", "Pause", true},
        {"HideClock1", "Hide clock and active sensing", true},
        {"HideNoteOff1", "Hide note off", true},
        {"HideNoteOn1", "Hide note on", true},
        {"HidePolyPressure1", "Hide poly pressure", true},
        {"HideControl1", "Hide control change", true},
        {"HideProgram1", "Hide program change", true},
        {"HideChannelPressure1", "Hide channel pressure", true},
        {"HidePitchBend1", "Hide pitch bend", true},
        {"TimeOff1", "Time: off", true},
        {"TimeSeconds1", "Time: seconds", true},
        {"TimeBars1", "Time: bar.beat.tick", true},
        {"SaveLogText1", "Save log as text...", false},
    };
    switch (menu) {
        case Menu::PopupMenu1:
            return menu1;
        case Menu::PopupMenu2:
            return menu2;
        case Menu::PopupMenu3:
            return menu3;
        case Menu::None:
            break;
    }
    return none;
}

}  // namespace editor
