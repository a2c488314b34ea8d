// The editor window and the options dialog as data: every control with its name, kind, place,
// caption, list entries, Tag, handler and context menu. A view builds its native controls from
// these tables; the window model keeps the controls' states in the same order.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace editor {

enum class Kind : std::uint8_t {
    Window,
    PageControl,
    Page,
    Label,
    CheckBox,
    DropDown,
    Slider,
    Radio,
    Memo,
    Bevel,
    Panel,
    Edit,
    Led,
    Button,
    StaticText,
};

// The shared handlers a control reports its changes to.
enum class Handler : std::uint8_t {
    None,
    ComboBoxChange,
    CheckBoxClick,
    RadioClick,
    TrackBar6Change,
    Memo1Change,
    Edit1KeyDown,
    TabSheet4MouseDown,
    // Options dialog.
    VSTiClick,
    CheckBox1Click,
    Edit1Change,
    BitBtn1Click,
};

enum class Menu : std::uint8_t { None, PopupMenu1, PopupMenu2, PopupMenu3 };

// The entries a list holds in the form itself (the others are filled at open).
enum class Entries : std::uint8_t {
    None,
    ChannelsAny,       // "1".."16", "ANY"
    ChannelsNoChange,  // "1".."16", "NO CHANGE"
    Status,            // the 23 status entries
    StatusAny,         // status entries, "ANY"
    StatusNoChange,    // status entries, "NO CHANGE"
    ControllersAny,    // the 128 controller entries, "ANY"
    KnobMessages,      // controller entries, "Program Change", "Channel Aftertouch", "Pitchwheel"
};

// Style bits.
enum Style : std::uint16_t {
    Bold = 1,
    Checked = 2,  // check box or radio button checked in the form
    Hidden = 4,
    TopLineOnly = 8,  // bevel
    ReadOnly = 16,
    SmallFont = 32,   // Tahoma 7 point (the log view)
    WindowText = 64,  // label text in the window-text colour
    SunkenBorder = 128,
    ShowsHint = 256,  // options dialog: the hint appears as a tooltip (the dialog shows none)
};

// Every control of the editor window, in table order.
enum class Id : std::uint16_t {
    Window,
    PageControl1,
    TabSheet1,
    TabSheet2,
    TabSheet3,
    TabSheet5,
    TabSheet4,
    // Input ->
    Label19,
    CheckBox14,
    ComboBox13,
    Label1,
    CheckBox10,
    ComboBox25,
    CheckBox12,
    Memo1,
    // Vst2Midi ->
    TrackBar2,
    ComboBox24,
    ComboBox23,
    TrackBar3,
    ComboBox14,
    ComboBox11,
    TrackBar4,
    ComboBox16,
    ComboBox15,
    TrackBar5,
    ComboBox18,
    ComboBox17,
    TrackBar6,
    ComboBox20,
    ComboBox19,
    TrackBar7,
    ComboBox22,
    ComboBox21,
    // Replace ->
    CheckBox1,
    Label2,
    Label3,
    ComboBox2,
    ComboBox3,
    Label4,
    Label5,
    ComboBox4,
    ComboBox6,
    Bevel2,
    Label6,
    Label7,
    Label8,
    ComboBox7,
    ComboBox8,
    Label9,
    Label15,
    ComboBox9,
    ComboBox10,
    // Filter ->
    Label16,
    RadioButton1,
    RadioButton2,
    RadioButton9,
    RadioButton12,
    Label11,
    Label10,
    Label12,
    CheckBox5,
    ComboBox97,
    ComboBox5,
    ComboBox12,
    CheckBox6,
    ComboBox98,
    ComboBox99,
    ComboBox100,
    CheckBox7,
    ComboBox103,
    ComboBox102,
    ComboBox101,
    CheckBox8,
    ComboBox104,
    ComboBox105,
    ComboBox106,
    CheckBox9,
    ComboBox109,
    ComboBox108,
    ComboBox107,
    // Output ->
    Label17,
    CheckBox13,
    ComboBox1,
    Label13,
    CheckBox11,
    ComboBox26,
    CheckBox2,
    Bevel1,
    CheckBox4,
    TrackBar1,
    Label20,
    Label21,
    // On the window itself.
    Panel1,
    JvTransLED1,
    Edit1,
    Count
};
inline constexpr std::size_t kControlCount = static_cast<std::size_t>(Id::Count);
inline constexpr std::size_t index(Id id) noexcept {
    return static_cast<std::size_t>(id);
}

// Controls of the options dialog.
enum class OptId : std::uint16_t {
    Form1,
    Panel1,
    StaticText1,
    VSTi,
    ProcRep,
    EmuIn,
    CheckBox1,
    Label1,
    Edit1,
    BitBtn1,
    SysEx,
    Label2,     // "Editor scale:"
    ComboBox1,  // the editor's scale (the X11 view only)
    SampleAccurate,
    Count
};
inline constexpr std::size_t kOptionsControlCount = static_cast<std::size_t>(OptId::Count);

struct Control {
    const char* name;
    Kind kind;
    int parent;                    // table index of the container, -1 for the window itself
    int left, top, width, height;  // width and height 0: sized to the caption
    const char* caption;
    int tag;  // parameter index, -1 without a Tag
    Handler handler;
    Menu menu;
    std::uint16_t style = 0;
    Entries entries = Entries::None;
    int minimum = 0, maximum = 0, position = 0;  // sliders
    const char* hint = nullptr;
};

const std::array<Control, kControlCount>& editorForm();
const std::array<Control, kOptionsControlCount>& optionsForm();
inline const Control& control(Id id) {
    return editorForm()[index(id)];
}

// The parameter a control drives: its Tag, parameter 0 for a list without a Tag, -1 for none.
int parameterOf(Id id);

// List entries.
std::vector<std::string> formEntries(Entries which);
const std::vector<std::string>& statusEntries();      // 23
const std::vector<std::string>& controllerEntries();  // 128
std::vector<std::string> dataByteEntries();           // 128: "10 [0A]"
std::vector<std::string> channelEntries();            // "1".."16"
// The entries of the list that drives `parameter`, entry n standing for the value n/256; empty
// for the device and bus lists (filled from the system at open) and for non-list parameters.
std::vector<std::string> parameterEntries(int parameter);

// Context menus: their items in order.
struct MenuItem {
    const char* name;
    const char* caption;
    bool checkItem;
};
const std::vector<MenuItem>& menuItems(Menu menu);

// The five pages in tab order, and the page a control sits on (Id::Window when none).
inline constexpr std::array<Id, 5> kPages = {Id::TabSheet1, Id::TabSheet2, Id::TabSheet3,
                                             Id::TabSheet5, Id::TabSheet4};
Id pageOf(Id id);

// Where a label `width` pixels wide that the form places at `left` starts, so that it ends by
// `rightEdge`: a font wider than the one the form was laid out for would otherwise push it
// past its container's edge or into the control beside it. Never left of 0.
constexpr int fittedLeft(int left, int width, int rightEdge) noexcept {
    const int latest = rightEdge - width;
    const int x = left < latest ? left : latest;
    return x > 0 ? x : 0;
}

inline constexpr int kWindowWidth = 344;
inline constexpr int kWindowHeight = 305;
inline constexpr int kOptionsWidth = 255;
inline constexpr int kOptionsHeight = 289;

}  // namespace editor
