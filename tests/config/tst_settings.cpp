#include "config/Settings.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

// Values a decoder might be tempted to trim, expand or resolve.
const QByteArray required
    = R"("node":"","root":"relative/ root/","hub":"","launchAgent":"~/x","appExecutable":"é ✓")";

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
    void accepts_data();
    void accepts();
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

void SettingsTest::accepts_data()
{
    QTest::addColumn<QByteArray>("extra");
    QTest::addColumn<std::optional<bool>>("product");
    QTest::addColumn<std::optional<QString>>("appId");
    const auto row = [](const char *name, const QByteArray &extra, std::optional<bool> product,
                         std::optional<QString> appId) { QTest::newRow(name) << extra << product << appId; };
    row("only the required members", {}, {}, {});
    row("nulls count as absent", R"("product":null,"appId":null)", {}, {});
    row("product true", R"("product":true)", true, {});
    row("product false", R"("product":false)", false, {});
    row("empty appId is given", R"("appId":"")", {}, QString());
    row("other members ignored, whatever their value",
        R"("version":[1,{"a":null}],"Product":1,"appid":false,"appId":"x.y")", {}, "x.y");
}

void SettingsTest::accepts()
{
    QFETCH(QByteArray, extra);
    QFETCH(std::optional<bool>, product);
    QFETCH(std::optional<QString>, appId);
    const std::optional<Settings> settings = Settings::decode(object(extra));
    QVERIFY2(settings, object(extra).constData());
    // Each in its own member, nothing trimmed, expanded or resolved.
    QCOMPARE(QStringList({ settings->node, settings->root, settings->hub, settings->launchAgent,
                 settings->appExecutable }),
        QStringList({ "", "relative/ root/", "", "~/x", "é ✓" }));
    QCOMPARE(settings->product, product);
    QCOMPARE(settings->appId, appId);
}

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
