#pragma once

#include <QColor>

namespace kc {

/// Contrast that text needs against its background to be read with ease
/// (the ratio WCAG asks of body text).
inline constexpr double kTextContrast = 4.5;

/// Contrast ratio of two colours, as WCAG defines it: the lighter colour's
/// relative luminance plus 0.05 over the darker one's plus 0.05; from 1 (the
/// same) to 21 (black and white). Alpha is ignored.
double contrastRatio(const QColor &a, const QColor &b);

/// `wanted` drawn so that it reads on `background`: itself when the two
/// already reach `minRatio`; otherwise the same hue and saturation with the
/// lightness moved away from the background just far enough (towards black or
/// white, whichever can reach the ratio; where neither can, as far as the
/// better one goes). Alpha is kept; an invalid colour comes back unchanged.
QColor legibleOn(const QColor &wanted, const QColor &background, double minRatio = kTextContrast);

} // namespace kc
