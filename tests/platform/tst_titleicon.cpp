#include "platform/linux/DesktopColorScheme.h"
#include "platform/linux/TitleIcon.h"

#include <QDBusVariant>
#include <QIcon>
#include <QPixmap>
#include <QTest>

using platform::ColorScheme;
using State = platform::StatusItem::State;

namespace {

// The smallest rectangle holding every pixel that is not fully transparent.
QRect inkBounds(const QImage &icon)
{
    const QImage argb = icon.convertToFormat(QImage::Format_ARGB32);
    QRect bounds;
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x)
            if (qAlpha(argb.pixel(x, y)) > 0)
                bounds |= QRect(x, y, 1, 1);
    return bounds;
}

const QList<QPair<ColorScheme, const char *>> schemes = { { ColorScheme::noPreference, "neutral" },
    { ColorScheme::preferDark, "dark" }, { ColorScheme::preferLight, "light" } };

const QList<QPair<State, const char *>> states = { { State::online, "online" }, { State::offline, "offline" },
    { State::paused, "paused" }, { State::failed, "failed" } };

} // namespace

class TitleIconTest : public QObject
{
    Q_OBJECT

private slots:
    void fillsTheSlotInsideItsMargins_data();
    void fillsTheSlotInsideItsMargins();
    void badgeAloneTellsTheStates_data();
    void badgeAloneTellsTheStates();
    void colorSchemeFromPortal_data();
    void colorSchemeFromPortal();
};

void TitleIconTest::fillsTheSlotInsideItsMargins_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("scale");
    QTest::addColumn<ColorScheme>("scheme");
    QTest::addColumn<State>("state");
    // GNOME's top bar has 16 px slots, other panels 22 or 24; the largest offered size,
    // and HiDPI scales up to 3.
    const QList<QPair<int, int>> sizes
        = { { 16, 1 }, { 22, 1 }, { 24, 1 }, { 48, 1 }, { 64, 1 }, { 22, 2 }, { 16, 3 }, { 64, 3 } };
    for (const QString &title : { QStringLiteral("OL"), QStringLiteral("OLH") })
        for (const auto &[size, scale] : sizes)
            for (const auto &[scheme, schemeName] : schemes)
                for (const auto &[state, stateName] : states)
                    QTest::addRow("%s %d@%dx %s %s", qPrintable(title), size, scale, schemeName, stateName)
                        << title << size << scale << scheme << state;
}

void TitleIconTest::fillsTheSlotInsideItsMargins()
{
    QFETCH(QString, title);
    QFETCH(int, size);
    QFETCH(int, scale);
    QFETCH(ColorScheme, scheme);
    QFETCH(State, state);

    // Whether it reads "OL" or "OLH" is read by OCR, on the exported images. Here: drawn
    // as a tray on a HiDPI panel asks for it, logical size and device pixel ratio.
    const QPixmap pixmap = platform::titleIcon(title, scheme, state).pixmap(QSize(size, size), qreal(scale));
    const QImage image = pixmap.toImage();
    QCOMPARE(image.size(), QSize(size * scale, size * scale));
    QCOMPARE(pixmap.devicePixelRatio(), qreal(scale));

    const int pixels = size * scale;
    const int margin = qMax(1, pixels / 20);
    const QRect ink = inkBounds(image);
    QVERIFY2(!ink.isEmpty(), "the icon is blank");
    QVERIFY(QRect(margin, margin, pixels - 2 * margin, pixels - 2 * margin).contains(ink));
    // Small glyphs in a big icon are as bad as clipped ones.
    QCOMPARE_GE(ink.width(), pixels * 3 / 4);
    QCOMPARE_GE(ink.height(), pixels * 3 / 4);
}

void TitleIconTest::badgeAloneTellsTheStates_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<ColorScheme>("scheme");
    for (const int size : platform::titleIconSizes())
        for (const auto &[scheme, name] : schemes)
            QTest::addRow("%d px %s", size, name) << size << scheme;
}

// Every two states differ, at every offered size, and only in the bottom left corner:
// the badge never covers a letter.
void TitleIconTest::badgeAloneTellsTheStates()
{
    QFETCH(int, size);
    QFETCH(ColorScheme, scheme);
    const QRect corner(0, size * 55 / 100, size * 45 / 100, size - size * 55 / 100);
    for (const auto &one : states)
        for (const auto &other : states) {
            if (one.first >= other.first)
                continue;
            const QImage a = platform::renderTitleIcon(QStringLiteral("OLH"), size, scheme, one.first);
            const QImage b = platform::renderTitleIcon(QStringLiteral("OLH"), size, scheme, other.first);
            QRect differing;
            int count = 0;
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    if (a.pixel(x, y) != b.pixel(x, y)) {
                        differing |= QRect(x, y, 1, 1);
                        ++count;
                    }
            const QByteArray pair = QByteArray(one.second) + " and " + other.second;
            // At 5 pixels a disc and a ring differ in the ring's hole, 3 × 3 pixels.
            QVERIFY2(count >= 5, pair + " look alike");
            QVERIFY2(corner.contains(differing), pair + " differ outside the badge's corner");
        }
}

void TitleIconTest::colorSchemeFromPortal_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<ColorScheme>("expected");
    const auto wrapped = [](const QVariant &value) { return QVariant::fromValue(QDBusVariant(value)); };
    QTest::newRow("0") << QVariant(0u) << ColorScheme::noPreference;
    QTest::newRow("1") << QVariant(1u) << ColorScheme::preferDark;
    QTest::newRow("2") << QVariant(2u) << ColorScheme::preferLight;
    QTest::newRow("unknown value") << QVariant(3u) << ColorScheme::noPreference;
    QTest::newRow("in a variant") << wrapped(1u) << ColorScheme::preferDark;
    // Read wraps the value once more than the signal does.
    QTest::newRow("in two variants") << wrapped(wrapped(2u)) << ColorScheme::preferLight;
    QTest::newRow("signed") << QVariant(1) << ColorScheme::noPreference;
    QTest::newRow("text") << QVariant(QStringLiteral("prefer-dark")) << ColorScheme::noPreference;
}

void TitleIconTest::colorSchemeFromPortal()
{
    QFETCH(QVariant, value);
    QFETCH(ColorScheme, expected);
    QCOMPARE(platform::colorSchemeFromSetting(value), expected);
}

QTEST_MAIN(TitleIconTest)
#include "tst_titleicon.moc"
