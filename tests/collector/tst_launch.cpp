#include "CollectorTestSupport.h"
#include "platform/FileHandle.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArrayList nullSeparated(QByteArray bytes)
{
    if (bytes.endsWith('\0'))
        bytes.chop(1);
    return bytes.split('\0');
}

int openDescriptorCount()
{
    return static_cast<int>(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

unsigned permissionsOf(const QString &path)
{
    struct stat status = {};
    ::stat(QFile::encodeName(path).constData(), &status);
    return status.st_mode & 07777;
}

QByteArray descriptorTarget(int fd)
{
    char target[4096];
    const ssize_t length = ::readlink(
        QByteArray("/proc/self/fd/" + QByteArray::number(fd)).constData(), target, sizeof target);
    return QByteArray(target, qMax<ssize_t>(length, 0));
}

bool writeFile(const QString &path, const QByteArray &content, unsigned mode = 0600)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.flush()
        && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// Standard error sent to a file while it lives.
class StandardErrorCapture
{
public:
    StandardErrorCapture()
        : saved(::dup(STDERR_FILENO))
    {
        const int file
            = ::open(QFile::encodeName(path()).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(file, STDERR_FILENO);
        ::close(file);
    }
    ~StandardErrorCapture()
    {
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
    }
    QString path() const { return directory.filePath(QStringLiteral("stderr")); }

private:
    QTemporaryDir directory;
    const int saved;
};

} // namespace

class LaunchTest : public QObject
{
    Q_OBJECT
private slots:
    void collectorGetsExactlyItsArgumentDirectoryEnvironmentAndStreams();
    void failedLaunchShowsFailureKeepsTheEndedHandleAndBacksOff_data();
    void failedLaunchShowsFailureKeepsTheEndedHandleAndBacksOff();
    void relativeExecutableIsTakenFromTheAgentsDirectory();
    void thousandLaunchesLeaveNoZombieAndNoDescriptor();
    void logsArePreparedBeforeEachLaunch_data();
    void logsArePreparedBeforeEachLaunch();
    void unopenableLogLeavesTheStreamInherited_data();
    void unopenableLogLeavesTheStreamInherited();
    void logEmptiedUnderTheCollectorHasNoHole();
    void logStaysBoundedWhileTheCollectorRuns();
};

void LaunchTest::collectorGetsExactlyItsArgumentDirectoryEnvironmentAndStreams()
{
    qputenv("ORLINDE_BACKGROUND", "0");
    qputenv("ORLINDE_PARENT_PID", "1");
    qputenv("ORLINDE_TEST_INHERITED", "passed on byte for byte: \xff\xfe");
    // Only the very names are set; a longer name that begins with one is passed on.
    qputenv("ORLINDE_BACKGROUND_COLOUR", "kept");
    const auto restoreEnvironment = qScopeGuard([] {
        qunsetenv("ORLINDE_BACKGROUND");
        qunsetenv("ORLINDE_PARENT_PID");
        qunsetenv("ORLINDE_TEST_INHERITED");
        qunsetenv("ORLINDE_BACKGROUND_COLOUR");
    });
    // Descriptors a careless library would leave open across exec.
    const platform::FileHandle leakyFile(::open("/dev/null", O_RDONLY));
    int leakyPipe[2];
    QCOMPARE(::pipe(leakyPipe), 0);
    const platform::FileHandle pipeRead(leakyPipe[0]), pipeWrite(leakyPipe[1]);
    // What D-Bus does to SIGPIPE in the agent must not reach the collector.
    struct sigaction ignore = {}, previousPipe = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previousPipe);
    const auto restorePipe = qScopeGuard([&] { ::sigaction(SIGPIPE, &previousPipe, nullptr); });

    Installation installation(QStringLiteral("record.sh"));
    QByteArrayList expectedEnvironment;
    for (char **entry = environ; *entry; ++entry) {
        if (!QByteArray(*entry).startsWith("ORLINDE_BACKGROUND=")
            && !QByteArray(*entry).startsWith("ORLINDE_PARENT_PID="))
            expectedEnvironment << *entry;
    }
    expectedEnvironment << "ORLINDE_BACKGROUND=1"
                        << "ORLINDE_PARENT_PID=" + QByteArray::number(::getpid());

    Supervision supervision(installation.settings);
    QVERIFY(supervision.pid() != 0);
    QVERIFY(supervision.waitUntilExited());

    QCOMPARE(nullSeparated(contentsOf(installation.path(QStringLiteral("argv")))),
        QByteArrayList(
            { "/bin/sh", QFile::encodeName(installation.root + QStringLiteral("/collector.mjs")) }));
    QCOMPARE(
        contentsOf(installation.path(QStringLiteral("cwd"))).trimmed(), QFile::encodeName(installation.root));
    QByteArrayList environment = nullSeparated(contentsOf(installation.path(QStringLiteral("environ"))));
    std::sort(environment.begin(), environment.end());
    std::sort(expectedEnvironment.begin(), expectedEnvironment.end());
    QCOMPARE(environment, expectedEnvironment);
    QCOMPARE(linesOf(installation.path(QStringLiteral("fds"))), QByteArrayList({ "0", "1", "2", "3" }));
    // Standard signals only: glibc's spawn leaves its own two real-time signals ignored,
    // and the glibc of the child takes them over again.
    const QByteArray ignoredSignals = contentsOf(installation.path(QStringLiteral("ignored-signals")));
    QCOMPARE(ignoredSignals.mid(7).trimmed().toULongLong(nullptr, 16) & 0x7fffffff, 0u);
    const QByteArray pid = QByteArray::number(supervision.pid());
    QCOMPARE(contentsOf(installation.data(QStringLiteral("app.log"))), "out " + pid + '\n');
    QCOMPARE(contentsOf(installation.data(QStringLiteral("app-error.log"))), "err " + pid + '\n');
}

void LaunchTest::failedLaunchShowsFailureKeepsTheEndedHandleAndBacksOff_data()
{
    QTest::addColumn<QString>("breakage");
    QTest::addColumn<bool>("logsPrepared");
    QTest::newRow("executable removed") << QStringLiteral("remove") << true;
    QTest::newRow("working directory removed") << QStringLiteral("move root") << false;
}

void LaunchTest::failedLaunchShowsFailureKeepsTheEndedHandleAndBacksOff()
{
    QFETCH(QString, breakage);
    QFETCH(bool, logsPrepared);
    Installation installation(QStringLiteral("count.sh"));
    const QString node = installation.top() + QStringLiteral("/node");
    QVERIFY(QFile::copy(QStringLiteral("/bin/true"), node));
    installation.settings.node = node;
    Supervision supervision(installation.settings);
    const pid_t ended = supervision.pid();
    QVERIFY(ended != 0);
    QVERIFY(supervision.waitUntilExited());

    const QString moved = installation.top() + QStringLiteral("/moved");
    if (breakage == QLatin1String("remove"))
        QVERIFY(QFile::rename(node, moved));
    else
        QVERIFY(QDir().rename(installation.root, moved));
    QFile::remove(installation.data(QStringLiteral("app.log")));

    const StandardErrorCapture standardError;
    supervision.monotonic.advance(10.0);
    QCOMPARE(supervision.supervisor.start(), CollectorSupervisor::LaunchOutcome::failed);
    QCOMPARE(supervision.pid(), ended);
    QCOMPARE(QFile::exists(installation.data(QStringLiteral("app.log"))), logsPrepared);
    // Told on every pass while nothing runs, and the reason once, not on every attempt.
    for (int attempt = 0; attempt < 2; ++attempt) {
        QCOMPARE(supervision.supervisor.statusLine(), QStringLiteral("Collector failed to start"));
        supervision.tick(10.0);
    }
    const QByteArrayList told = linesOf(standardError.path());
    QCOMPARE(told.size(), 1);
    QVERIFY2(told.value(0).contains(
                 QFile::encodeName(breakage == QLatin1String("remove") ? node : installation.root))
            && told.value(0).contains("No such file or directory"),
        told.value(0).constData());

    if (breakage == QLatin1String("remove"))
        QVERIFY(QFile::rename(moved, node));
    else
        QVERIFY(QDir().rename(moved, installation.root));
    supervision.tick(10.0);
    QVERIFY(supervision.pid() != ended);
    QVERIFY(supervision.supervisor.statusLine() != QStringLiteral("Collector failed to start"));
}

// As a person who wrote a relative "node" means it: from where the agent runs, not from
// the collector's own working directory.
void LaunchTest::relativeExecutableIsTakenFromTheAgentsDirectory()
{
    Installation installation(QStringLiteral("count.sh"), QStringLiteral("shell"));
    QTemporaryDir here;
    QVERIFY(QFile::link(QStringLiteral("/bin/sh"), here.filePath(QStringLiteral("shell"))));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(here.path()));
    const auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });
    Supervision supervision(installation.settings);
    QVERIFY(installation.waitForLaunches(1));
}

