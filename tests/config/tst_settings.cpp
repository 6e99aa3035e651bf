#include "config/Settings.h"

#include <QJsonDocument>
#include <QJsonObject>
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
    QTest::newRow("trailing garbage") << QByteArray(object() + "x");
    QTest::newRow("top-level array") << QByteArray("[" + object() + "]");
    for (const char *name : { "node", "root", "hub", "launchAgent", "appExecutable" }) {
        QJsonObject settings = QJsonDocument::fromJson(object()).object();
        settings.remove(QLatin1String(name));
        QTest::addRow("%s missing", name) << QJsonDocument(settings).toJson();
        settings[QLatin1String(name)] = QJsonValue::Null;
        QTest::addRow("%s null", name) << QJsonDocument(settings).toJson();
        settings[QLatin1String(name)] = 1;
        QTest::addRow("%s number", name) << QJsonDocument(settings).toJson();
    }
    QTest::newRow("product as the word true") << object(R"("product":"true")");
    QTest::newRow("appId as number") << object(R"("appId":7)");
    QTest::newRow("invalid UTF-8 in a string") << object("\"x\":\"\xff\"");
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

// Nothing trimmed, expanded or resolved.
void SettingsTest::keepsValuesAsWritten()
{
    const std::optional<Settings> settings = Settings::decode(
        R"({"node":"","root":"relative/ root/","hub":"","launchAgent":"~/x","appExecutable":"é ✓"})");
    QVERIFY(settings);
    QCOMPARE(QStringList({ settings->node, settings->root, settings->hub, settings->launchAgent,
                 settings->appExecutable }),
        QStringList({ "", "relative/ root/", "", "~/x", "é ✓" }));
}

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
