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

// The ids of the mapped windows that `criteria` (xdotool search options) select.
QStringList visibleWindows(const QStringList &criteria)
{
    const Result found
        = xdotool(QStringList { QStringLiteral("search"), QStringLiteral("--onlyvisible") } + criteria);
    return found.ok ? found.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts) : QStringList();
}

std::optional<QString> waitForVisibleWindow(const QStringList &criteria, int timeoutMs)
{
    QStringList windows;
    const bool shown = QTest::qWaitFor(
        [&] {
            windows = visibleWindows(criteria);
            return !windows.isEmpty();
        },
        timeoutMs);
    if (!shown)
        return std::nullopt;
    return windows.constFirst();
}

} // namespace

QStringList visibleWindowsOf(qint64 pid)
{
    return visibleWindows({ QStringLiteral("--pid"), QString::number(pid) });
}

std::optional<QString> waitForWindowOf(qint64 pid, int timeoutMs)
{
    return waitForVisibleWindow({ QStringLiteral("--pid"), QString::number(pid) }, timeoutMs);
}

std::optional<QString> waitForWindowNamed(const QString &pattern, int timeoutMs)
{
    return waitForVisibleWindow({ QStringLiteral("--name"), pattern }, timeoutMs);
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
