// The activity LED: recolouring by exact green, drawing through the mask.
#include <gtest/gtest.h>

#include "editor/led.h"

using namespace editor;

TEST(Led, PicturesHaveTheLedStructure) {
    const Picture& p = greenLedPicture();
    const Picture& m = ledMask();
    ASSERT_EQ(p.width, 17);
    ASSERT_EQ(p.height, 17);
    int outside = 0, body = 0;
    for (std::size_t i = 0; i < p.pixels.size(); ++i) {
        EXPECT_TRUE(p.pixels[i] == kBlack || p.pixels[i] == kGreen || p.pixels[i] == kGrey ||
                    p.pixels[i] == kWhite);
        EXPECT_EQ(m.pixels[i] == kWhite, p.pixels[i] == kBlack);
        outside += p.pixels[i] == kBlack;
        body += p.pixels[i] == kGreen;
    }
    EXPECT_GT(outside, 100);
    EXPECT_GT(body, 60);
    EXPECT_EQ(p.at(0, 0), kBlack);
    EXPECT_EQ(p.at(8, 8), kGreen);
}

TEST(Led, ColourChangesRepaintOnceAndNeverAccumulate) {
    TransLed led([](Colour) { return rgb(1, 2, 3); });
    int repaints = 0;
    led.onRepaint = [&] { ++repaints; };
    led.setColour(kYellow);
    led.setColour(kYellow);
    EXPECT_EQ(repaints, 1);
    EXPECT_EQ(led.picture().at(8, 8), kYellow);
    led.setColour(kGreen);
    EXPECT_EQ(led.picture().pixels, greenLedPicture().pixels);
    led.setColour(kMenuColour);  // system colours are resolved when written
    EXPECT_EQ(led.picture().at(8, 8), rgb(1, 2, 3));
    EXPECT_EQ(led.picture().at(0, 0), kBlack);
}

TEST(Led, SizingAndCentredDrawingThroughTheMask) {
    TransLed led;
    led.setBounds(3, 4, 40, 40);
    EXPECT_EQ(led.width(), 17);
    EXPECT_EQ(led.height(), 17);
    led.autoSize = false;
    led.setBounds(0, 0, 25, 25);
    EXPECT_EQ(led.drawX(), 4);
    EXPECT_EQ(led.drawY(), 4);

    for (Rgb background : {rgb(10, 200, 30), kWhite, kBlack}) {
        Picture surface{25, 25, std::vector<Rgb>(25 * 25, background)};
        led.setColour(kYellow);
        led.paint(surface);
        EXPECT_EQ(surface.at(0, 0), background);
        EXPECT_EQ(surface.at(4, 4), background);  // a picture corner lies outside the LED
        EXPECT_EQ(surface.at(24, 24), background);
        EXPECT_EQ(surface.at(12, 12), kYellow);
    }
}
