// The options dialog's logic: the five start-up options ("SysEx" and "SampleAccurate" among
// them) and the editor's scale, written to the user's settings at each click, and the two values
// the editor takes back when the dialog closes ("log meta?" and the track name).
#pragma once

#include <array>
#include <string>
#include <vector>

#include "editor/form.h"

namespace editor {

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
