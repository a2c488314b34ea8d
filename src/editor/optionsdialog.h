// The options dialog's logic: the five start-up options ("SysEx" and "SampleAccurate" among
// them) and the editor's scale, written to the user's settings at each click, and the two values
// the editor takes back when the dialog closes ("log meta?" and the track name). It describes
// the dialog's controls (places, texts, states, tooltips) once; each view draws that description
// and reports the user's actions back. Every call comes from the user-interface thread.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "editor/form.h"

namespace editor {

// One control of the dialog as a view draws it: the view makes it at the form's place (pixels
// at 100 %) and shows what the item says.
struct OptionsItem {
    OptId id = OptId::Form1;
    const Control* control = nullptr;  // kind, place and style in the form
    std::string text;                  // the caption, or the edit's text; lines end in CR LF
    const char* tooltip = nullptr;     // the hint shown over it; null: none is shown
    bool checked = false;              // a check box
    std::vector<std::string> entries;  // a list
    int selected = -1;                 // a list: the entry shown, -1 for none
    // A label: the left edge of the control on its row; the label ends before it.
    int labelEnd = 0;
};

class OptionsDialog {
public:
    // Fills the dialog (FormCreate): the stored start-up options, "log meta?" from its
    // parameter value (checked when not zero) and the track name.
    OptionsDialog(float logMetaValue, const std::string& trackName);

    bool checked(OptId box) const { return checked_[static_cast<std::size_t>(box)]; }
    const std::string& trackNameText() const noexcept { return trackNameText_; }
    bool logMeta() const noexcept { return logMeta_; }

    // The editor-scale list (ComboBox1): its entries, the stored percentage of each (0 is
    // automatic), and the entry shown (-1 when the stored value is none of them).
    static const std::vector<std::string>& scaleEntries();
    static int scaleOfEntry(int entry);
    int scaleSelected() const noexcept { return scaleSelected_; }

    // The dialog's title and the controls a view makes, in table order: every control but the
    // window itself, without the editor-scale row unless `withScale` (the X11 view's: Windows
    // scales a window itself by its setting for the display and the host's awareness of it).
    static const char* title();
    std::vector<OptionsItem> items(bool withScale) const;

    // The user's actions.
    void userCheck(OptId box, bool checked);
    void userSelectScale(int entry);             // stored at once
    void userEditText(const std::string& text);  // Edit1Change
    void BitBtn1Click() { closed_ = true; }
    bool closed() const noexcept { return closed_; }

private:
    void setChecked(OptId box, bool checked);
    void VSTiClick(OptId box);

    std::array<bool, kOptionsControlCount> checked_{};
    bool logMeta_ = false;
    int scaleSelected_ = -1;
    std::string trackNameText_;
    bool closed_ = false;
};

}  // namespace editor
