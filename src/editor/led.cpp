#include "editor/led.h"

namespace editor {
namespace {

constexpr int kSize = 17;

// Squared distance from the centre, in quarter pixels, so that the rings come out round.
int distance2(int x, int y) {
    const int dx = 2 * x - (kSize - 1), dy = 2 * y - (kSize - 1);
    return dx * dx + dy * dy;
}

Picture drawLed() {
    Picture p{kSize, kSize, std::vector<Rgb>(kSize * kSize, kBlack)};
    for (int y = 0; y < kSize; ++y) {
        for (int x = 0; x < kSize; ++x) {
            const int d = distance2(x, y);
            if (d > 4 * 7 * 7 + 4) continue;  // outside: black
            p.at(x, y) = d > 4 * 6 * 6 - 8 ? kGrey : kGreen;
            // A small highlight up and to the left of the centre.
            const int hx = 2 * x - 10, hy = 2 * y - 10;
            if (hx * hx + hy * hy <= 5) p.at(x, y) = kWhite;
        }
    }
    return p;
}

}  // namespace

const Picture& greenLedPicture() {
    static const Picture picture = drawLed();
    return picture;
}

const Picture& ledMask() {
    static const Picture mask = [] {
        Picture m = greenLedPicture();
        for (Rgb& px : m.pixels) px = px == kBlack ? kWhite : kBlack;
        return m;
    }();
    return mask;
}

TransLed::TransLed(ColourResolver resolve) : resolve_(std::move(resolve)) {
    colour_ = kGreen;
    picture_ = greenLedPicture();
}

void TransLed::setColour(Colour c) {
    if (c == colour_) return;
    colour_ = c;
    recolour();
}

void TransLed::recolour() {
    const Colour c = colour_;
    picture_ = greenLedPicture();
    Rgb value = c;
    if (c & kSystemColour) value = resolve_ ? resolve_(c) : kGrey;
    for (Rgb& px : picture_.pixels) {
        if (px == kGreen) px = value;
    }
    ++repaints_;
    if (onRepaint) onRepaint();
}

void TransLed::setBounds(int left, int top, int width, int height) {
    if (autoSize) {
        width = picture_.width;
        height = picture_.height;
    }
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
}

void TransLed::paint(Picture& surface) const {
    const Picture& m = mask();
    const int ox = drawX(), oy = drawY();
    for (int y = 0; y < picture_.height; ++y) {
        for (int x = 0; x < picture_.width; ++x) {
            const int sx = x + ox, sy = y + oy;
            if (sx < 0 || sy < 0 || sx >= surface.width || sy >= surface.height) continue;
            Rgb& dst = surface.at(sx, sy);
            dst &= m.at(x, y);
            dst |= picture_.at(x, y);
        }
    }
}

}  // namespace editor
