#include "ManualClock.h"
#include "ProcessFigures.h"
#include "collector/CollectorSupervisor.h"
#include "config/Settings.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdio>

// The agent supervising a collector that exits at once, relaunched again and again on a
// clock stepped 3 s per refresh as its timer would, to show that relaunches leave
// nothing behind: no descriptor, no zombie, no memory.
namespace {

Settings installationIn(const QString &top)
{
    const QString root = top + QStringLiteral("/install");
    QDir().mkpath(root + QStringLiteral("/.data"));
    // An empty script: the shell reads nothing and exits 0.
    QFile(root + QStringLiteral("/collector.mjs")).open(QIODevice::WriteOnly);
    Settings settings;
    settings.node = QStringLiteral("/bin/sh");
    settings.root = root;
    settings.hub = QStringLiteral("https://dashboard.invalid");
    settings.launchAgent = top + QStringLiteral("/agent.plist");
    settings.appExecutable = QStringLiteral("/bin/false");
    return settings;
}

constexpr double refreshIntervalSeconds = 3.0;

bool waitUntilExited(CollectorSupervisor &collector)
{
    const QDeadlineTimer deadline(10'000);
    while (collector.isRunning()) {
        if (deadline.hasExpired())
            return false;
        QThread::usleep(100);
    }
    return true;
}

void print(const char *when, const ProcessFigures &figures)
{
    std::printf("%-22s %s\n", when, qPrintable(describe(figures)));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    const int relaunches = arguments.size() > 1 ? arguments.at(1).toInt() : 10'000;
    if (relaunches <= 0) {
        std::fprintf(stderr, "usage: orlinde_soak [RELAUNCHES]\n");
        return 2;
    }

    QTemporaryDir top;
    ManualClock wall;
    ManualClock monotonic;
    CollectorSupervisor supervisor(installationIn(top.path()), { wall, monotonic });
    supervisor.start();
    if (supervisor.processIdentifier() == 0 || !waitUntilExited(supervisor)) {
        std::fprintf(stderr, "soak: the first collector did not launch and exit\n");
        return 1;
    }

    const ProcessFigures start = currentFigures();
    print("start", start);
    QElapsedTimer elapsed;
    elapsed.start();
    int relaunched = 0;
    long refreshes = 0;
    while (relaunched < relaunches) {
        const pid_t before = supervisor.processIdentifier();
        wall.advance(refreshIntervalSeconds);
        monotonic.advance(refreshIntervalSeconds);
        supervisor.start();
        (void)supervisor.statusLine();
        ++refreshes;
        if (supervisor.processIdentifier() == before)
            continue;
        if (!waitUntilExited(supervisor)) {
            std::fprintf(stderr, "soak: collector %d did not exit\n", supervisor.processIdentifier());
            return 1;
        }
        if (++relaunched % 1000 == 0)
            print(qPrintable(QStringLiteral("after %1").arg(relaunched)), currentFigures());
        // As the running app's event loop would, so that queued events do not pile up
        // and pass for a leak.
        QCoreApplication::processEvents();
    }
    const ProcessFigures end = currentFigures();
    print("end", end);
    std::printf(
        "%d relaunches in %ld refreshes, %.1f s wall\n", relaunched, refreshes, elapsed.elapsed() / 1000.0);

    const bool leaked = end.descriptors > start.descriptors || end.zombieChildren > 0;
    std::printf("%s\n", leaked ? "LEAK: descriptors or zombies grew" : "no descriptor or zombie left behind");
    return leaked ? 1 : 0;
}
