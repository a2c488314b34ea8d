#include "editor/editorwindow.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "editor/optionsdialog.h"
#include "engine/parameters.h"
#include "engine/recorder.h"
#include "platform/notice.h"

namespace editor {
namespace {

using enum Id;

// Nearest integer, halves to the even neighbour (the default rounding mode).
int roundEven(double v) {
    return static_cast<int>(std::nearbyint(v));
}

// The filter rows: enable box, channel list, status list, controller list.
struct FilterRow {
    Id box, channel, status, controller;
};
constexpr FilterRow kRows[5] = {
    {CheckBox5, ComboBox97, ComboBox5, ComboBox12},
    {CheckBox6, ComboBox98, ComboBox99, ComboBox100},
    {CheckBox7, ComboBox103, ComboBox102, ComboBox101},
    {CheckBox8, ComboBox104, ComboBox105, ComboBox106},
    {CheckBox9, ComboBox109, ComboBox108, ComboBox107},
};

constexpr Id kReplaceLists[] = {ComboBox2, ComboBox3, ComboBox4, ComboBox6,
                                ComboBox7, ComboBox8, ComboBox9, ComboBox10};
constexpr Id kCheckBoxes[] = {CheckBox1,  CheckBox2,  CheckBox4, CheckBox5,  CheckBox6,
                              CheckBox7,  CheckBox8,  CheckBox9, CheckBox10, CheckBox11,
                              CheckBox12, CheckBox13, CheckBox14};
constexpr Id kSliders[] = {TrackBar1, TrackBar2, TrackBar3, TrackBar4,
                           TrackBar5, TrackBar6, TrackBar7};
constexpr Id kRadios[] = {RadioButton1, RadioButton2, RadioButton9, RadioButton12};

bool isBusList(Id id) {
    return id == ComboBox25 || id == ComboBox26;
}

constexpr std::size_t kBuses = 64;

}  // namespace

std::string floatText(float x, char separator) {
    const double v = x;
    int decimals;
    if (v > 0.01) {
        decimals = 2;
    } else if (v > 0.0001) {
        decimals = 4;
    } else if (v > 0.000001) {
        decimals = 6;
    } else {
        return "0";
    }
    char text[64];
    if (v >= 1e7) {
        // More integer digits than the 7 significant digits kept: exponent form.
        std::snprintf(text, sizeof text, "%.6E", v);
        return text;
    }
    // Keep 7 significant digits, then write the fixed decimals.
    std::snprintf(text, sizeof text, "%.6e", v);
    std::snprintf(text, sizeof text, "%.*f", decimals, std::strtod(text, nullptr));
    std::string out = text;
    for (char& c : out)
        if (c == '.') c = separator;
    return out;
}

TPluginEditorWindow::TPluginEditorWindow(PluginAccess& plugin)
    : plugin_(plugin), led_([this](Colour c) { return view_ ? view_->systemColour(c) : kGrey; }) {
    const auto& form = editorForm();
    for (std::size_t i = 0; i < kControlCount; ++i) {
        const Control& c = form[i];
        ControlState& s = states_[i];
        s.visible = !(c.style & Hidden);
        s.checked = (c.style & Checked) != 0;
        s.position = c.position;
        s.text = c.caption;
        s.entries = formEntries(c.entries);
    }
    led_.onRepaint = [this] { notify(JvTransLED1, Property::Led); };
    led_.setColour(kMenuColour);
}

TPluginEditorWindow::~TPluginEditorWindow() = default;

void TPluginEditorWindow::setView(EditorView* view) {
    view_ = view;
    led_.recolour();
}

float TPluginEditorWindow::value(int i) const {
    return plugin_.getParameter(i);
}

void TPluginEditorWindow::notify(Id id, Property what) {
    ++changes_;
    if (view_) view_->changed(id, what);
}

// --- Changes made by the window itself ------------------------------------------------------

void TPluginEditorWindow::setChecked(Id id, bool checked) {
    ControlState& s = mut(id);
    if (s.checked == checked) return;
    s.checked = checked;
    notify(id, Property::Checked);
    if (control(id).kind == Kind::Radio) {
        if (!checked) return;
        for (Id other : kRadios) {
            if (other != id && state(other).checked) {
                mut(other).checked = false;
                notify(other, Property::Checked);
            }
        }
        RadioClick(id);
    } else {
        CheckBoxClick(id);
    }
}

void TPluginEditorWindow::setPosition(Id id, int position) {
    const Control& c = control(id);
    if (position < c.minimum) position = c.minimum;
    if (position > c.maximum) position = c.maximum;
    ControlState& s = mut(id);
    if (s.position == position) return;
    s.position = position;
    notify(id, Property::Position);
    TrackBar6Change(id);
}

void TPluginEditorWindow::setEnabled(Id id, bool enabled) {
    if (state(id).enabled == enabled) return;
    mut(id).enabled = enabled;
    notify(id, Property::Enabled);
}

void TPluginEditorWindow::setVisible(Id id, bool visible) {
    if (state(id).visible == visible) return;
    mut(id).visible = visible;
    notify(id, Property::Visible);
}

void TPluginEditorWindow::setText(Id id, const std::string& text) {
    if (state(id).text == text) return;
    mut(id).text = text;
    notify(id, Property::Text);
}

void TPluginEditorWindow::setHint(Id id, const std::string& hint) {
    if (state(id).hint == hint) return;
    mut(id).hint = hint;
    notify(id, Property::Hint);
}

void TPluginEditorWindow::setSelected(Id id, int entry) {
    if (entry < 0 || entry >= static_cast<int>(state(id).entries.size())) entry = -1;
    if (state(id).selected == entry) return;
    mut(id).selected = entry;
    notify(id, Property::Selection);
}

void TPluginEditorWindow::setEntries(Id id, const std::vector<std::string>& entries) {
    ControlState& s = mut(id);
    if (s.entries == entries) return;
    s.entries = entries;
    if (s.selected >= static_cast<int>(entries.size())) s.selected = -1;
    notify(id, Property::Entries);
}

std::string TPluginEditorWindow::displayedText(Id list) const {
    const ControlState& s = state(list);
    if (s.selected < 0 || s.selected >= static_cast<int>(s.entries.size())) return {};
    return s.entries[static_cast<std::size_t>(s.selected)];
}

// --- Shared handlers ------------------------------------------------------------------------

void TPluginEditorWindow::ComboBoxChange(Id id) {
    const int param = parameterOf(id);
    // No selection gives -1/256, which the plug-in clamps to 0.
    plugin_.setParameter(param, static_cast<float>(state(id).selected) / 256.0f);
    setHint(id, displayedText(id));
    refreshBusLists();
    if ((param == param::OutputDevice || param == param::InputDevice) && plugin_.devicesLoop()) {
        platform::showNotice("Feedback loop!", "Corvella", platform::NoticeKind::Warning);
    }
}

void TPluginEditorWindow::CheckBoxClick(Id id) {
    plugin_.setParameter(control(id).tag, state(id).checked ? 1.0f : 0.0f);
}

void TPluginEditorWindow::RadioClick(Id id) {
    static constexpr struct {
        const char* caption;
        float value;
    } kTypes[] = {
        {"Allow all", 1.0f}, {"Allow only", 0.8f}, {"Block only", 0.3f}, {"Block all", 0.0f}};
    const std::string caption = control(id).caption;
    for (const auto& t : kTypes) {
        if (caption == t.caption) {
            plugin_.setParameter(control(id).tag, t.value);
            break;
        }
    }
    appendLine("Filter set to " + caption);
}

void TPluginEditorWindow::TrackBar6Change(Id id) {
    const Control& c = control(id);
    const float v = value(c.tag);
    const int position = state(id).position;
    if (roundEven(static_cast<double>(c.maximum) * v) == position) return;
    plugin_.setParameterAutomated(c.tag,
                                  static_cast<float>(position) / static_cast<float>(c.maximum));
}

void TPluginEditorWindow::Memo1Change() {
    led_.setColour(kYellow);
}

// --- What the user did ----------------------------------------------------------------------

void TPluginEditorWindow::userSelect(Id list, int entry) {
    setSelected(list, entry);
    ComboBoxChange(list);
}

void TPluginEditorWindow::userCheck(Id box, bool checked) {
    setChecked(box, checked);
}

void TPluginEditorWindow::userSlide(Id slider, int position) {
    setPosition(slider, position);
}

void TPluginEditorWindow::userRadio(Id button) {
    setChecked(button, true);
}

void TPluginEditorWindow::userMouseDown(Id target) {
    if (control(target).handler == Handler::TabSheet4MouseDown) setVisible(Edit1, false);
}

void TPluginEditorWindow::userPage(int page) {
    if (page < 0 || page >= static_cast<int>(kPages.size()) || page == activePage_) return;
    activePage_ = page;
    notify(PageControl1, Property::ActivePage);
}

void TPluginEditorWindow::userEditText(const std::string& text) {
    mut(Edit1).text = text;
}

bool TPluginEditorWindow::Edit1KeyDown(int key) {
    if (!state(Edit1).visible) return false;
    if (key == 13) {
        plugin_.setBusLabel(renameBus_, state(Edit1).text);
    } else if (key != 27) {
        return false;
    }
    setVisible(Edit1, false);
    refreshBusLists();
    return true;
}

// --- Menu commands --------------------------------------------------------------------------

void TPluginEditorWindow::PopupMenu1Popup() {
    logMenuChecked_ = switchOn(param::Log, value(param::Log));
}

void TPluginEditorWindow::StopLoggingMidiData1Click() {
    plugin_.setParameter(param::Log, switchOn(param::Log, value(param::Log)) ? 0.0f : 1.0f);
}

void TPluginEditorWindow::Clearlog1Click() {
    plugin_.clearLog();
    feed_.clear();
    showFeed();
}

void TPluginEditorWindow::Savelog1Click() {
    const std::string product = plugin_.hostProduct();
    const std::time_t now = std::time(nullptr);
    const std::tm* t = std::localtime(&now);
    const std::string proposed =
        proposedLogFileName(product, t ? t->tm_hour : 0, t ? t->tm_min : 0, t ? t->tm_sec : 0);
    std::string path;
    if (!view_ || !view_->chooseSaveFile(proposed, path)) return;
    if (plugin_.saveLog(path)) appendLine("Saved to: " + path);
}

void TPluginEditorWindow::Copytoclipboard1Click() {
    if (view_) view_->copyMemoSelection();
}

void TPluginEditorWindow::About1Click() {
    OptionsDialog dialog(value(param::LogMeta), plugin_.trackName());
    if (view_) view_->showOptions(dialog);
    plugin_.setParameter(param::LogMeta, dialog.logMeta() ? 1.0f : 0.0f);
    plugin_.setTrackName(dialog.trackNameText());
}

void TPluginEditorWindow::Renameoutputbus1Click(Id list) {
    if (!isBusList(list)) return;
    renameBus_ = state(list).selected;
    // A list without a selection reads an empty label; storing one for it does nothing.
    setText(Edit1, plugin_.busLabel(renameBus_));
    setVisible(Edit1, true);
}

// --- Lists ----------------------------------------------------------------------------------

void TPluginEditorWindow::fillChoiceLists() {
    // A repeated open fills the lists anew rather than appending a second copy.
    setEntries(ComboBox1, plugin_.outputDeviceNames());
    setEntries(ComboBox13, plugin_.inputDeviceNames());

    std::vector<std::string> labels;
    for (std::size_t bus = 0; bus < kBuses; ++bus) {
        labels.push_back(plugin_.busLabel(static_cast<int>(bus)));
    }
    setEntries(ComboBox25, labels);
    setEntries(ComboBox26, labels);

    // The lists with fixed entries, whether or not the form itself fills them.
    for (std::size_t i = 0; i < kControlCount; ++i) {
        const Control& c = editorForm()[i];
        if (c.kind != Kind::DropDown || c.tag < 0) continue;
        std::vector<std::string> entries = parameterEntries(c.tag);
        if (!entries.empty()) setEntries(static_cast<Id>(i), entries);
    }
}

void TPluginEditorWindow::syncAllLists() {
    fillChoiceLists();
    for (std::size_t i = 0; i < kControlCount; ++i) {
        const Id id = static_cast<Id>(i);
        if (control(id).kind != Kind::DropDown || isBusList(id)) continue;
        setSelected(id, roundEven(static_cast<double>(value(parameterOf(id))) * 256.0));
    }
    std::vector<Id> hinted = {ComboBox1, ComboBox13};
    for (const FilterRow& row : kRows)
        hinted.insert(hinted.end(), {row.channel, row.status, row.controller});
    hinted.insert(hinted.end(), std::begin(kReplaceLists), std::end(kReplaceLists));
    for (Id id : hinted) setHint(id, displayedText(id));
    refreshBusLists();
}

void TPluginEditorWindow::refreshBusLists() {
    std::vector<std::string> labels = state(ComboBox25).entries;
    labels.resize(kBuses);
    for (std::size_t bus = 0; bus < kBuses; ++bus) {
        std::string label = plugin_.busLabel(static_cast<int>(bus));
        if (labels[bus] != label) labels[bus] = std::move(label);
    }
    setEntries(ComboBox25, labels);
    setEntries(ComboBox26, labels);
    setSelected(ComboBox25, busOf(value(param::RecvBus)));
    setSelected(ComboBox26, busOf(value(param::SendBus)));
}

// --- Set-up and the synchronisation pass ----------------------------------------------------

void TPluginEditorWindow::FormCreate() {
    userPage(0);
}

void TPluginEditorWindow::UpdaterTimer() {
    // 1. Delay display.
    setPosition(TrackBar1, delayFrames(value(param::DelayAmount)));
    const int delay = state(TrackBar1).position;
    setText(Label20, std::to_string(delay) + " (samples)");
    const double rate = plugin_.sampleRate();
    const float msecs = rate > 0.0 ? static_cast<float>(delay * 1000.0 / rate) : 0.0f;
    setText(Label21, floatText(msecs, view_ ? view_->decimalSeparator() : '.') + " (msecs)");

    // 2 and 3, with step 7's rule for the rows: each control's enable state is worked out
    // first and changed once, so a pass with nothing to do changes nothing.
    std::array<bool, 5> ccOn{}, channelOn{};
    for (std::size_t r = 0; r < 5; ++r) {
        const int status =
            choiceOf(value(param::filterRow(static_cast<int>(r), param::FilterStatus)));
        ccOn[r] = status == 3;
        channelOn[r] = status < 7;
    }
    // 4. Replace lists.
    const bool replaceOn = switchOn(param::Replace, value(param::Replace));
    for (Id id : kReplaceLists) setEnabled(id, replaceOn);
    // 5. Delay slider.
    setEnabled(TrackBar1, value(param::DelayOutput) > 0.5f);  // the slider wants more than 0.5
    // 6. Check boxes.
    for (Id id : kCheckBoxes) {
        const float v = value(control(id).tag);
        if ((state(id).checked ? 1.0f : 0.0f) != v) setChecked(id, v >= 0.5f);
    }
    // 7. Filter type, by the engine's own reading of the value, so the window always shows
    // the filter that runs.
    enum class Rows { AllOff, Only } rows = Rows::AllOff;
    switch (filterModeOf(value(param::FilterType))) {
        case FilterMode::AllowAll:
            setChecked(RadioButton1, true);
            break;
        case FilterMode::AllowOnly:
            setChecked(RadioButton2, true);
            rows = Rows::Only;
            break;
        case FilterMode::BlockOnly:
            setChecked(RadioButton9, true);
            rows = Rows::Only;
            break;
        case FilterMode::BlockAll:
            setChecked(RadioButton12, true);
            break;
    }
    for (std::size_t r = 0; r < 5; ++r) {
        const FilterRow& row = kRows[r];
        if (rows == Rows::AllOff) {
            for (Id id : {row.box, row.channel, row.status, row.controller}) setEnabled(id, false);
            continue;
        }
        setEnabled(row.controller, ccOn[r]);
        setEnabled(row.channel, channelOn[r]);
        setEnabled(row.box, true);
        setEnabled(row.status, true);
    }
    // 8. LED dark.
    led_.setColour(kMenuColour);
    // 9. Sliders.
    for (Id id : kSliders) {
        const int target =
            roundEven(static_cast<double>(value(control(id).tag)) * control(id).maximum);
        if (state(id).position != target) setPosition(id, target);
    }
    // 10 and 11. Time signature and tempo lines. A host without a time record gets no line.
    int numerator = 0, denominator = 0;
    if (plugin_.takeTimeSignature(numerator, denominator)) {
        appendLine("time sign " + std::to_string(numerator) + "/" + std::to_string(denominator));
    }
    double bpm = 0.0;
    if (plugin_.takeTempo(bpm)) {
        appendLine("tempo " +
                   floatText(static_cast<float>(bpm), view_ ? view_->decimalSeparator() : '.') +
                   " bpm");
    }
}

// --- The log view ---------------------------------------------------------------------------

void TPluginEditorWindow::memoChanged() {
    notify(Memo1, Property::Memo);
    Memo1Change();
}

void TPluginEditorWindow::showFeed() {
    const std::vector<std::string> lines = feed_.lines();
    const bool same =
        lines.size() == memo_.size() && std::equal(lines.begin(), lines.end(), memo_.begin());
    const std::string hint = feed_.paused() ? pausedText(feed_.newWhilePaused()) : "";
    if (state(Memo1).hint != hint) setHint(Memo1, hint);
    if (same) return;
    memo_.assign(lines.begin(), lines.end());
    memoChanged();
}

void TPluginEditorWindow::logOpen(LogLines& lines) {
    feed_.open(lines);
    showFeed();
}

void TPluginEditorWindow::logIdle(LogLines& lines, bool clearPending) {
    if (feed_.idle(lines, clearPending) || feed_.paused()) showFeed();
}

void TPluginEditorWindow::appendLine(const std::string& line) {
    feed_.addOwn(line);
    showFeed();
}

std::string TPluginEditorWindow::memoText() const {
    std::string text;
    for (const std::string& line : memo_) {
        text += line;
        text += "\r\n";
    }
    return text;
}

namespace {

Menu contextMenuOf(Id on) {
    const Menu menu = on == Id::Count ? Menu::PopupMenu1 : control(on).menu;
    return menu == Menu::None ? Menu::PopupMenu1 : menu;
}

}  // namespace

std::vector<MenuEntry> TPluginEditorWindow::openContextMenu(Id on) {
    const Menu menu = contextMenuOf(on);
    if (menu != Menu::PopupMenu2) PopupMenu1Popup();
    std::vector<MenuEntry> entries;
    for (const MenuItem& item : menuItems(menu))
        entries.push_back({menuCaption(item), item.checkItem, menuItemChecked(item)});
    return entries;
}

void TPluginEditorWindow::contextMenuChosen(Id on, std::size_t entry) {
    const std::vector<MenuItem>& items = menuItems(contextMenuOf(on));
    if (entry < items.size()) menuItemClick(items[entry].name, on);
}

void TPluginEditorWindow::menuItemClick(const std::string& item, Id on) {
    if (item == "StopLoggingMidiData1" || item == "MenuItem2") {
        StopLoggingMidiData1Click();
    } else if (item == "Clearlog1" || item == "MenuItem3") {
        Clearlog1Click();
    } else if (item == "Savelog1" || item == "MenuItem4") {
        Savelog1Click();
    } else if (item == "About1" || item == "MenuItem5") {
        About1Click();
    } else if (item == "MenuItem1") {
        Copytoclipboard1Click();
    } else if (item == "Renameoutputbus1") {
        Renameoutputbus1Click(on);
    } else {
        logViewItemClick(item);
    }
}

}  // namespace editor
