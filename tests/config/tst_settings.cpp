#include "config/Settings.h"

#include <QTest>

namespace {

const QByteArray required
    = R"("node":"/n","root":"/r","hub":"https://h","launchAgent":"/l.plist","appExecutable":"/a")";

QByteArray object(const QByteArray &extra = {})
{
    return "{" + required + (extra.isEmpty() ? QByteArray() : "," + extra) + "}";
}

} // namespace

class SettingsTest : public QObject
{
    Q_OBJECT
private slots:
    void rejects_data();
    void rejects();
    void optionalMembers_data();
    void optionalMembers();
    void keepsValuesAsWritten();
};

void SettingsTest::rejects_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("not JSON") << QByteArray("node=/n");
    QTest::newRow("top-level array") << QByteArray("[" + object() + "]");
    QTest::newRow("top-level string") << QByteArray(R"("settings")");
    QTest::newRow("trailing garbage") << QByteArray(object() + "x");
    for (const char *name : { "node", "root", "hub", "launchAgent", "appExecutable" }) {
        const QByteArray key = QByteArray("\"") + name + "\":";
        const qsizetype at = required.indexOf(key);
        const qsizetype end = required.indexOf(',', at);
        const QByteArray member = required.mid(at, end < 0 ? -1 : end - at);
        QByteArray without = required;
        without.remove(at, member.size());
        without.replace(",,", ",");
        if (without.startsWith(','))
            without.remove(0, 1);
        if (without.endsWith(','))
            without.chop(1);
        QTest::addRow("%s missing", name) << QByteArray("{" + without + "}");
        QTest::addRow("%s null", name) << QByteArray("{" + without + "," + key + "null}");
        QTest::addRow("%s number", name) << QByteArray("{" + without + "," + key + "1}");
        QTest::addRow("%s in other case", name)
            << QByteArray("{" + without + ",\"" + QByteArray(name).toUpper() + "\":\"/x\"}");
    }
    QTest::newRow("product as number") << object(R"("product":1)");
    QTest::newRow("product as the word true") << object(R"("product":"true")");
    QTest::newRow("appId as number") << object(R"("appId":7)");
    QTest::newRow("appId as array") << object(R"("appId":["x"])");
    QTest::newRow("invalid UTF-8 in a string") << QByteArray("{" + required + ",\"x\":\"\xff\"}");
}

void SettingsTest::rejects()
{
    QFETCH(QByteArray, json);
    QVERIFY2(!Settings::decode(json), json.constData());
}

void SettingsTest::optionalMembers_data()
{
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<std::optional<bool>>("product");
    QTest::addColumn<std::optional<QString>>("appId");
    QTest::addColumn<bool>("isProduct");
    const std::optional<bool> noProduct;
    const std::optional<QString> noAppId;
    QTest::newRow("only the required members") << QByteArray() << noProduct << noAppId << false;
    QTest::newRow("nulls count as absent")
        << QByteArray(R"("product":null,"appId":null)") << noProduct << noAppId << false;
    QTest::newRow("product true") << QByteArray(R"("product":true)") << std::optional(true) << noAppId
                                  << true;
    QTest::newRow("product false") << QByteArray(R"("product":false)") << std::optional(false) << noAppId
                                   << false;
    QTest::newRow("empty appId is given")
        << QByteArray(R"("appId":"")") << noProduct << std::optional(QString()) << false;
    QTest::newRow("other members ignored, whatever their value")
        << QByteArray(R"("version":[1,{"a":null}],"Product":1,"appid":false,"appId":"x.y")") << noProduct
        << std::optional(QStringLiteral("x.y")) << false;
}

void SettingsTest::optionalMembers()
{
    QFETCH(QByteArray, extra);
    QFETCH(std::optional<bool>, product);
    QFETCH(std::optional<QString>, appId);
    QFETCH(bool, isProduct);
    const std::optional<Settings> settings = Settings::decode(object(extra));
    QVERIFY2(settings, object(extra).constData());
    QCOMPARE(settings->product, product);
    QCOMPARE(settings->appId, appId);
    QCOMPARE(settings->isProduct(), isProduct);
}

void SettingsTest::keepsValuesAsWritten()
{
    const QByteArray json
        = R"({"node":"","root":"relative/ root/","hub":"","launchAgent":"~/x","appExecutable":"é ✓"})";
    const std::optional<Settings> settings = Settings::decode(json);
    QVERIFY(settings);
    QCOMPARE(settings->node, QString());
    QCOMPARE(settings->root, QStringLiteral("relative/ root/"));
    QCOMPARE(settings->hub, QString());
    QCOMPARE(settings->launchAgent, QStringLiteral("~/x"));
    QCOMPARE(settings->appExecutable, QStringLiteral("é ✓"));
}

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
