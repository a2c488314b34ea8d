// The editor's scale: the display's dots per inch and the user's option chosen into a step,
// the form's rectangles at each step, the option in the user's settings and the options
// dialog, the host's editor rectangle, and the LED drawn at a larger size.
#include <gtest/gtest.h>

#include <limits>

#include "editor/led.h"
#include "editor/optionsdialog.h"
#include "editor/scale.h"
#include "editorfixture.h"
#include "host/options.h"

namespace {

using namespace editor;

constexpr Rgb kBlue = rgb(0, 0, 255);

TEST(EditorScale, DotsPerInchSnapToTheNearestStepWithin100And200) {
    EXPECT_EQ(scaleForDpi(96), 100);
    EXPECT_EQ(scaleForDpi(120), 125);
    EXPECT_EQ(scaleForDpi(144), 150);
    EXPECT_EQ(scaleForDpi(168), 175);
    EXPECT_EQ(scaleForDpi(192), 200);
    EXPECT_EQ(scaleForDpi(107), 100);  // 111.5 %
    EXPECT_EQ(scaleForDpi(108), 125);  // 112.5 %: halves go up
    EXPECT_EQ(scaleForDpi(72), 100);   // never smaller than the form
    EXPECT_EQ(scaleForDpi(384), 200);
    EXPECT_EQ(snapScale(std::numeric_limits<double>::quiet_NaN()), 100);
    EXPECT_EQ(snapScale(std::numeric_limits<double>::infinity()), 200);
}

TEST(EditorScale, XftDpiTextIsANumberOrNothing) {
    EXPECT_EQ(parseDpi("192"), 192.0);
    EXPECT_EQ(parseDpi(" 144.5\t"), 144.5);
    for (const char* bad : {"", "  ", "abc", "96x", "0", "-96", "inf", "nan", "1e999", "9,6"}) {
        EXPECT_FALSE(parseDpi(bad).has_value()) << bad;
    }
}

TEST(EditorScale, TheOptionOverridesTheDisplay) {
    EXPECT_EQ(chooseScale(0, 192.0), 200);
    EXPECT_EQ(chooseScale(0, std::nullopt), 100);
    EXPECT_EQ(chooseScale(100, 192.0), 100);
    EXPECT_EQ(chooseScale(150, std::nullopt), 150);
    EXPECT_EQ(chooseScale(130, 96.0), 125);  // a value set by hand lands on a step
}

TEST(EditorScale, RectanglesThatTouchInTheFormTouchAtEveryStep) {
    for (int percent = kScaleMin; percent <= kScaleMax; percent += kScaleStep) {
        // The five tabs across the window's width, as the view lays them out.
        int right = 0;
        for (int p = 0; p < 5; ++p) {
            const int left = p * kWindowWidth / 5, next = (p + 1) * kWindowWidth / 5;
            const ScaledRect r = scaledRect(left, 283, next - left, 22, percent);
            EXPECT_EQ(r.x, right) << percent;
            right = r.x + r.w;
            EXPECT_EQ(r.y + r.h, scaled(kWindowHeight, percent));
        }
        EXPECT_EQ(right, scaled(kWindowWidth, percent));
    }
    const ScaledRect same = scaledRect(33, 16, 249, 21, 100);
    EXPECT_EQ(same.x, 33);
    EXPECT_EQ(same.w, 249);
    EXPECT_EQ(scaled(305, 150), 458);  // 457.5 rounds up
    EXPECT_EQ(scaled(-7, 150), -11);   // and away from zero below it
}

TEST(EditorScale, TheOptionIsReadOnlyWhenItIsAPercentageInRange) {
    platform::MemorySettingsStore store;
    platform::ScopedSettingsStore scope(store);
    EXPECT_EQ(readEditorScale(), 0);
    EXPECT_FALSE(store.readDword(kOptionsKey, kOptionEditorScale).has_value());  // not created
    EXPECT_TRUE(writeEditorScale(150));
    EXPECT_EQ(readEditorScale(), 150);
    store.writeDword(kOptionsKey, kOptionEditorScale, 99);
    EXPECT_EQ(readEditorScale(), 0);
    store.writeDword(kOptionsKey, kOptionEditorScale, 201);
    EXPECT_EQ(readEditorScale(), 0);
    store.writeDword(kOptionsKey, kOptionEditorScale, 200);
    store.unavailable = true;
    EXPECT_EQ(readEditorScale(), 0);
    EXPECT_FALSE(writeEditorScale(100));
}

TEST(EditorScale, TheOptionsDialogShowsAndStoresTheScaleAtOnce) {
    platform::MemorySettingsStore store;
    platform::ScopedSettingsStore scope(store);
    ASSERT_EQ(OptionsDialog::scaleEntries().size(), 4u);
    EXPECT_EQ(OptionsDialog(0.0f, "").scaleSelected(), 0);  // missing: "Auto"

    store.writeDword(kOptionsKey, kOptionEditorScale, 200);
    OptionsDialog d(0.0f, "");
    EXPECT_EQ(OptionsDialog::scaleEntries()[static_cast<std::size_t>(d.scaleSelected())], "200 %");
    d.userSelectScale(0);
    EXPECT_EQ(store.readDword(kOptionsKey, kOptionEditorScale), 0u);
    d.userSelectScale(2);
    EXPECT_EQ(store.readDword(kOptionsKey, kOptionEditorScale), 150u);
    d.userSelectScale(4);  // no such entry: nothing changes
    EXPECT_EQ(d.scaleSelected(), 2);
    EXPECT_EQ(store.readDword(kOptionsKey, kOptionEditorScale), 150u);

    store.writeDword(kOptionsKey, kOptionEditorScale, 125);  // set by hand: no entry shows
    EXPECT_EQ(OptionsDialog(0.0f, "").scaleSelected(), -1);
}

using EditorRect = edtest::EditorTest;

TEST_F(EditorRect, TheHostIsToldTheScaledSizeAndKeepsItAfterClose) {
    ASSERT_EQ(open(), 1);
    ERect* rect = nullptr;
    view->scale = 200;
    call(effEditGetRect, 0, 0, &rect);
    ASSERT_NE(rect, nullptr);
    EXPECT_EQ(rect->right, 688);
    EXPECT_EQ(rect->bottom, 610);
    view->scale = 150;
    call(effEditGetRect, 0, 0, &rect);
    EXPECT_EQ(rect->right, 516);
    EXPECT_EQ(rect->bottom, 458);
    call(effEditClose);
    call(effEditGetRect, 0, 0, &rect);
    EXPECT_EQ(rect->right, 516);
    EXPECT_EQ(rect->bottom, 458);
}

// Every 2 x 2 block at even places alike: what a picture doubled pixel by pixel looks like.
bool doubledPixelByPixel(const Picture& p) {
    for (int y = 0; y + 1 < p.height; y += 2) {
        for (int x = 0; x + 1 < p.width; x += 2) {
            const Rgb c = p.at(x, y);
            if (p.at(x + 1, y) != c || p.at(x, y + 1) != c || p.at(x + 1, y + 1) != c) {
                return false;
            }
        }
    }
    return true;
}

TEST(EditorScale, TheLedIsDrawnAfreshAtTheScaledSize) {
    TransLed led;
    led.setColour(kYellow);
    Picture base{17, 17, std::vector<Rgb>(17 * 17, kBlue)};
    Picture same = base;
    led.paint(base);
    led.paintAt(same, 17);
    EXPECT_EQ(same.pixels, base.pixels);  // 17 is the picture itself

    Picture big{34, 34, std::vector<Rgb>(34 * 34, kBlue)};
    led.paintAt(big, 34);
    EXPECT_EQ(big.at(0, 0), kBlue);  // the background shows outside the ring
    EXPECT_EQ(big.at(17, 17), kYellow);
    EXPECT_EQ(big.at(17, 3), kGrey);  // the rim at the top
    EXPECT_FALSE(doubledPixelByPixel(big));
}

}  // namespace
