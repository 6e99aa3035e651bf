#include "TypicalSettings.h"

#include "AppUnderTest.h"

#include <QFile>
#include <QStandardPaths>

QJsonObject typicalSettings(const AppUnderTest &app)
{
    QString node = QStandardPaths::findExecutable(QStringLiteral("node"));
    if (node.isEmpty())
        node = QStringLiteral("/usr/bin/node");
    const QString root = app.rootPath();
    return {
        { QStringLiteral("node"), node },
        { QStringLiteral("root"), root },
        { QStringLiteral("hub"), QStringLiteral("http://127.0.0.1:9") },
        { QStringLiteral("launchAgent"), root + QStringLiteral("/autostart/com.tovrex.orlinde.desktop") },
        { QStringLiteral("appExecutable"), app.executablePath() },
    };
}

bool installIdleCollector(const AppUnderTest &app)
{
    const QByteArray script = "const parent = Number(process.env.ORLINDE_PARENT_PID);\n"
                              "setInterval(() => {\n"
                              "    try { process.kill(parent, 0); } catch { process.exit(0); }\n"
                              "}, 500);\n";
    QFile collector(app.rootPath() + QStringLiteral("/collector.mjs"));
    return collector.open(QIODevice::WriteOnly) && collector.write(script) == script.size();
}