void LaunchTest::thousandLaunchesLeaveNoZombieAndNoDescriptor()
{
    Installation installation(QStringLiteral("count.sh"), QStringLiteral("/bin/true"));
    Supervision supervision(installation.settings);
    QVERIFY(supervision.waitUntilExited());
    const int descriptorsBefore = openDescriptorCount();

    for (int launch = 0; launch < 1000; ++launch) {
        const pid_t previous = supervision.pid();
        supervision.tick(10.0);
        QVERIFY2(supervision.pid() != previous,
            qPrintable(QStringLiteral("launch %1 did not happen").arg(launch)));
        QVERIFY(supervision.waitUntilExited());
    }

    QCOMPARE(openDescriptorCount(), descriptorsBefore);
    siginfo_t child = {};
    const int waited = ::waitid(P_ALL, 0, &child, WEXITED | WNOHANG | WNOWAIT);
    const int error = errno;
    QCOMPARE(waited, -1);
    QCOMPARE(error, ECHILD);
}

void LaunchTest::logsArePreparedBeforeEachLaunch_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<qint64>("sizeBefore"); // -1: no file yet
    QTest::addColumn<unsigned>("modeBefore");
    QTest::addColumn<bool>("previousGenerationBefore");
    QTest::addColumn<bool>("rotated");
    QTest::addColumn<unsigned>("modeAfter");

    for (const QString &log : { QStringLiteral("app.log"), QStringLiteral("app-error.log") }) {
        const QByteArray name = log.toUtf8();
        QTest::addRow("%s: none yet", name.constData()) << log << qint64(-1) << 0u << false << false << 0600u;
        QTest::addRow("%s: exactly 1 MiB", name.constData())
            << log << qint64(1'048'576) << 0600u << false << false << 0600u;
        QTest::addRow("%s: 1 MiB + 1 with an older .1", name.constData())
            << log << qint64(1'048'577) << 0600u << true << true << 0600u;
        QTest::addRow("%s: existing 0644", name.constData())
            << log << qint64(8) << 0644u << false << false << 0644u;
    }
}

