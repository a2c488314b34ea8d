// The editor object the host opens and closes. It reports the window's size; the window itself
// is created by a platform view.
#pragma once

#include "vst/audioeffect.h"

class APlugin;

class APluginEditor : public AEffEditor {
public:
    static constexpr std::int16_t kWidth = 344;
    static constexpr std::int16_t kHeight = 305;

    explicit APluginEditor(APlugin& plugin);
    ~APluginEditor() override;

    VstInt32 getRect(ERect** rect) override;
    VstInt32 open(void* parent) override;
    void close() override;
    void idle() override;
    void update() override;

    VstInt32 openCount() const noexcept { return openCount_; }
    bool hasWindow() const noexcept { return windowOpen_; }

private:
    APlugin& plugin_;
    ERect rect_{};
    VstInt32 openCount_ = 0;
    bool windowOpen_ = false;
    void* parentWindow_ = nullptr;
};
