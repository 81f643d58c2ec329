#include "widgets/contrast.h"

#include <algorithm>
#include <cmath>

namespace kc {

namespace {

double linear(double channel)
{
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

double luminance(const QColor &colour)
{
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
}

double ratio(double a, double b)
{
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

} // namespace

double contrastRatio(const QColor &a, const QColor &b)
{
    return ratio(luminance(a), luminance(b));
}

QColor legibleOn(const QColor &wanted, const QColor &background, double minRatio)
{
    if (!wanted.isValid())
        return wanted;
    const double back = luminance(background);
    const double own = luminance(wanted);
    if (ratio(own, back) >= minRatio)
        return wanted;
    const double withBlack = ratio(0, back);
    const double withWhite = ratio(1, back);
    bool darken;
    if (withBlack >= minRatio && withWhite >= minRatio)
        darken = own <= back;
    else if (withBlack >= minRatio || withWhite >= minRatio)
        darken = withBlack >= minRatio;
    else
        darken = withBlack >= withWhite;

    float hue = 0, saturation = 0, lightness = 0, alpha = 1;
    wanted.toHsl().getHslF(&hue, &saturation, &lightness, &alpha);
    hue = std::max(hue, 0.0f); // -1 for greys, where the hue does not matter
    const auto at = [&](double l) { return QColor::fromHslF(hue, saturation, static_cast<float>(l), alpha); };
    // Luminance grows with HSL lightness at a fixed hue and saturation: bisect
    // for the lightness nearest the wanted one that still reads.
    double reads = darken ? 0.0 : 1.0;
    double fails = lightness;
    for (int i = 0; i < 24; ++i) {
        const double middle = (reads + fails) / 2;
        (ratio(luminance(at(middle)), back) >= minRatio ? reads : fails) = middle;
    }
    return at(reads);
}

} // namespace kc
