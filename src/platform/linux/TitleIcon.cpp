#include "platform/linux/TitleIcon.h"

#include <QFont>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cmath>

namespace platform {

namespace {

// The sizes trays ask for at scale 1; larger requests are rendered on demand.
const QList<int> offeredSizes = { 16, 22, 24, 32, 48, 64 };

struct Palette
{
    QColor glyph;
    QColor halo; // a thin edge around the glyphs, for panels that do not match the scheme
    QColor plate; // transparent: no plate
    QColor rim;
};

Palette paletteFor(ColorScheme scheme)
{
    switch (scheme) {
    case ColorScheme::preferDark:
        return { QColor(245, 245, 245), QColor(0, 0, 0, 200), Qt::transparent, Qt::transparent };
    case ColorScheme::preferLight:
        return { QColor(30, 30, 30), QColor(255, 255, 255, 210), Qt::transparent, Qt::transparent };
    case ColorScheme::noPreference:
        break;
    }
    return { QColor(255, 255, 255), Qt::transparent, QColor(40, 44, 52), QColor(220, 220, 220) };
}

QPainterPath glyphOutlines(const QString &title)
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setWeight(QFont::Bold);
    font.setPixelSize(100);
    QPainterPath path;
    path.addText(0, 0, font, title);
    return path;
}

class TitleIconEngine final : public QIconEngine
{
public:
    TitleIconEngine(const QString &title, ColorScheme scheme)
        : title(title)
        , scheme(scheme)
    { }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode, QIcon::State) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const int side = qMin(rect.width(), rect.height());
        QImage image = renderTitleIcon(title, qRound(side * ratio), scheme);
        image.setDevicePixelRatio(ratio);
        painter->drawImage(QRectF(rect.x() + (rect.width() - side) / 2.0,
                               rect.y() + (rect.height() - side) / 2.0, side, side),
            image);
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        return QPixmap::fromImage(renderTitleIcon(title, qMin(size.width(), size.height()), scheme));
    }

    QPixmap scaledPixmap(const QSize &size, QIcon::Mode, QIcon::State, qreal scale) override
    {
        const int side = qMin(size.width(), size.height());
#if QT_VERSION < QT_VERSION_CHECK(6, 8, 0)
        // Before Qt 6.8 the size arrives in device pixels already.
        const int devicePixels = side;
#else
        const int devicePixels = qRound(side * scale);
#endif
        QImage image = renderTitleIcon(title, devicePixels, scheme);
        image.setDevicePixelRatio(scale);
        return QPixmap::fromImage(image);
    }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        const int side = qMin(size.width(), size.height());
        return { side, side };
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        QList<QSize> sizes;
        for (const int side : offeredSizes)
            sizes.append(QSize(side, side));
        return sizes;
    }

    QIconEngine *clone() const override
    {
        return new TitleIconEngine(title, scheme);
    }
    QString key() const override
    {
        return QStringLiteral("orlinde-title");
    }

private:
    QString title;
    ColorScheme scheme;
};

} // namespace

QImage renderTitleIcon(const QString &title, int size, ColorScheme scheme)
{
    QImage image(qMax(size, 1), qMax(size, 1), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const QPainterPath glyphs = glyphOutlines(title);
    const QRectF bounds = glyphs.boundingRect();
    if (size < 8 || bounds.isEmpty())
        return image;

    const Palette palette = paletteFor(scheme);
    const bool withPlate = palette.plate.alpha() > 0;
    // Whole pixels throughout, so edges fall on the pixel grid.
    const int margin = qMax(1, qRound(size / 16.0));
    const int halo = palette.halo.alpha() > 0 ? qMax(1, qRound(size / 24.0)) : 0;
    const int padding = withPlate ? qMax(1, qRound(size / 14.0)) : 0;
    const int inset = margin + halo + padding;
    const int room = size - 2 * inset;
    if (room <= 0)
        return image;

    // Glyph height in whole pixels, so that their flat tops and bottoms are crisp.
    qreal scale = qMin(room / bounds.width(), room / bounds.height());
    const qreal glyphHeight = std::floor(bounds.height() * scale);
    if (glyphHeight >= 1)
        scale = glyphHeight / bounds.height();
    const QSizeF glyphSize = bounds.size() * scale;
    const QPointF origin(
        std::round((size - glyphSize.width()) / 2), std::round((size - glyphSize.height()) / 2));

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    if (withPlate) {
        const qreal plateHeight = glyphSize.height() + 2 * padding;
        const QRectF plate(margin, std::round((size - plateHeight) / 2), size - 2 * margin, plateHeight);
        const qreal rim = qMax<qreal>(1.0, size / 32.0);
        painter.setPen(QPen(palette.rim, rim));
        painter.setBrush(palette.plate);
        const qreal radius = plate.height() / 4;
        painter.drawRoundedRect(plate.adjusted(rim / 2, rim / 2, -rim / 2, -rim / 2), radius, radius);
    }

    painter.translate(origin);
    painter.scale(scale, scale);
    painter.translate(-bounds.topLeft());
    if (halo > 0) {
        painter.setPen(QPen(palette.halo, 2.0 * halo / scale, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(glyphs);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette.glyph);
    painter.drawPath(glyphs);
    return image;
}

QList<int> titleIconSizes()
{
    return offeredSizes;
}

QIcon titleIcon(const QString &title, ColorScheme scheme)
{
    return QIcon(new TitleIconEngine(title, scheme));
}

} // namespace platform
