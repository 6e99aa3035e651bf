#include "platform/Application.h"

#include "platform/linux/TerminationSignals.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QTimer>

namespace platform {

namespace {
Application *sharedApplication = nullptr;
constexpr int flushTimeoutMs = 1000;
} // namespace

Application::Application(int &argc, char **argv)
    : qtApp(std::make_unique<QApplication>(argc, argv))
{
    sharedApplication = this;
    QApplication::setApplicationName(QStringLiteral("Orlinde"));
    QApplication::setDesktopFileName(QStringLiteral("com.tovrex.orlinde"));
    // An agent lives in the tray: closing an alert must not end the event loop.
    QApplication::setQuitOnLastWindowClosed(false);
    installTerminationSignals();
}

Application::~Application()
{
    sharedApplication = nullptr;
}

Application *Application::shared()
{
    return sharedApplication;
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
