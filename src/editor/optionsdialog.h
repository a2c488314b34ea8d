// The options dialog's logic: the four start-up options, written to the user's settings at
// each click, and the two values the editor takes back when the dialog closes ("log meta?"
// and the track name).
#pragma once

#include <array>
#include <string>

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

    // The user's actions.
    void userCheck(OptId box, bool checked);
    void userEditText(const std::string& text);  // Edit1Change
    void BitBtn1Click() { closed_ = true; }
    bool closed() const noexcept { return closed_; }

private:
    void setChecked(OptId box, bool checked);
    void VSTiClick(OptId box);

    std::array<bool, kOptionsControlCount> checked_{};
    bool logMeta_ = false;
    std::string trackNameText_;
    bool closed_ = false;
};

}  // namespace editor
