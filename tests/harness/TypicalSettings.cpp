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

namespace {

bool installCollector(const AppUnderTest &app, const QByteArray &script)
{
    QFile collector(app.rootPath() + QStringLiteral("/collector.mjs"));
    return collector.open(QIODevice::WriteOnly) && collector.write(script) == script.size();
}

} // namespace

bool installIdleCollector(const AppUnderTest &app)
{
    return installCollector(app,
        "const parent = Number(process.env.ORLINDE_PARENT_PID);\n"
        "setInterval(() => {\n"
        "    try { process.kill(parent, 0); } catch { process.exit(0); }\n"
        "}, 500);\n");
}

bool installNotingCollector(const AppUnderTest &app)
{
    // The launch is noted once the collector listens, so a request can never come first.
    return installCollector(app,
        "import { appendFileSync } from 'node:fs';\n"
        "process.on('SIGTERM', () => {\n"
        "    appendFileSync('signals', `${process.pid}\\n`);\n"
        "    process.exit(0);\n"
        "});\n"
        "appendFileSync('launches', `${process.pid}\\n`);\n"
        "setInterval(() => {}, 1000);\n");
}
