#include "platform/PropertyList.h"

#include <QPointF>
#include <QTest>
#include <QVariantMap>

class PropertyListTest : public QObject
{
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void refuses_data();
    void refuses();
};

void PropertyListTest::roundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("markup characters") << QStringLiteral("a & b <c> \"d\" 'e'");
    QTest::newRow("non-ASCII") << QStringLiteral("/Users/zoë/Åpp ✓/𝄞");
    QTest::newRow("tab, line feed, carriage return") << QStringLiteral("a\tb\nc\r\nd\r");
    QTest::newRow("byte-order mark inside") << QStringLiteral("a\uFEFFb");
    QTest::newRow("empty") << QString();
}

void PropertyListTest::roundTrip()
{
    QFETCH(QString, text);
    const QVariantMap original = { { QStringLiteral("Label"), text },
        { QStringLiteral("ProgramArguments"), QVariantList { text } }, { QStringLiteral("RunAtLoad"), true },
        { QStringLiteral("ThrottleInterval"), 15 }, { QStringLiteral("Nice"), 0 } };
    const std::optional<QByteArray> xml = platform::propertylist::xmlData(original);
    QVERIFY(xml);
    QVERIFY2(
        xml->startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist"), xml->constData());
    QVERIFY(xml->contains("<integer>15</integer>"));
    const std::optional<QVariant> back = platform::propertylist::fromData(*xml);
    QVERIFY(back);
    // Integers come back as 64-bit ones, equal in value.
    QCOMPARE(back->toMap(), original);
}

void PropertyListTest::refuses_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::newRow("control character") << QVariant(QStringLiteral("a\u0001b"));
    QTest::newRow("NUL") << QVariant(QString(QChar(0)));
    QTest::newRow("escape in an array") << QVariant(QVariantList { QStringLiteral("x\u001b[0m") });
    QTest::newRow("control character in a key") << QVariant(QVariantMap { { QStringLiteral("a\u0007"), 1 } });
    QTest::newRow("noncharacter U+FFFE") << QVariant(QStringLiteral("a\uFFFE"));
    QTest::newRow("leading byte-order mark") << QVariant(QStringLiteral("\uFEFF/path"));
    QTest::newRow("negative integer") << QVariant(-1);
    QTest::newRow("unsupported type") << QVariant(QPointF(1, 2));
}

void PropertyListTest::refuses()
{
    QFETCH(QVariant, value);
    QString error;
    QVERIFY(!platform::propertylist::xmlData(QVariantMap { { QStringLiteral("k"), value } }, &error));
    QVERIFY2(!error.isEmpty(), "a refusal says why");
}

QTEST_GUILESS_MAIN(PropertyListTest)
#include "tst_propertylist.moc"