// The other log starts small in every row, so rotation of one never drags the other along.
void LaunchTest::logsArePreparedBeforeEachLaunch()
{
    QFETCH(QString, log);
    QFETCH(qint64, sizeBefore);
    QFETCH(unsigned, modeBefore);
    QFETCH(bool, previousGenerationBefore);
    QFETCH(bool, rotated);
    QFETCH(unsigned, modeAfter);
    Installation installation(QStringLiteral("record.sh"));
    const QString path = installation.data(log);
    const QString other = installation.data(
        log == QLatin1String("app.log") ? QStringLiteral("app-error.log") : QStringLiteral("app.log"));
    const QByteArray before(qMax<qint64>(sizeBefore, 0), 'x');
    if (sizeBefore >= 0)
        QVERIFY(writeFile(path, before, modeBefore));
    if (previousGenerationBefore)
        QVERIFY(writeFile(path + QStringLiteral(".1"), "older generation\n"));
    QVERIFY(writeFile(other, "earlier\n"));

    Supervision supervision(installation.settings);
    QVERIFY(supervision.waitUntilExited());

    const QByteArray pid = QByteArray::number(supervision.pid());
    const QByteArray written = (log == QLatin1String("app.log") ? "out " : "err ") + pid + '\n';
    QCOMPARE(contentsOf(path), (rotated ? QByteArray() : before) + written);
    QCOMPARE(permissionsOf(path), modeAfter);
    if (rotated)
        QCOMPARE(contentsOf(path + QStringLiteral(".1")), before);
    else
        QCOMPARE(QFile::exists(path + QStringLiteral(".1")), previousGenerationBefore);
    QVERIFY(contentsOf(other).startsWith("earlier\n"));
    QVERIFY(!QFile::exists(other + QStringLiteral(".1")));
}

