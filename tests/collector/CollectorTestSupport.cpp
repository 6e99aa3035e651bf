#include "CollectorTestSupport.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <csignal>

Installation::Installation(const QString &standIn, const QString &node, bool withDataDirectory)
    : root(directory.path() + QStringLiteral("/install"))
{
    QDir().mkpath(withDataDirectory ? root + QStringLiteral("/.data") : root);
    QFile::copy(
        QStringLiteral(ORLINDE_TEST_DATA "/stand-ins/") + standIn, path(QStringLiteral("collector.mjs")));
    settings.node = node;
    settings.root = root;
    settings.hub = QStringLiteral("https://dashboard.invalid");
    settings.launchAgent = directory.path() + QStringLiteral("/com.tovrex.orlinde.app.plist");
    settings.appExecutable = QStringLiteral("/bin/false");
}

bool Installation::waitForLaunches(int count) const
{
    return waitForLines(path(QStringLiteral("launches")), count);
}

Supervision::Supervision(const Settings &settings)
    : supervisor(settings, { wall, monotonic })
{
    supervisor.start();
}

Supervision::~Supervision()
{
    supervisor.stop();
    if (!waitUntilExited(5'000)) {
        ::kill(pid(), SIGKILL);
        waitUntilExited();
    }
}

void Supervision::tick(double seconds)
{
    wall.advance(seconds);
    monotonic.advance(seconds);
    supervisor.tick();
}

bool Supervision::waitUntilExited(int timeoutMs)
{
    return QTest::qWaitFor(
        [&] { return !supervisor.isRunning() && !supervisor.isCapturingOutput(); }, timeoutMs);
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArrayList linesOf(const QString &path)
{
    QByteArray content = contentsOf(path);
    if (content.endsWith('\n'))
        content.chop(1);
    return content.isEmpty() ? QByteArrayList() : content.split('\n');
}

bool waitForLines(const QString &path, int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return linesOf(path).size() >= count; }, timeoutMs);
}
