#include "platform/Application.h"

#include "platform/linux/TerminationSignals.h"

#include <QApplication>
#include <QTimer>

namespace platform {

namespace {
Application *sharedApplication = nullptr;
}

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
    return QApplication::exec();
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

void Application::installTerminationSignals()
{
    auto *termination = new TerminationSignals(this);
    connect(termination, &TerminationSignals::received, this, [this](int) { terminate(); });
}

} // namespace platform
