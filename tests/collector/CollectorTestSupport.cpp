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
}

Supervision::Supervision(const Settings &settings)
    : supervisor(settings, { wall, monotonic })
{
    supervisor.start();
}

Supervision::~Supervision()
{
    supervisor.stop();
    // Before any launch the pid is 0, and kill(0) would end this whole process group.
    if (!waitUntilExited(5'000) && pid() > 0) {
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
