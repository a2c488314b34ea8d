// The editor's scale: the form is laid out in pixels at 100 %, and a view on a display with
// more dots per inch draws every place, size and font at a larger scale. Scales come in steps
// of 25 % from 100 % to 200 %: a font's pixel size and a line's width are whole numbers, and at
// these steps the form's 1-pixel gaps and 2-pixel steps stay even, so nothing lands half on a
// pixel.
#pragma once

#include <optional>
#include <string_view>

namespace editor {

inline constexpr int kScaleMin = 100;
inline constexpr int kScaleMax = 200;
inline constexpr int kScaleStep = 25;
inline constexpr double kBaseDpi = 96.0;  // the dots per inch of 100 %

// The nearest step to `percent`, kept within 100 % .. 200 %.
int snapScale(double percent) noexcept;

// The scale for a display's dots per inch (96 is 100 %).
inline int scaleForDpi(double dpi) noexcept {
    return snapScale(dpi * 100.0 / kBaseDpi);
}

// The dots per inch in the text of an X resource value such as "192" or "144.5"; none for a
// text that is no positive number.
std::optional<double> parseDpi(std::string_view text);

// The scale a view uses: the user's choice (`option`, 0 for automatic), else the display's
// dots per inch when known, else 100 %.
int chooseScale(int option, std::optional<double> displayDpi) noexcept;

// A length or coordinate of the form at `percent`, rounded to the nearest pixel.
constexpr int scaled(int px, int percent) noexcept {
    const int p = px * percent;
    return p >= 0 ? (p + 50) / 100 : -((-p + 50) / 100);
}

// A rectangle of the form at `percent`. Its edges are scaled, not its size, so rectangles that
// touch in the form still touch at every scale.
struct ScaledRect {
    int x, y, w, h;
};
constexpr ScaledRect scaledRect(int x, int y, int w, int h, int percent) noexcept {
    const int left = scaled(x, percent), top = scaled(y, percent);
    return {left, top, scaled(x + w, percent) - left, scaled(y + h, percent) - top};
}

}  // namespace editor
