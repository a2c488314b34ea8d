#include "editor/led.h"

namespace editor {
namespace {

constexpr int kSize = 17;

// The LED drawn at `size` x `size` pixels: the rings and the highlight are measured in
// half pixels from the centre and scaled from the 17-pixel design, so the LED is drawn afresh
// at every size rather than blown up.
Picture drawLed(int size) {
    const double k = static_cast<double>(size) / kSize;
    Picture p{size, size, std::vector<Rgb>(static_cast<std::size_t>(size * size), kBlack)};
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const double dx = 2 * x - (size - 1), dy = 2 * y - (size - 1);
            const double d = dx * dx + dy * dy;
            if (d > (4 * 7 * 7 + 4) * k * k) continue;  // outside: black
            p.at(x, y) = d > (4 * 6 * 6 - 8) * k * k ? kGrey : kGreen;
            // A small highlight up and to the left of the centre.
            const double hx = dx + 6 * k, hy = dy + 6 * k;
            if (hx * hx + hy * hy <= 5 * k * k) p.at(x, y) = kWhite;
        }
    }
    return p;
}

}  // namespace

const Picture& greenLedPicture() {
    static const Picture picture = drawLed(kSize);
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
    body_ = value;
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

void TransLed::paintAt(Picture& surface, int size) const {
    Picture led = drawLed(size);
    const int ox = (surface.width - size) / 2, oy = (surface.height - size) / 2;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const int sx = x + ox, sy = y + oy;
            const Rgb px = led.at(x, y);
            if (px == kBlack || sx < 0 || sy < 0 || sx >= surface.width || sy >= surface.height)
                continue;
            surface.at(sx, sy) = px == kGreen ? body_ : px;
        }
    }
}

}  // namespace editor
