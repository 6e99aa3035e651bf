#include "actions/DashboardAddress.h"

#include <QRandomGenerator>
#include <QTest>
#include <QUrl>

namespace {

// The reference: a fragment is kept when a whole URL carrying it parses strictly and
// gives the fragment back as a browser would send it, bytes beyond ASCII percent-encoded.
bool keptByUrlParsing(const QByteArray &fragment)
{
    QByteArray asBrowserSends;
    for (const char byte : fragment) {
        const auto unit = static_cast<unsigned char>(byte);
        asBrowserSends += unit < 0x80 ? QByteArray(1, byte) : '%' + QByteArray::number(unit, 16).toUpper();
    }
    const QUrl url(QStringLiteral("https://hub.example/#") + QString::fromUtf8(fragment), QUrl::StrictMode);
    return url.isValid() && url.fragment(QUrl::FullyEncoded).toUtf8() == asBrowserSends;
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
    // Handed over as built unless the row says otherwise. Which keys reach the browser
    // unchanged is the fragment rule's, tested against URL parsing below.
    const auto row
        = [](const char *name, const QString &hub, bool product, const std::optional<QByteArray> &key,
              const QByteArray &address, const std::optional<QByteArray> &handedOver = {}) {
              QTest::newRow(name) << hub << product << key << address << handedOver.value_or(address);
          };
    const QString hub = QStringLiteral("https://hub.example");
    const QByteArray opensNothing;
    row("key appended after #", hub, false, "abc", "https://hub.example/#abc");
    row("product leaves the key out", hub, true, "abc", "https://hub.example/");
    row("no key", hub, false, {}, "https://hub.example/");
    row("empty key", hub, false, "", "https://hub.example/");
    row("hub ending in / gets a second one", "https://hub.example/", false, "abc",
        "https://hub.example//#abc");
    row("key with URL punctuation", hub, false, "a/b?c=d+e!$&'()*,;:@[]~",
        "https://hub.example/#a/b?c=d+e!$&'()*,;:@[]~");
    row("percent-encoded key kept as written", hub, false, "a%20b%2F", "https://hub.example/#a%20b%2F");
    row("non-ASCII key goes over as UTF-8, as a browser sends it", hub, false, "cl\xc3\xa9\xf0\x9f\x98\x80",
        "https://hub.example/#cl\xc3\xa9\xf0\x9f\x98\x80", "https://hub.example/#cl%C3%A9%F0%9F%98%80");
    row("hub normalised as a URL, key kept", QStringLiteral("HTTPS://Hub.Example/p\u00e4th"), false, "K",
        "HTTPS://Hub.Example/p\xc3\xa4th/#K", "https://hub.example/p%C3%A4th/#K");
    row("trailing line feed is not trimmed, opens nothing", hub, false, "abc\n", "https://hub.example/#abc\n",
        opensNothing);
    row("key with # opens nothing rather than %23", hub, false, "a#b", "https://hub.example/#a#b",
        opensNothing);
    row("hub without scheme opens nothing", "hub.example", false, {}, "hub.example/", opensNothing);
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
    for (const QByteArray &first : alphabet)
        for (const QByteArray &second : alphabet)
            for (const QByteArray &third : alphabet.first(20))
                fragments << first + second + third;
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
