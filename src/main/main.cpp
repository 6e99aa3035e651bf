#include "config/KeyStore.h"
#include "main/CommandLine.h"
#include "main/Orlinde.h"
#include "platform/DistributedNotificationCenter.h"
#include "platform/FileManager.h"
#include "platform/InstanceLock.h"
#include "platform/InstanceStatus.h"
#include "platform/Keychain.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <unistd.h>

namespace {

// A running instance that takes longer than this to answer is as good as gone.
constexpr std::chrono::seconds statusPatience { 3 };

const KeychainItem dashboardKey {
    .service = QStringLiteral("com.tovrex.orlinde.dashboard"),
    .account = QStringLiteral("dashboard"),
};

QStringList argumentsOf(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

// The one-shot modes must not reach the display: without this, a missing session bus
// address would let D-Bus libraries start a bus of their own through the X server.
void forgetDisplay()
{
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
}

int postQuitNotification(int argc, char **argv)
{
    QCoreApplication core(argc, argv);
    platform::DistributedNotificationCenter::post(quitNotificationName());
    return 0;
}

int storeDashboardKey(int argc, char **argv)
{
    // A read error must not pass for an empty key.
    std::optional<QByteArray> key = platform::files::readToEnd(STDIN_FILENO);
    if (!key)
        return 1;
    // The keychain answers through the event loop, as in the running app.
    QCoreApplication core(argc, argv);
    platform::Keychain keychain;
    std::optional<bool> stored;
    QEventLoop loop;
    saveKey(keychain, dashboardKey, *key, [&](bool outcome) {
        stored = outcome;
        loop.quit();
    });
    key->fill('\0');
    if (!stored)
        loop.exec();
    return *stored ? 0 : 1;
}

int printStatus(int argc, char **argv)
{
    QCoreApplication core(argc, argv);
    const std::optional<QString> line
        = platform::InstanceStatus::query(applicationIdentifier(), statusPatience);
    if (line)
        std::printf("%s\n", line->toUtf8().constData());
    else
        std::fprintf(stderr, "Orlinde is not running.\n");
    return statusExitCode(line);
}

} // namespace

int main(int argc, char **argv)
{
    switch (runModeFor(argumentsOf(argc, argv))) {
    case RunMode::quitExisting:
        forgetDisplay();
        return postQuitNotification(argc, argv);
    case RunMode::storeDashboardKey:
        forgetDisplay();
        return storeDashboardKey(argc, argv);
    case RunMode::status:
        forgetDisplay();
        return printStatus(argc, argv);
    case RunMode::menuBarAgent:
        break;
    }

    // Retrying cannot bring a display, so this is a configuration error (78, which the
    // login unit does not retry), not a crash.
    if (!platform::Application::displayIsReachable()) {
        std::fprintf(stderr, "Orlinde: no display to show its menu on; it runs inside a desktop session.\n");
        return 78;
    }
    // Both live until main returns, and the Qt application goes before the process's
    // static objects do.
    platform::Application app(argc, argv);
    // An instance that is quitting (an upgrade: --quit-existing, then a new start) gets
    // this long to make way; a running one keeps its place and this start ends here.
    const std::unique_ptr<platform::InstanceLock> instance
        = platform::InstanceLock::claim(applicationIdentifier(), std::chrono::seconds(5));
    if (!instance) {
        std::fprintf(stderr, "Orlinde is already running.\n");
        return 0;
    }
    Orlinde delegate(
        dashboardKey, { .wall = platform::wallClock(), .monotonic = platform::monotonicClock() });
    app.setDelegate(&delegate);
    return app.run();
}
