// The log view's own menu items: hiding statuses, pause, the time prefix and saving the view
// as text. The lines themselves come and go through the feed (logfeed.h).
#include <cstdio>
#include <ctime>
#include <string>

#include "editor/editorwindow.h"
#include "platform/notice.h"

namespace editor {
namespace {

struct HideItem {
    const char* name;
    std::uint8_t status;  // a channel message kind
};
constexpr HideItem kHideItems[] = {
    {"HideNoteOff1", 0x80},   {"HideNoteOn1", 0x90},  {"HidePolyPressure1", 0xA0},
    {"HideControl1", 0xB0},   {"HideProgram1", 0xC0}, {"HideChannelPressure1", 0xD0},
    {"HidePitchBend1", 0xE0},
};

struct TimeItem {
    const char* name;
    LogTimePrefix prefix;
};
constexpr TimeItem kTimeItems[] = {{"TimeOff1", LogTimePrefix::Off},
                                   {"TimeSeconds1", LogTimePrefix::Seconds},
                                   {"TimeBars1", LogTimePrefix::Bars}};

}  // namespace

bool TPluginEditorWindow::menuItemChecked(const MenuItem& item) const {
    const std::string name = item.name;
    if (name == "StopLoggingMidiData1" || name == "MenuItem2") return logMenuChecked_;
    if (name == "PauseLog1") return feed_.paused();
    if (name == "HideClock1") return feed_.show().clockAndSensingHidden();
    for (const HideItem& h : kHideItems)
        if (name == h.name) return feed_.show().kindHidden(h.status);
    for (const TimeItem& t : kTimeItems)
        if (name == t.name) return feed_.show().timePrefix() == t.prefix;
    return false;
}

std::string TPluginEditorWindow::menuCaption(const MenuItem& item) const {
    if (std::string(item.name) == "PauseLog1" && feed_.paused())
        return std::string(item.caption) + " (" + pausedText(feed_.newWhilePaused()) + ")";
    return item.caption;
}

void TPluginEditorWindow::logViewItemClick(const std::string& item) {
    LogShow& show = feed_.show();
    if (item == "PauseLog1") {
        feed_.setPaused(!feed_.paused());
    } else if (item == "HideClock1") {
        show.hideClockAndSensing(!show.clockAndSensingHidden());
    } else if (item == "SaveLogText1") {
        SaveLogText1Click();
        return;
    } else {
        bool known = false;
        for (const HideItem& h : kHideItems) {
            if (item == h.name) {
                show.hideKind(h.status, !show.kindHidden(h.status));
                known = true;
            }
        }
        for (const TimeItem& t : kTimeItems) {
            if (item == t.name) {
                show.setTimePrefix(t.prefix);
                known = true;
            }
        }
        if (!known) return;
    }
    feed_.refilter();
    showFeed();
}

// The view's lines as they are shown (time prefix included), as a UTF-8 text file.
void TPluginEditorWindow::SaveLogText1Click() {
    const std::time_t now = std::time(nullptr);
    const std::tm* t = std::localtime(&now);
    char proposed[64];
    std::snprintf(proposed, sizeof proposed, "midi log %02d-%02d-%02d.txt", t ? t->tm_hour : 0,
                  t ? t->tm_min : 0, t ? t->tm_sec : 0);
    std::string path;
    if (!view_ || !view_->chooseSaveFile(proposed, path)) return;
    const std::vector<std::string> lines = feed_.lines();
    std::string error;
    if (!saveLogText(path, lines, error)) {
        platform::showNotice(error.c_str(), "Save log as text", platform::NoticeKind::Error);
        return;
    }
    appendLine("Saved to: " + path);
}

}  // namespace editor
