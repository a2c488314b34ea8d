// The editor window's logic, independent of any window system: the state of every control of
// the form, the shared handlers that turn control changes into parameter values, the list
// fills, the periodic synchronisation pass, the log view and the log menu commands. A view
// (one per window system) shows the states and reports the user's actions back.
//
// Changes the window makes itself to a check box, a radio button or a slider run that
// control's handler exactly as a user's change does; a list selection it makes itself does
// not. Views only report what the user did, so this holds whatever the toolkit does.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "editor/form.h"
#include "editor/led.h"
#include "editor/logfeed.h"
#include "editor/pluginaccess.h"
#include "engine/loglines.h"

namespace editor {

class OptionsDialog;

enum class Property : std::uint8_t {
    Enabled,
    Visible,
    Checked,
    Position,
    Selection,
    Text,
    Entries,
    Hint,
    Memo,
    Led,
    ActivePage,
};

struct ControlState {
    bool enabled = true;
    bool visible = true;
    bool checked = false;
    int position = 0;
    int selected = -1;
    std::string text;
    std::string hint;
    std::vector<std::string> entries;
};

// One item of a context menu as a view shows it.
struct MenuEntry {
    std::string caption;
    bool checkItem = false;  // shows a check mark when `checked`
    bool checked = false;
};

// What a window system offers the window.
class EditorView {
public:
    virtual ~EditorView() = default;
    // A control's property changed; the view shows the new state.
    virtual void changed(Id id, Property what) = 0;
    // The save dialog: false when the user cancels.
    virtual bool chooseSaveFile(const std::string& proposed, std::string& path) = 0;
    // Copies the log view's selected text to the clipboard.
    virtual void copyMemoSelection() = 0;
    // Shows the options dialog modally; returns when it has closed.
    virtual void showOptions(OptionsDialog& dialog) = 0;
    // The current RGB value of a system colour.
    virtual Rgb systemColour(Colour c) = 0;
    // The user's decimal separator, for the numbers the window shows.
    virtual char decimalSeparator() { return '.'; }
    // The host's idle call (user-interface thread): a view that shares no event loop with the
    // host serves its window's events and timer here.
    virtual void idle() {}
    // The scale in percent at which the view draws the form (see editor/scale.h); the host's
    // window must be the form's size at that scale.
    virtual int scalePercent() const { return 100; }
    // The view's own top-level window in the window system (an X window id); 0 when none.
    virtual std::uintptr_t nativeWindow() const { return 0; }
};

// The text of a 32-bit float in the delay and tempo lines: 2, 4 or 6 decimals by size, "0"
// at or below 0.000001, at most 7 significant digits; `separator` between the integer part and
// the decimals.
std::string floatText(float x, char separator = '.');

class TPluginEditorWindow {
public:
    explicit TPluginEditorWindow(PluginAccess& plugin);
    ~TPluginEditorWindow();
    TPluginEditorWindow(const TPluginEditorWindow&) = delete;
    TPluginEditorWindow& operator=(const TPluginEditorWindow&) = delete;

    // The view that shows this window (may be none; not owned). The LED takes the view's
    // system colours from now on.
    void setView(EditorView* view);
    PluginAccess& plugin() noexcept { return plugin_; }

    const ControlState& state(Id id) const { return states_[index(id)]; }
    int activePage() const noexcept { return activePage_; }
    TransLed& led() noexcept { return led_; }
    // Every control change told to the view so far.
    int changeCount() const noexcept { return changes_; }

    // Set-up, lists and the synchronisation pass.
    void FormCreate();
    void fillChoiceLists();
    void syncAllLists();
    void refreshBusLists();
    void UpdaterTimer();  // one synchronisation pass

    // What the user did, reported by the view.
    void userSelect(Id list, int entry);
    void userCheck(Id box, bool checked);
    void userSlide(Id slider, int position);
    void userRadio(Id button);
    void userMouseDown(Id target);  // the page control or a page
    void userPage(int page);
    void userEditText(const std::string& text);
    // A key in the bus-label edit; true when the window took it (Enter or Escape).
    bool Edit1KeyDown(int key);

    // The context menu a right click on `on` opens (Id::Count: on no control of the form): the
    // control's own menu, else the window's, with each item's caption and check mark as they
    // are now. Opening a menu of the log's commands reads the log switch first.
    std::vector<MenuEntry> openContextMenu(Id on);
    // The user chose entry `entry` of the menu openContextMenu(on) gave.
    void contextMenuChosen(Id on, std::size_t entry);

    // Menu commands.
    void PopupMenu1Popup();
    bool logMenuChecked() const noexcept { return logMenuChecked_; }
    void StopLoggingMidiData1Click();
    void Clearlog1Click();
    void Savelog1Click();
    void Copytoclipboard1Click();
    void About1Click();
    void Renameoutputbus1Click(Id list);
    // Runs a context-menu item by its name (`on`: the control the menu was opened on).
    void menuItemClick(const std::string& item, Id on);
    // A check item's state and an item's caption as the menu shows them now.
    bool menuItemChecked(const MenuItem& item) const;
    std::string menuCaption(const MenuItem& item) const;
    // The log view's own commands: hiding statuses, pause, time prefix, save as text.
    void logViewItemClick(const std::string& item);
    void SaveLogText1Click();
    int renameBus() const noexcept { return renameBus_; }

    // The log view (Memo1): the log's lines through the feed, and the editor's own lines.
    void logOpen(LogLines& lines);
    void logIdle(LogLines& lines, bool clearPending);
    LogFeed& logFeed() noexcept { return feed_; }
    std::size_t lineCount() const { return memo_.size(); }
    void appendLine(const std::string& line);
    const std::deque<std::string>& memoLines() const noexcept { return memo_; }
    std::string memoText() const;  // lines joined by CR LF

private:
    ControlState& mut(Id id) { return states_[index(id)]; }
    void notify(Id id, Property what);
    void memoChanged();
    // The view shows the feed's lines now; the pause count goes to the log's hint.
    void showFeed();

    // Changes made by the window itself.
    void setChecked(Id id, bool checked);
    void setPosition(Id id, int position);
    void setEnabled(Id id, bool enabled);
    void setVisible(Id id, bool visible);
    void setText(Id id, const std::string& text);
    void setHint(Id id, const std::string& hint);
    void setSelected(Id id, int entry);
    void setEntries(Id id, const std::vector<std::string>& entries);

    // The shared handlers.
    void ComboBoxChange(Id id);
    void CheckBoxClick(Id id);
    void RadioClick(Id id);
    void TrackBar6Change(Id id);
    void Memo1Change();

    float value(int index) const;
    std::string displayedText(Id list) const;

    PluginAccess& plugin_;
    EditorView* view_ = nullptr;
    std::array<ControlState, kControlCount> states_;
    int activePage_ = 0;
    TransLed led_;
    std::deque<std::string> memo_;
    LogFeed feed_;
    bool logMenuChecked_ = true;
    int renameBus_ = 0;
    int changes_ = 0;
};

}  // namespace editor
