#include "actions/DashboardAddress.h"

#include <QTest>

Q_DECLARE_METATYPE(std::optional<QString>)

// The address built from the settings and the key, and whether it may be handed to the
// browser (and as what).
class DashboardAddressTest : public QObject
{
    Q_OBJECT

private slots:
    void address_data();
    void address();
};

void DashboardAddressTest::address_data()
{
    QTest::addColumn<QString>("hub");
    QTest::addColumn<bool>("product");
    QTest::addColumn<std::optional<QString>>("key");
    QTest::addColumn<QString>("expectedAddress");
    QTest::addColumn<QString>("expectedHandedOver"); // empty: nothing is opened

    const QString hub = QStringLiteral("https://hub.example");
    const std::optional<QString> noKey;
    auto key = [](const char *text) { return std::optional<QString>(QString::fromUtf8(text)); };

    QTest::newRow("key appended after #") << hub << false << key("abc") << "https://hub.example/#abc"
                                          << "https://hub.example/#abc";
    QTest::newRow("product leaves the key out") << hub << true << key("abc") << "https://hub.example/"
                                                << "https://hub.example/";
    QTest::newRow("no key") << hub << false << noKey << "https://hub.example/"
                            << "https://hub.example/";
    QTest::newRow("empty key") << hub << false << key("") << "https://hub.example/"
                               << "https://hub.example/";
    QTest::newRow("hub ending in / gets a second one")
        << "https://hub.example/" << false << key("abc") << "https://hub.example//#abc"
        << "https://hub.example//#abc";
    QTest::newRow("key with URL punctuation")
        << hub << false << key("a/b?c=d+e!$&'()*,;:@[]~") << "https://hub.example/#a/b?c=d+e!$&'()*,;:@[]~"
        << "https://hub.example/#a/b?c=d+e!$&'()*,;:@[]~";
    QTest::newRow("percent-encoded key kept as written")
        << hub << false << key("a%20b%2F") << "https://hub.example/#a%20b%2F"
        << "https://hub.example/#a%20b%2F";
    QTest::newRow("non-ASCII key goes over as UTF-8, as a browser sends it")
        << hub << false << key("cl\xc3\xa9") << "https://hub.example/#cl\u00e9"
        << "https://hub.example/#cl%C3%A9";
    QTest::newRow("key with a space opens nothing")
        << hub << false << key("a b") << "https://hub.example/#a b" << QString();
    QTest::newRow("trailing line feed is not trimmed, opens nothing")
        << hub << false << key("abc\n") << "https://hub.example/#abc\n"
        << QString();
    QTest::newRow("key that URL parsing would decode opens nothing")
        << hub << false << key("%41") << "https://hub.example/#%41" << QString();
    QTest::newRow("key with # opens nothing rather than %23")
        << hub << false << key("a#b") << "https://hub.example/#a#b" << QString();
    QTest::newRow("hub without scheme opens nothing")
        << "hub.example" << false << noKey << "hub.example/" << QString();
    QTest::newRow("empty hub opens nothing") << QString() << false << key("abc") << "/#abc" << QString();
}

void DashboardAddressTest::address()
{
    QFETCH(QString, hub);
    QFETCH(bool, product);
    QFETCH(std::optional<QString>, key);
    QFETCH(QString, expectedAddress);
    QFETCH(QString, expectedHandedOver);

    const QString address = dashboardAddress(hub, product, key);
    QCOMPARE(address, expectedAddress);
    const std::optional<QUrl> url = openableURL(address);
    // What QDesktopServices passes on to xdg-open is the URL's encoded form.
    QCOMPARE(url ? QString::fromUtf8(url->toEncoded()) : QString(), expectedHandedOver);
}

QTEST_APPLESS_MAIN(DashboardAddressTest)
#include "tst_dashboardaddress.moc"
