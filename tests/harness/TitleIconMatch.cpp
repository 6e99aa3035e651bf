#include "TitleIconMatch.h"

#include "platform/linux/TitleIcon.h"

#include <cstdlib>
#include <limits>

namespace {

// Mean difference per channel (0-255), premultiplied so that the colour of fully
// transparent pixels does not count.
double distance(const QImage &a, const QImage &b)
{
    const QImage left = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage right = b.scaled(a.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                             .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    double total = 0;
    for (int y = 0; y < left.height(); ++y) {
        const auto *l = reinterpret_cast<const QRgb *>(left.constScanLine(y));
        const auto *r = reinterpret_cast<const QRgb *>(right.constScanLine(y));
        for (int x = 0; x < left.width(); ++x) {
            total += std::abs(qAlpha(l[x]) - qAlpha(r[x])) + std::abs(qRed(l[x]) - qRed(r[x]))
                + std::abs(qGreen(l[x]) - qGreen(r[x])) + std::abs(qBlue(l[x]) - qBlue(r[x]));
        }
    }
    return total / (4.0 * left.width() * left.height());
}

} // namespace

TitleMatch nearestTitle(const QImage &icon, const QStringList &candidates)
{
    TitleMatch match;
    double best = std::numeric_limits<double>::max();
    for (const QString &candidate : candidates) {
        const double d = distance(icon, platform::renderTitleIcon(candidate, icon.width()));
        match.distances += QStringLiteral("%1: %2 ").arg(candidate).arg(d, 0, 'f', 2);
        if (d < best) {
            best = d;
            match.title = candidate;
        }
    }
    return match;
}
