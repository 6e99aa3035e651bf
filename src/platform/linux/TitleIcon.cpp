#include "platform/linux/TitleIcon.h"

#include <QFont>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>

namespace platform {

namespace {

// The sizes trays ask for at scale 1; larger requests are rendered on demand.
const QList<int> offeredSizes = { 16, 22, 24, 32, 48, 64 };

struct Palette
{
    QColor glyph;
    QColor edge; // a halo around the letters, or the plate they sit on
    bool plate;
};

Palette paletteFor(ColorScheme scheme)
{
    switch (scheme) {
    case ColorScheme::preferDark:
        return { QColor(245, 245, 245), QColor(0, 0, 0, 200), false };
    case ColorScheme::preferLight:
        return { QColor(30, 30, 30), QColor(255, 255, 255, 210), false };
    case ColorScheme::noPreference:
        break;
    }
    return { QColor(255, 255, 255), QColor(40, 44, 52), true };
}

// One letter in a cell of `width` × `height` pixels with strokes `stroke` thick. O, L
// and H are drawn from rectangles on the pixel grid, so that they stay crisp and
// readable however narrow the cell; other characters come from the font, fitted to it.
QPainterPath letter(QChar c, int width, int height, int stroke)
{
    // Parts never overlap: the title's path is filled even-odd, for the O's hole.
    QPainterPath path;
    switch (c.toUpper().unicode()) {
    case 'O': {
        const qreal radius = qMin(width, height) / 2.0;
        path.addRoundedRect(QRectF(0, 0, width, height), radius, radius);
        const qreal inner = qMax<qreal>(0, radius - stroke);
        path.addRoundedRect(QRectF(stroke, stroke, width - 2 * stroke, height - 2 * stroke), inner, inner);
        return path;
    }
    case 'L':
        path.addRect(0, 0, stroke, height - stroke);
        path.addRect(0, height - stroke, width, stroke);
        return path;
    case 'H':
        path.addRect(0, 0, stroke, height);
        path.addRect(width - stroke, 0, stroke, height);
        path.addRect(stroke, (height - stroke) / 2, width - 2 * stroke, stroke);
        return path;
    default:
        break;
    }
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setWeight(QFont::Bold);
    font.setPixelSize(100);
    QPainterPath glyph;
    glyph.addText(0, 0, font, QString(c));
    const QRectF bounds = glyph.boundingRect();
    if (bounds.isEmpty())
        return path;
    QTransform fit;
    fit.scale(width / bounds.width(), height / bounds.height());
    fit.translate(-bounds.left(), -bounds.top());
    return fit.map(glyph);
}

// How wide each letter is against the others: L has no counter to keep open.
double widthShare(QChar c)
{
    const char16_t upper = c.toUpper().unicode();
    return upper == u'L' || upper == u'I' ? 0.67 : 1.0;
}

// The title's letters side by side, filling `width` × `height` pixels.
QPainterPath titleLetters(const QString &title, int width, int height)
{
    QPainterPath path;
    if (title.isEmpty())
        return path;
    const int count = int(title.size());
    const int gap = count > 1 ? qMax(1, qRound(height / 14.0)) : 0;
    const int letters = width - (count - 1) * gap;
    double shares = 0;
    for (const QChar c : title)
        shares += widthShare(c);
    QList<int> widths;
    QList<double> remainders;
    int used = 0;
    for (const QChar c : title) {
        const double exact = letters * widthShare(c) / shares;
        widths.append(int(exact));
        remainders.append(exact - int(exact));
        used += widths.constLast();
    }
    // Whole pixels: what rounding down left over goes to the letters it cut most.
    for (; used < letters; ++used) {
        const auto most = std::max_element(remainders.begin(), remainders.end());
        ++widths[most - remainders.begin()];
        *most = -1;
    }
    // Strokes about a seventh of the height, but thin enough that an O's hole and an
    // H's counter stay as wide as a stroke.
    int stroke = qMax(1, qRound(height / 7.0));
    for (int i = 0; i < count; ++i)
        stroke = qMax(1, qMin(stroke, widths.at(i) / (widthShare(title.at(i)) < 1 ? 2 : 3)));
    int x = 0;
    for (int i = 0; i < count; ++i) {
        path.addPath(letter(title.at(i), widths.at(i), height, stroke).translated(x, 0));
        x += widths.at(i) + gap;
    }
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
    if (size < 8 || title.isEmpty())
        return image;

    // Whole pixels throughout, so edges fall on the pixel grid. The margin keeps the
    // icon off its neighbours; the edge (halo or plate) keeps the letters readable on a
    // panel of any colour. All the rest is letters.
    const Palette palette = paletteFor(scheme);
    const int margin = qMax(1, qRound(size / 22.0));
    const int edge = qMax(1, qRound(size / 22.0));
    const int inset = margin + edge;
    const int room = size - 2 * inset;
    const QPainterPath letters = titleLetters(title, room, room);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    // The halo's curves would otherwise blur into the margin.
    painter.setClipRect(margin, margin, size - 2 * margin, size - 2 * margin);
    if (palette.plate) {
        const QRectF plate(margin, margin, size - 2 * margin, size - 2 * margin);
        const qreal radius = plate.height() / 5;
        painter.setPen(Qt::NoPen);
        painter.setBrush(palette.edge);
        painter.drawRoundedRect(plate, radius, radius);
    }
    painter.translate(inset, inset);
    if (!palette.plate) {
        painter.setPen(QPen(palette.edge, 2.0 * edge, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(letters.simplified());
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette.glyph);
    painter.drawPath(letters);
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
