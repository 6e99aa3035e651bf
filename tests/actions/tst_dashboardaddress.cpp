#include "actions/DashboardAddress.h"

#include <QRandomGenerator>
#include <QTest>
#include <QUrl>

Q_DECLARE_METATYPE(std::optional<QByteArray>)

namespace {

QByteArray asBrowserSends(const QByteArray &utf8)
{
    QByteArray encoded;
    for (const char byte : utf8) {
        const auto unit = static_cast<unsigned char>(byte);
        encoded += unit < 0x80 ? QByteArray(1, byte) : '%' + QByteArray::number(unit, 16).toUpper();
    }
    return encoded;
}

// The reference: a fragment is kept when a whole URL carrying it parses strictly and
// gives the fragment back as a browser would send it.
bool keptByUrlParsing(const QByteArray &fragment)
{
    const QUrl url(QStringLiteral("https://hub.example/#") + QString::fromUtf8(fragment), QUrl::StrictMode);
    return url.isValid() && url.fragment(QUrl::FullyEncoded).toUtf8() == asBrowserSends(fragment);
}

} // namespace

// The address built from the settings and the key, and whether it may be handed to the
// browser (and as what).
class DashboardAddressTest : public QObject
{
    Q_OBJECT

private slots:
    void address_data();
    void address();
    void fragmentRuleAgreesWithUrlParsing();
};

void DashboardAddressTest::address_data()
{
    QTest::addColumn<QString>("hub");
    QTest::addColumn<bool>("product");
    QTest::addColumn<std::optional<QByteArray>>("key");
    QTest::addColumn<QByteArray>("expectedAddress");
    QTest::addColumn<QByteArray>("expectedHandedOver"); // empty: nothing is opened

    const QString hub = QStringLiteral("https://hub.example");
    const std::optional<QByteArray> noKey;
    auto key = [](const char *text) { return std::optional<QByteArray>(text); };

    QTest::newRow("key appended after #")
        << hub << false << key("abc") << QByteArray("https://hub.example/#abc")
        << QByteArray("https://hub.example/#abc");
    QTest::newRow("product leaves the key out")
        << hub << true << key("abc") << QByteArray("https://hub.example/")
        << QByteArray("https://hub.example/");
    QTest::newRow("no key") << hub << false << noKey << QByteArray("https://hub.example/")
                            << QByteArray("https://hub.example/");
    QTest::newRow("empty key") << hub << false << key("") << QByteArray("https://hub.example/")
                               << QByteArray("https://hub.example/");
    QTest::newRow("hub ending in / gets a second one")
        << QStringLiteral("https://hub.example/") << false << key("abc")
        << QByteArray("https://hub.example//#abc") << QByteArray("https://hub.example//#abc");
    QTest::newRow("key with URL punctuation") << hub << false << key("a/b?c=d+e!$&'()*,;:@[]~")
                                              << QByteArray("https://hub.example/#a/b?c=d+e!$&'()*,;:@[]~")
                                              << QByteArray("https://hub.example/#a/b?c=d+e!$&'()*,;:@[]~");
    QTest::newRow("percent-encoded key kept as written")
        << hub << false << key("a%20b%2F") << QByteArray("https://hub.example/#a%20b%2F")
        << QByteArray("https://hub.example/#a%20b%2F");
    QTest::newRow("non-ASCII key goes over as UTF-8, as a browser sends it")
        << hub << false << key("cl\xc3\xa9\xf0\x9f\x98\x80")
        << QByteArray("https://hub.example/#cl\xc3\xa9\xf0\x9f\x98\x80")
        << QByteArray("https://hub.example/#cl%C3%A9%F0%9F%98%80");
    QTest::newRow("hub normalised as a URL, key kept")
        << QStringLiteral("HTTPS://Hub.Example/p\u00e4th") << false << key("K")
        << QByteArray("HTTPS://Hub.Example/p\xc3\xa4th/#K") << QByteArray("https://hub.example/p%C3%A4th/#K");
    QTest::newRow("key with a space opens nothing")
        << hub << false << key("a b") << QByteArray("https://hub.example/#a b") << QByteArray();
    QTest::newRow("trailing line feed is not trimmed, opens nothing")
        << hub << false << key("abc\n") << QByteArray("https://hub.example/#abc\n") << QByteArray();
    QTest::newRow("key that URL parsing would decode opens nothing")
        << hub << false << key("%41") << QByteArray("https://hub.example/#%41") << QByteArray();
    QTest::newRow("key with # opens nothing rather than %23")
        << hub << false << key("a#b") << QByteArray("https://hub.example/#a#b") << QByteArray();
    QTest::newRow("hub without scheme opens nothing")
        << QStringLiteral("hub.example") << false << noKey << QByteArray("hub.example/") << QByteArray();
    QTest::newRow("empty hub opens nothing")
        << QString() << false << key("abc") << QByteArray("/#abc") << QByteArray();
}

void DashboardAddressTest::address()
{
    QFETCH(QString, hub);
    QFETCH(bool, product);
    QFETCH(std::optional<QByteArray>, key);
    QFETCH(QByteArray, expectedAddress);
    QFETCH(QByteArray, expectedHandedOver);

    std::optional<platform::SecretBytes> secretKey;
    if (key)
        secretKey.emplace(std::initializer_list<QByteArrayView> { *key });
    const platform::SecretBytes address = dashboardAddress(hub, product, secretKey);
    QCOMPARE(address.view().toByteArray(), expectedAddress);
    const std::optional<platform::SecretBytes> url = openableURL(address.view());
    QCOMPARE(url ? url->view().toByteArray() : QByteArray(), expectedHandedOver);
}

// The key never goes through URL parsing (which would keep copies of it), so the rule
// that stands in for it must agree with it on every fragment: each short string over
// the characters that matter, then long random ones.
void DashboardAddressTest::fragmentRuleAgreesWithUrlParsing()
{
    QList<QByteArray> alphabet { "%", "#", "a", "A", "f", "F", "0", "9", "-", "~", "/", "?", "[", " ", "\"",
        "{", "\x7f", "\x01", "\xc3\xa9", "\xf0\x9f\x98\x80" };
    for (int unit = 0x20; unit < 0x7f; ++unit)
        alphabet << QByteArray(1, static_cast<char>(unit));
    QList<QByteArray> fragments { QByteArray() };
    for (const QByteArray &first : alphabet) {
        for (const QByteArray &second : alphabet) {
            for (const QByteArray &third : alphabet.first(20))
                fragments << first + second + third;
        }
    }
    QRandomGenerator random(20261207);
    for (int n = 0; n < 20'000; ++n) {
        QByteArray fragment;
        for (int length = random.bounded(1, 12); length > 0; --length)
            fragment += alphabet.at(random.bounded(alphabet.size()));
        fragments << fragment;
    }
    for (const QByteArray &fragment : std::as_const(fragments)) {
        if (isKeptFragment(fragment) != keptByUrlParsing(fragment))
            QFAIL(qPrintable(
                QStringLiteral("rules differ on \"%1\": URL parsing %2 it")
                    .arg(QString::fromUtf8(fragment), keptByUrlParsing(fragment) ? "keeps" : "refuses")));
    }
}

QTEST_APPLESS_MAIN(DashboardAddressTest)
#include "tst_dashboardaddress.moc"
