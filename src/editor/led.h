// The activity LED: a 17 x 17 round LED drawn through a mask over whatever lies behind it.
// Its colour is changed by replacing the picture's pure-green body pixels, always starting
// again from the green picture.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace editor {

// 0x00RRGGBB.
using Rgb = std::uint32_t;
inline constexpr Rgb rgb(unsigned r, unsigned g, unsigned b) noexcept {
    return (r << 16) | (g << 8) | b;
}
inline constexpr Rgb kBlack = rgb(0, 0, 0), kWhite = rgb(255, 255, 255), kGreen = rgb(0, 255, 0),
                     kYellow = rgb(255, 255, 0), kGrey = rgb(128, 128, 128);

// A colour as the controls take it: an RGB value, or a system colour index with the top bit
// set (turned into its current RGB value when drawn).
using Colour = std::uint32_t;
inline constexpr Colour kSystemColour = 0x80000000u;
inline constexpr Colour kMenuColour = kSystemColour | 4u;  // the menu background

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<Rgb> pixels;  // row by row from the top
    Rgb at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
    Rgb& at(int x, int y) { return pixels[static_cast<std::size_t>(y * width + x)]; }
};

// The green LED (black outside, pure green body, grey rim, white highlight) and its mask
// (white outside, black over the LED).
const Picture& greenLedPicture();
const Picture& ledMask();

class TransLed {
public:
    using ColourResolver = std::function<Rgb(Colour)>;
    // Starts green, 17 x 17.
    explicit TransLed(ColourResolver resolve = {});

    void setColour(Colour c);
    // Paints the current colour afresh: a system colour may now stand for another value (the
    // window system that answers for it has only just arrived).
    void recolour();
    Colour colour() const noexcept { return colour_; }
    const Picture& picture() const noexcept { return picture_; }
    const Picture& mask() const noexcept { return ledMask(); }

    // Called whenever the control needs repainting; counted.
    std::function<void()> onRepaint;
    int repaints() const noexcept { return repaints_; }

    // With automatic sizing the control takes the picture's size.
    bool autoSize = true;
    void setBounds(int left, int top, int width, int height);
    int left() const noexcept { return left_; }
    int top() const noexcept { return top_; }
    int width() const noexcept { return width_; }
    int height() const noexcept { return height_; }

    // Where the picture's top-left corner lands in the control (centred, rounded towards zero).
    int drawX() const noexcept { return (width_ - picture_.width) / 2; }
    int drawY() const noexcept { return (height_ - picture_.height) / 2; }
    // Draws onto `surface`, the control's client area: AND with the mask, then OR the picture.
    void paint(Picture& surface) const;
    // Draws the LED in its current colour at `size` x `size` pixels, centred on `surface`: for
    // a view that shows the window scaled (17 draws the picture itself).
    void paintAt(Picture& surface, int size) const;

private:
    ColourResolver resolve_;
    Colour colour_ = 0;
    Picture picture_;
    Rgb body_ = kGreen;  // the body's RGB value in the current colour
    int repaints_ = 0;
    int left_ = 0, top_ = 0, width_ = 17, height_ = 17;
};

}  // namespace editor
