#include "editor/optionsdialog.h"

#include <iterator>

#include "host/options.h"
#include "platform/settings.h"

namespace editor {
namespace {

const char* optionName(OptId box) {
    switch (box) {
        case OptId::VSTi:
            return kOptionVSTi;
        case OptId::ProcRep:
            return kOptionProcRep;
        case OptId::EmuIn:
            return kOptionEmuIn;
        case OptId::SysEx:
            return kOptionSysEx;
        case OptId::SampleAccurate:
            return kOptionSampleAccurate;
        default:
            return nullptr;
    }
}

constexpr int kScaleChoices[] = {0, 100, 150, 200};

int entryOfScale(int percent) {
    for (int i = 0; i < static_cast<int>(std::size(kScaleChoices)); ++i) {
        if (kScaleChoices[i] == percent) return i;
    }
    return -1;
}

}  // namespace

const std::vector<std::string>& OptionsDialog::scaleEntries() {
    static const std::vector<std::string> entries = {"Auto", "100 %", "150 %", "200 %"};
    return entries;
}

int OptionsDialog::scaleOfEntry(int entry) {
    return entry >= 0 && entry < static_cast<int>(std::size(kScaleChoices)) ? kScaleChoices[entry]
                                                                            : -1;
}

OptionsDialog::OptionsDialog(float logMetaValue, const std::string& trackName)
    : trackNameText_(trackName) {
    // Only values that exist are shown; a missing one leaves its box unchecked.
    platform::SettingsStore& store = platform::userSettings();
    if (store.openKey(kOptionsKey, true)) {
        for (OptId box :
             {OptId::VSTi, OptId::ProcRep, OptId::EmuIn, OptId::SysEx, OptId::SampleAccurate}) {
            if (auto v = store.readDword(kOptionsKey, optionName(box))) setChecked(box, *v != 0);
        }
    }
    scaleSelected_ = entryOfScale(readEditorScale());
    logMeta_ = logMetaValue != 0.0f;
    checked_[static_cast<std::size_t>(OptId::CheckBox1)] = logMeta_;
}

void OptionsDialog::setChecked(OptId box, bool checked) {
    bool& state = checked_[static_cast<std::size_t>(box)];
    if (state == checked) return;
    state = checked;
    if (box == OptId::CheckBox1) {
        logMeta_ = checked;  // CheckBox1Click
    } else if (optionName(box)) {
        VSTiClick(box);
    }
}

void OptionsDialog::userCheck(OptId box, bool checked) {
    setChecked(box, checked);
}

void OptionsDialog::VSTiClick(OptId box) {
    writeOption(optionName(box), checked(box));
}

void OptionsDialog::userSelectScale(int entry) {
    const int percent = scaleOfEntry(entry);
    if (percent < 0) return;
    scaleSelected_ = entry;
    writeEditorScale(percent);
}

void OptionsDialog::userEditText(const std::string& text) {
    trackNameText_ = text;
}

}  // namespace editor
