#pragma once

#include <QObject>
#include <memory>

class QApplication;

namespace platform {

class ApplicationDelegate
{
public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() = 0;
    virtual void applicationWillTerminate() = 0;
};

// The shared application object: one event loop on the main thread, a delegate that
// hears about launch and termination, and an accessory presence (no window, no taskbar
// entry). SIGTERM, SIGINT and SIGHUP count as the platform asking us to terminate, and
// so does the end of the user's session: the display or the session bus going away.
class Application final : public QObject
{
    Q_OBJECT
public:
    Application(int &argc, char **argv);
    ~Application() override;

    static Application *shared();
    // Whether the display the application would show itself on answers. Without one the
    // toolkit aborts; the caller can end with a clear message instead. A connection made
    // to find out stays open until the application is constructed.
    static bool displayIsReachable();

    void setDelegate(ApplicationDelegate *delegate);
    // Runs the event loop; the delegate's launch callback is its first event.
    int run();
    // Normal termination: the delegate's termination callback, then exit status 0.
    void terminate();

    // The display connection is gone and the toolkit is about to end the process: the
    // delegate's termination runs at once on the main thread (a toolkit thread that saw
    // it waits for that), then the process ends with status 0.
    [[noreturn]] void endWithTheSession();

private slots:
    void sessionBusDisconnected();

private:
    void installTerminationSignals();
    void watchTheSession();
    void flushSessionBus();

    std::unique_ptr<QApplication> qtApp;
    ApplicationDelegate *delegate = nullptr;
    bool terminating = false;
};

} // namespace platform
