#include "platform/linux/TitleIcon.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace platform {

namespace {
// The sizes trays ask for; more would only enlarge what travels over the bus.
constexpr int iconSizes[] = { 16, 22, 24, 32, 48, 64 };
} // namespace

QImage renderTitleIcon(const QString &title, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);

    QFont font;
    font.setBold(true);
    font.setPixelSize(100);
    QPainterPath glyphs;
    glyphs.addText(0, 0, font, title);
    const QRectF bounds = glyphs.boundingRect();
    if (bounds.isEmpty())
        return image;

    // Fit the glyphs inside a margin so the outline is never clipped.
    const qreal margin = qMax<qreal>(1.0, size / 16.0);
    const qreal scale = qMin((size - 2 * margin) / bounds.width(), (size - 2 * margin) / bounds.height());
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(size / 2.0, size / 2.0);
    painter.scale(scale, scale);
    painter.translate(-bounds.center());
    // A dark outline around light glyphs reads on light and dark panels alike.
    painter.setPen(
        QPen(QColor(32, 32, 32), margin * 1.5 / scale, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(QColor(245, 245, 245));
    painter.drawPath(glyphs);
    return image;
}

QIcon titleIcon(const QString &title)
{
    QIcon icon;
    for (const int size : iconSizes)
        icon.addPixmap(QPixmap::fromImage(renderTitleIcon(title, size)));
    return icon;
}

} // namespace platform
