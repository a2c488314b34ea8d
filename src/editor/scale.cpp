#include "editor/scale.h"

#include <charconv>
#include <cmath>

namespace editor {

int snapScale(double percent) noexcept {
    if (!(percent > kScaleMin)) return kScaleMin;  // also NaN
    if (percent >= kScaleMax) return kScaleMax;
    const double steps = std::floor((percent - kScaleMin) / kScaleStep + 0.5);
    return kScaleMin + static_cast<int>(steps) * kScaleStep;
}

std::optional<double> parseDpi(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    // Read as the C locale reads it, whatever the host's locale says of the decimal point.
    double dpi = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), dpi);
    if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(dpi) ||
        dpi <= 0.0) {
        return std::nullopt;
    }
    return dpi;
}

int chooseScale(int option, std::optional<double> displayDpi) noexcept {
    if (option != 0) return snapScale(option);
    return displayDpi ? scaleForDpi(*displayDpi) : kScaleMin;
}

}  // namespace editor
