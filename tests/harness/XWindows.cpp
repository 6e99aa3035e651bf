#include "XWindows.h"

#include <QProcess>
#include <QTest>

namespace xwindows {

namespace {

struct Result
{
    bool ok = false;
    QString output;
};

Result xdotool(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished();
        return { false, QStringLiteral("xdotool %1: %2").arg(arguments.join(' '), process.errorString()) };
    }
    const bool ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return { ok, QString::fromLocal8Bit(process.readAllStandardOutput() + process.readAllStandardError()) };
}

} // namespace

QStringList visibleWindowsOf(qint64 pid)
{
    const Result found = xdotool({ QStringLiteral("search"), QStringLiteral("--onlyvisible"),
        QStringLiteral("--pid"), QString::number(pid) });
    return found.ok ? found.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts) : QStringList();
}

std::optional<QString> waitForWindowOf(qint64 pid, int timeoutMs)
{
    QStringList windows;
    const bool shown = QTest::qWaitFor(
        [&] {
            windows = visibleWindowsOf(pid);
            return !windows.isEmpty();
        },
        timeoutMs);
    if (!shown)
        return std::nullopt;
    return windows.constFirst();
}

bool pressKey(const QString &window, const QString &key, QString *error)
{
    Result done = xdotool({ QStringLiteral("windowfocus"), QStringLiteral("--sync"), window });
    if (done.ok)
        done = xdotool({ QStringLiteral("key"), key });
    if (!done.ok && error)
        *error = done.output;
    return done.ok;
}

} // namespace xwindows
