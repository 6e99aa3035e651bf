#include "platform/Application.h"

#include "platform/linux/TerminationSignals.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <xcb/xcb.h>

namespace platform {

namespace {

Application *sharedApplication = nullptr;
constexpr int flushTimeoutMs = 1000;
constexpr std::chrono::seconds mainThreadTakesOverWithin { 5 };
QtMessageHandler previousMessageHandler = nullptr;
// The connection that found the X display reachable, held until the toolkit has its own:
// an X server that resets when its last client leaves would otherwise reset in between
// and drop the toolkit's connection.
xcb_connection_t *displayProbe = nullptr;

// Qt's X11 and Wayland platforms report a broken display connection with one of these
// warnings and then end the process with status 1, leaving no room for termination.
bool tellsTheDisplayIsGone(const QString &message)
{
    return message.startsWith(QLatin1String("The X11 connection broke"))
        || message.startsWith(QLatin1String("The Wayland connection broke"))
        || message.startsWith(QLatin1String("The Wayland connection experienced a fatal error"));
}

void watchForTheDisplayGoing(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (previousMessageHandler)
        previousMessageHandler(type, context, message);
    if (type == QtWarningMsg && sharedApplication && tellsTheDisplayIsGone(message))
        sharedApplication->endWithTheSession();
}

} // namespace

Application::Application(int &argc, char **argv)
    : qtApp(std::make_unique<QApplication>(argc, argv))
{
    if (displayProbe)
        xcb_disconnect(std::exchange(displayProbe, nullptr));
    sharedApplication = this;
    QApplication::setApplicationName(QStringLiteral("Orlinde"));
    QApplication::setDesktopFileName(QStringLiteral("com.tovrex.orlinde"));
    // An agent lives in the tray: closing an alert must not end the event loop.
    QApplication::setQuitOnLastWindowClosed(false);
    installTerminationSignals();
    watchTheSession();
}

Application::~Application()
{
    qInstallMessageHandler(previousMessageHandler);
    sharedApplication = nullptr;
}

Application *Application::shared()
{
    return sharedApplication;
}

bool Application::displayIsReachable()
{
    // A platform without a display (offscreen in tests) needs none.
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.contains(QLatin1String("xcb"))
        && !platform.contains(QLatin1String("wayland")))
        return true;
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (!wayland.isEmpty()) {
        const QString socketPath = wayland.startsWith(QLatin1Char('/'))
            ? wayland
            : qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') + wayland;
        const QByteArray path = QFile::encodeName(socketPath);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool fits = path.size() < qsizetype(sizeof address.sun_path);
        if (fits)
            std::memcpy(address.sun_path, path.constData(), path.size());
        const bool connected = fd >= 0 && fits
            && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        if (fd >= 0)
            ::close(fd);
        if (connected)
            return true;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return false;
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return false;
    }
    if (displayProbe)
        xcb_disconnect(displayProbe);
    displayProbe = connection;
    return true;
}

void Application::setDelegate(ApplicationDelegate *newDelegate)
{
    delegate = newDelegate;
}

int Application::run()
{
    QTimer::singleShot(0, this, [this] {
        if (delegate)
            delegate->applicationDidFinishLaunching();
    });
    const int status = QApplication::exec();
    flushSessionBus();
    return status;
}

void Application::terminate()
{
    if (terminating)
        return;
    terminating = true;
    if (delegate)
        delegate->applicationWillTerminate();
    QApplication::exit(0);
}

void Application::endWithTheSession()
{
    if (QThread::currentThread() != thread()) {
        // Qt's Wayland event threads report the broken connection on their own threads,
        // and two of them may do so at once. The delegate belongs to the main thread, so
        // the ending is handed to it; this thread must not return meanwhile (the toolkit
        // would end the process with status 1 before the collector is asked to stop). If
        // the main thread never comes to it, end the way the toolkit would have.
        QMetaObject::invokeMethod(
            this, [this] { endWithTheSession(); }, Qt::QueuedConnection);
        std::this_thread::sleep_for(mainThreadTakesOverWithin);
        std::fflush(nullptr);
        std::_Exit(EXIT_FAILURE);
    }
    if (!terminating) {
        terminating = true;
        if (delegate)
            delegate->applicationWillTerminate();
    }
    std::fflush(nullptr);
    std::_Exit(0);
}

// The bus tells a connection it has lost with this signal, made up locally by libdbus.
void Application::watchTheSession()
{
    previousMessageHandler = qInstallMessageHandler(watchForTheDisplayGoing);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected())
        bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"),
            QStringLiteral("org.freedesktop.DBus.Local"), QStringLiteral("Disconnected"), this,
            SLOT(sessionBusDisconnected()));
}

void Application::sessionBusDisconnected()
{
    terminate();
}

// Termination often comes from a menu click over D-Bus, whose reply is still queued
// when the loop ends. Messages leave a connection in order, so one round trip to the
// bus makes sure the reply went out before we do.
void Application::flushSessionBus()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected())
        bus.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                     QStringLiteral("/org/freedesktop/DBus"), QStringLiteral("org.freedesktop.DBus.Peer"),
                     QStringLiteral("Ping")),
            QDBus::Block, flushTimeoutMs);
}

void Application::installTerminationSignals()
{
    auto *termination = new TerminationSignals(this);
    connect(termination, &TerminationSignals::received, this, [this](int) { terminate(); });
}

} // namespace platform
