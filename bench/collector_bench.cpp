#include "collector/CollectorSupervisor.h"
#include "config/Settings.h"
#include "platform/Clock.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

// Figures for the two costs the agent pays: one refresh pass with a fresh status file,
// every 3 s, and one collector launch.
namespace {

double threadCpuMicroseconds()
{
    timespec now = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

double wallMicroseconds()
{
    using namespace std::chrono;
    return duration<double, std::micro>(steady_clock::now().time_since_epoch()).count();
}

void print(const char *what, std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    std::printf("%-48s min %8.1f  median %8.1f  max %8.1f  (n=%zu)\n", what, samples.front(),
        samples[samples.size() / 2], samples.back(), samples.size());
}

Settings installationIn(const QString &top, const QByteArray &collectorScript)
{
    const QString root = top + QStringLiteral("/install");
    QDir().mkpath(root + QStringLiteral("/.data"));
    QFile script(root + QStringLiteral("/collector.mjs"));
    script.open(QIODevice::WriteOnly);
    script.write(collectorScript);
    Settings settings;
    settings.node = QStringLiteral("/bin/sh");
    settings.root = root;
    settings.hub = QStringLiteral("https://dashboard.invalid");
    settings.launchAgent = top + QStringLiteral("/agent.plist");
    settings.appExecutable = QStringLiteral("/bin/false");
    return settings;
}

void benchRefresh(const QString &top, int passes)
{
    const Settings settings = installationIn(top + QStringLiteral("/refresh"), "exec sleep 600\n");
    CollectorSupervisor supervisor(settings, { platform::wallClock(), platform::monotonicClock() });
    supervisor.start();
    QFile status(settings.root + QStringLiteral("/.data/desktop-status.json"));
    status.open(QIODevice::WriteOnly);
    status.write("{\"at\": " + QByteArray::number(platform::wallClock().now() * 1000, 'f', 0)
        + ", \"connected\": true}");
    status.close();

    std::vector<double> cpu;
    QString line;
    for (int pass = 0; pass < passes; ++pass) {
        const double before = threadCpuMicroseconds();
        // What a refresh asks of the collector: the relaunch attempt, then the status line.
        supervisor.start();
        line = supervisor.statusLine();
        cpu.push_back(threadCpuMicroseconds() - before);
    }
    if (line != QStringLiteral("Connected to dashboard"))
        std::printf("warning: refresh did not reach the status file's verdict\n");
    print("refresh pass, fresh status file (CPU us)", cpu);
    supervisor.stop();
}

void benchLaunch(const QString &top, int launches)
{
    const Settings settings = installationIn(top + QStringLiteral("/launch"), "");
    CollectorSupervisor supervisor(settings, { platform::wallClock(), platform::monotonicClock() });
    supervisor.start();

    std::vector<double> wall;
    std::vector<double> cpu;
    for (int launch = 0; launch < launches; ++launch) {
        while (supervisor.isRunning())
            QThread::usleep(100);
        // Pausing and resuming lifts the back-off, as the menu does.
        supervisor.pause();
        const double wallBefore = wallMicroseconds();
        const double cpuBefore = threadCpuMicroseconds();
        supervisor.resume();
        cpu.push_back(threadCpuMicroseconds() - cpuBefore);
        wall.push_back(wallMicroseconds() - wallBefore);
    }
    print("launch, spawn to running (wall us)", wall);
    print("launch, spawn to running (CPU us in the agent)", cpu);
    while (supervisor.isRunning())
        QThread::usleep(100);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    const int passes = arguments.size() > 1 ? arguments.at(1).toInt() : 2000;
    const int launches = arguments.size() > 2 ? arguments.at(2).toInt() : 300;
    QTemporaryDir top;
    benchRefresh(top.path(), passes);
    benchLaunch(top.path(), launches);
    return 0;
}
