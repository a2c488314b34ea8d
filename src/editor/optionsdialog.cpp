#include "editor/optionsdialog.h"

#include <iterator>
#include <utility>

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

const char* OptionsDialog::title() {
    return optionsForm()[0].caption;
}

std::vector<OptionsItem> OptionsDialog::items(bool withScale) const {
    const auto& form = optionsForm();
    std::vector<OptionsItem> items;
    for (std::size_t i = 1; i < kOptionsControlCount; ++i) {
        const OptId id = static_cast<OptId>(i);
        if (!withScale && (id == OptId::Label2 || id == OptId::ComboBox1)) continue;
        const Control& c = form[i];
        OptionsItem item;
        item.id = id;
        item.control = &c;
        item.text = c.caption;
        // Only the start-up boxes and the scale list show their hints; "log meta?" carries one
        // without showing it.
        if (c.style & ShowsHint) item.tooltip = c.hint;
        if (c.kind == Kind::Edit) item.text = trackNameText_;
        if (c.kind == Kind::CheckBox) item.checked = checked(id);
        if (c.kind == Kind::DropDown) {
            item.entries = scaleEntries();
            item.selected = scaleSelected_;
        }
        if (c.kind == Kind::Label) {
            const OptId beside = id == OptId::Label2 ? OptId::ComboBox1 : OptId::Edit1;
            item.labelEnd = form[static_cast<std::size_t>(beside)].left;
        }
        items.push_back(std::move(item));
    }
    return items;
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
