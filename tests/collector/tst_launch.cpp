#include "CollectorTestSupport.h"
#include "platform/FileHandle.h"

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
    // Only the very names are set; a longer name that begins with one is passed on.
    const std::pair<const char *, QByteArray> inherited[] = { { "ORLINDE_BACKGROUND", "0" },
        { "ORLINDE_PARENT_PID", "1" }, { "ORLINDE_TEST_INHERITED", "passed on byte for byte: \xff\xfe" },
        { "ORLINDE_BACKGROUND_COLOUR", "kept" } };
    for (const auto &[name, value] : inherited)
        qputenv(name, value);
    const auto restoreEnvironment = qScopeGuard([&] {
        for (const auto &[name, value] : inherited)
            qunsetenv(name);
    });
    // A descriptor a careless library would leave open across exec.
    const platform::FileHandle leaky(::open("/dev/null", O_RDONLY));
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
    QTest::addColumn<QString>("removed");
    QTest::addColumn<bool>("logsPrepared");
    QTest::newRow("executable removed") << QStringLiteral("node") << true;
    QTest::newRow("working directory removed") << QStringLiteral("install") << false;
}

void LaunchTest::failedLaunchShowsFailureKeepsTheEndedHandleAndBacksOff()
{
    QFETCH(QString, removed);
    QFETCH(bool, logsPrepared);
    Installation installation(QStringLiteral("count.sh"));
    installation.settings.node = installation.top() + QStringLiteral("/node");
    QVERIFY(QFile::copy(QStringLiteral("/bin/true"), installation.settings.node));
    Supervision supervision(installation.settings);
    const pid_t ended = supervision.pid();
    QVERIFY(ended != 0);
    QVERIFY(supervision.waitUntilExited());

    const QString broken = installation.top() + QLatin1Char('/') + removed;
    const QString moved = installation.top() + QStringLiteral("/moved");
    QVERIFY(QDir().rename(broken, moved));
    QFile::remove(installation.data(QStringLiteral("app.log")));
    // Our standard error goes to a file while the reason is told.
    const platform::FileHandle savedStandardError(::dup(STDERR_FILENO));
    const QString told = installation.top() + QStringLiteral("/told");
    const platform::FileHandle toldFile(
        ::open(QFile::encodeName(told).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ::dup2(toldFile.fd(), STDERR_FILENO);
    const auto restoreStandardError = qScopeGuard([&] { ::dup2(savedStandardError.fd(), STDERR_FILENO); });

    supervision.monotonic.advance(10.0);
    QCOMPARE(supervision.supervisor.start(), CollectorSupervisor::LaunchOutcome::failed);
    QCOMPARE(supervision.pid(), ended);
    QCOMPARE(QFile::exists(installation.data(QStringLiteral("app.log"))), logsPrepared);
    // Told on every pass while nothing runs, and the reason once, not on every attempt.
    for (int attempt = 0; attempt < 2; ++attempt) {
        QCOMPARE(supervision.supervisor.statusLine(), QStringLiteral("Collector failed to start"));
        supervision.tick(10.0);
    }
    const QByteArrayList lines = linesOf(told);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.value(0).contains(QFile::encodeName(broken))
            && lines.value(0).contains("No such file or directory"),
        lines.value(0).constData());

    QVERIFY(QDir().rename(moved, broken));
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
    const auto openDescriptors
        = [] { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size(); };
    const qsizetype descriptorsBefore = openDescriptors();

    for (int launch = 0; launch < 1000; ++launch) {
        const pid_t previous = supervision.pid();
        supervision.tick(10.0);
        QVERIFY2(supervision.pid() != previous,
            qPrintable(QStringLiteral("launch %1 did not happen").arg(launch)));
        QVERIFY(supervision.waitUntilExited());
    }

    QCOMPARE(openDescriptors(), descriptorsBefore);
    siginfo_t child = {};
    const int waited = ::waitid(P_ALL, 0, &child, WEXITED | WNOHANG | WNOWAIT);
    const int error = errno;
    QCOMPARE(waited, -1);
    QCOMPARE(error, ECHILD);
}

void LaunchTest::logsArePreparedBeforeEachLaunch_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<qint64>("sizeBefore"); // -1: no file yet, else made 0644
    QTest::addColumn<bool>("rotated"); // over an older .1 generation
    QTest::addColumn<unsigned>("modeAfter");
    for (const QString &log : { QStringLiteral("app.log"), QStringLiteral("app-error.log") }) {
        QTest::addRow("%s: none yet", qPrintable(log)) << log << qint64(-1) << false << 0600u;
        QTest::addRow("%s: exactly 1 MiB", qPrintable(log)) << log << qint64(1'048'576) << false << 0644u;
        QTest::addRow("%s: 1 MiB + 1 with an older .1", qPrintable(log))
            << log << qint64(1'048'577) << true << 0600u;
    }
}

// The other log starts small in every row, so rotation of one never drags the other along.
void LaunchTest::logsArePreparedBeforeEachLaunch()
{
    QFETCH(QString, log);
    QFETCH(qint64, sizeBefore);
    QFETCH(bool, rotated);
    QFETCH(unsigned, modeAfter);
    Installation installation(QStringLiteral("record.sh"));
    const QString path = installation.data(log);
    const QString other = installation.data(
        log == QLatin1String("app.log") ? QStringLiteral("app-error.log") : QStringLiteral("app.log"));
    const QByteArray before(qMax<qint64>(sizeBefore, 0), 'x');
    if (sizeBefore >= 0)
        QVERIFY(writeFile(path, before, 0644));
    if (rotated)
        QVERIFY(writeFile(path + QStringLiteral(".1"), "older generation\n"));
    QVERIFY(writeFile(other, "earlier\n"));

    Supervision supervision(installation.settings);
    QVERIFY(supervision.waitUntilExited());

    const QByteArray pid = QByteArray::number(supervision.pid());
    const QByteArray written = (log == QLatin1String("app.log") ? "out " : "err ") + pid + '\n';
    QCOMPARE(contentsOf(path), (rotated ? QByteArray() : before) + written);
    QCOMPARE(modeOf(path), modeAfter);
    QCOMPARE(contentsOf(path + QStringLiteral(".1")), rotated ? before : QByteArray());
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

    const auto ours = [](const char *fd) {
        char target[4096];
        const ssize_t length
            = ::readlink((QByteArray("/proc/self/fd/") + fd).constData(), target, sizeof target);
        return QByteArray(target, qMax<ssize_t>(length, 0));
    };
    const QByteArrayList targets = linesOf(installation.path(QStringLiteral("stream-targets")));
    QCOMPARE(targets.value(0) == ours("1"), outputInherited);
    QCOMPARE(targets.value(1) == ours("2"), errorInherited);
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
