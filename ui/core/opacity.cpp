#include "ui/core/opacity.h"

#include <cmath>

namespace {

constexpr double binary_fraction_allowance = 1e-6;

}  // namespace

double opacity_setting_from_slider(int slider_value) { return slider_value / 100.0; }

int opacity_slider_from_setting(double stored) {
    if (!std::isfinite(stored)) return 100;
    const double pct = std::floor(stored * 100.0 + binary_fraction_allowance);
    if (pct > 100) return 100;
    if (pct < 0) return 0;
    return int(pct);
}