void LaunchTest::unopenableLogLeavesTheStreamInherited_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<bool>("outputInherited");
    QTest::addColumn<bool>("errorInherited");
    QTest::newRow("no data directory") << QString() << true << true;
    QTest::newRow("FIFO at app.log") << QStringLiteral("fifo app.log") << true << false;
    QTest::newRow("FIFO at app-error.log") << QStringLiteral("fifo app-error.log") << false << true;
    // The link's target is someone else's file, and it would never be rotated.
    QTest::newRow("link at app.log") << QStringLiteral("link app.log") << true << false;
    QTest::newRow("link at app-error.log") << QStringLiteral("link app-error.log") << false << true;
}

void LaunchTest::unopenableLogLeavesTheStreamInherited()
{
    QFETCH(QString, obstacle);
    QFETCH(bool, outputInherited);
    QFETCH(bool, errorInherited);
    Installation installation(QStringLiteral("record.sh"), QStringLiteral("/bin/sh"), !obstacle.isEmpty());
    const QString obstaclePath = installation.data(obstacle.section(QLatin1Char(' '), 1));
    const QString linkTarget = installation.path(QStringLiteral("elsewhere"));
    if (obstacle.startsWith(QLatin1String("fifo")))
        QCOMPARE(::mkfifo(QFile::encodeName(obstaclePath).constData(), 0600), 0);
    if (obstacle.startsWith(QLatin1String("link"))) {
        QVERIFY(writeFile(linkTarget, "precious\n"));
        QVERIFY(QFile::link(linkTarget, obstaclePath));
    }

    Supervision supervision(installation.settings);
    QVERIFY(supervision.waitUntilExited());

    const auto target = [&](const char *stream) {
        return contentsOf(installation.path(QLatin1String(stream) + QStringLiteral("-target"))).trimmed();
    };
    QCOMPARE(target("stdout") == descriptorTarget(1), outputInherited);
    QCOMPARE(target("stderr") == descriptorTarget(2), errorInherited);
    QCOMPARE(QFileInfo::exists(installation.root + QStringLiteral("/.data")), !obstacle.isEmpty());
    if (obstacle.startsWith(QLatin1String("link")))
        QCOMPARE(contentsOf(linkTarget), QByteArray("precious\n"));
}

// Someone empties the log under the running collector (a person, a copytruncate
// rotation): its next line lands at the start, not after a hole of NUL bytes.
void LaunchTest::logEmptiedUnderTheCollectorHasNoHole()
{
    Installation installation(QStringLiteral("write-twice.sh"));
    const QString log = installation.data(QStringLiteral("app.log"));
    Supervision supervision(installation.settings);
    QVERIFY(QTest::qWaitFor([&] { return contentsOf(log) == "first\n"; }, 10'000));
    QVERIFY(QFile::resize(log, 0));
    QVERIFY(writeFile(installation.path(QStringLiteral("next")), ""));
    QVERIFY(supervision.waitUntilExited());
    QCOMPARE(contentsOf(log), QByteArray("second\n"));
}

// A collector that writes without pause: its log is rotated under it, without a
// restart, and every line across the two generations is there exactly once.
void LaunchTest::logStaysBoundedWhileTheCollectorRuns()
{
    Installation installation(QStringLiteral("stream.sh"));
    const QString log = installation.data(QStringLiteral("app.log"));
    const QString previous = log + QStringLiteral(".1");
    Supervision supervision(installation.settings);
    const pid_t first = supervision.pid();
    const auto sizeOf = [](const QString &path) { return QFileInfo(path).size(); };
    QVERIFY(
        QTest::qWaitFor([&] { return sizeOf(previous) > 0 && sizeOf(log) > sizeOf(previous) / 2; }, 60'000));
    supervision.tick();
    QCOMPARE(supervision.pid(), first);
    QVERIFY(supervision.supervisor.isRunning());
    supervision.supervisor.stop();
    QVERIFY(supervision.waitUntilExited());

    for (const QString &generation : { log, previous })
        QVERIFY2(sizeOf(generation) <= logRotationThreshold + 65'536, qPrintable(generation));
    const QByteArrayList lines = (contentsOf(previous) + contentsOf(log)).split('\n');
    qint64 next = lines.first().split(' ').value(1).toLongLong();
    for (const QByteArray &line : lines.mid(0, lines.size() - 1))
        QCOMPARE(line, QByteArray::number(first) + ' ' + QByteArray::number(next++));
}

QTEST_MAIN(LaunchTest)
#include "tst_launch.moc"
