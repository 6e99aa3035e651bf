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

// Below this a ring fills up into a disc and the bars into a block.
constexpr int minimumBadgeSide = 5;

// Colours that stand out about as well from a light panel as from a dark one.
const QColor middleTone(0, 150, 180);
const QColor failureTone(240, 90, 40);

struct Palette
{
    QColor glyph;
    QColor halo; // transparent for none
};

// With a known scheme, letters in the tone opposite the panel's, with a halo for panels
// that do not follow the scheme (GNOME's top bar stays dark). With none, the middle
// tone, and no halo or plate: either would stand out on one panel as a blot of its own.
Palette paletteFor(ColorScheme scheme)
{
    switch (scheme) {
    case ColorScheme::preferDark:
        return { QColor(245, 245, 245), QColor(0, 0, 0, 200) };
    case ColorScheme::preferLight:
        return { QColor(30, 30, 30), QColor(255, 255, 255, 210) };
    case ColorScheme::noPreference:
        break;
    }
    return { middleTone, Qt::transparent };
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

// How wide each letter is against the others. An L as wide as an O: narrower, its
// foot hardly reaches past its stem and it reads as a lower-case l.
double widthShare(QChar c)
{
    return c.toUpper() == QLatin1Char('I') ? 0.67 : 1.0;
}

// How many strokes wide a letter is at the least: O and H keep a counter between two
// strokes, as wide as a stroke; L has a stem and the foot past it.
int strokesAcross(QChar c)
{
    const char16_t upper = c.toUpper().unicode();
    return upper == u'L' ? 2 : upper == u'I' ? 1 : 3;
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
    // Strokes about a seventh of the height, but thin enough for every letter's shape.
    int stroke = qMax(1, qRound(height / 7.0));
    for (int i = 0; i < count; ++i)
        stroke = qMax(1, qMin(stroke, widths.at(i) / strokesAcross(title.at(i))));
    int x = 0;
    for (int i = 0; i < count; ++i) {
        path.addPath(letter(title.at(i), widths.at(i), height, stroke).translated(x, 0));
        x += widths.at(i) + gap;
    }
    return path;
}

// The state's badge in a `side` × `side` square: a disc when online, a ring when
// offline, two bars when paused, a cross when failed. Built on the pixel grid where it
// can be, so that the shapes stay apart even at 5 pixels. Filled even-odd, for the
// ring's hole.
QPainterPath badge(StatusItem::State state, int side)
{
    QPainterPath path;
    switch (state) {
    case StatusItem::State::online:
        path.addEllipse(QRectF(0, 0, side, side));
        break;
    case StatusItem::State::offline: {
        const int ring = qMax(1, side / 4);
        path.addEllipse(QRectF(0, 0, side, side));
        path.addEllipse(QRectF(ring, ring, side - 2 * ring, side - 2 * ring));
        break;
    }
    case StatusItem::State::paused: {
        const int bar = qMax(1, (side + 1) / 3);
        path.addRect(0, 0, bar, side);
        path.addRect(side - bar, 0, bar, side);
        break;
    }
    case StatusItem::State::failed: {
        // Both diagonals, `stroke` pixels thick, as runs of whole pixels row by row:
        // crisp at any size, and no two parts overlap where they cross.
        const int stroke = qMax(1, qRound(side / 4.0));
        for (int y = 0; y < side; ++y) {
            const int left = qMax(0, y - stroke + 1);
            const int right = qMin(side - stroke, y) + stroke; // one past the run
            const int mirroredLeft = side - right;
            const int mirroredRight = side - left;
            if (mirroredLeft <= right && left <= mirroredRight) {
                path.addRect(
                    qMin(left, mirroredLeft), y, qMax(right, mirroredRight) - qMin(left, mirroredLeft), 1);
            } else {
                path.addRect(left, y, right - left, 1);
                path.addRect(mirroredLeft, y, mirroredRight - mirroredLeft, 1);
            }
        }
        break;
    }
    }
    return path;
}

class TitleIconEngine final : public QIconEngine
{
public:
    TitleIconEngine(const QString &title, ColorScheme scheme, StatusItem::State state)
        : title(title)
        , scheme(scheme)
        , state(state)
    { }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode, QIcon::State) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const int side = qMin(rect.width(), rect.height());
        QImage image = renderTitleIcon(title, qRound(side * ratio), scheme, state);
        image.setDevicePixelRatio(ratio);
        painter->drawImage(QRectF(rect.x() + (rect.width() - side) / 2.0,
                               rect.y() + (rect.height() - side) / 2.0, side, side),
            image);
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode, QIcon::State) override
    {
        return QPixmap::fromImage(renderTitleIcon(title, qMin(size.width(), size.height()), scheme, state));
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
        QImage image = renderTitleIcon(title, devicePixels, scheme, state);
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
        return new TitleIconEngine(title, scheme, state);
    }
    QString key() const override
    {
        return QStringLiteral("orlinde-title");
    }

private:
    QString title;
    ColorScheme scheme;
    StatusItem::State state;
};

} // namespace

QImage renderTitleIcon(const QString &title, int size, ColorScheme scheme, StatusItem::State state)
{
    QImage image(qMax(size, 1), qMax(size, 1), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (size < 8 || title.isEmpty())
        return image;

    // Whole pixels throughout, so edges fall on the pixel grid. The margin keeps the
    // icon off its neighbours; the edge leaves room for the halo. The letters take the
    // top and the badge the bottom left corner: letters are narrow, so height is what
    // they can best spare, and a round first letter keeps its shape with a badge below
    // it where a last one does not (an L's foot runs into it).
    const Palette palette = paletteFor(scheme);
    const int margin = qMax(1, qRound(size / 22.0));
    const int edge = qMax(1, qRound(size / 22.0));
    const int inset = margin + edge;
    const int room = size - 2 * inset;
    const int badgeSide = qMax(minimumBadgeSide, qRound(room / 3.0));
    const int lettersHeight = room - badgeSide - edge;
    const QPainterPath letters = titleLetters(title, room, lettersHeight);
    const QPainterPath mark = badge(state, badgeSide).translated(0, room - badgeSide);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    // The halo's curves would otherwise blur into the margin.
    painter.setClipRect(margin, margin, size - 2 * margin, size - 2 * margin);
    painter.translate(inset, inset);
    if (palette.halo.alpha() > 0) {
        painter.setPen(QPen(palette.halo, 2.0 * edge, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(letters.simplified());
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette.glyph);
    painter.drawPath(letters);
    // No halo on the badge: in a tone that stands out from any panel, a disc stays a
    // disc and a ring a ring on a panel that does not follow the scheme. The one state
    // that asks for something to be done stands out by its colour too.
    painter.setBrush(state == StatusItem::State::failed ? failureTone : middleTone);
    painter.drawPath(mark);
    return image;
}

QList<int> titleIconSizes()
{
    return offeredSizes;
}

QIcon titleIcon(const QString &title, ColorScheme scheme, StatusItem::State state)
{
    return QIcon(new TitleIconEngine(title, scheme, state));
}

} // namespace platform
