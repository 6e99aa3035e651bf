#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <memory>
#include <vector>

// A session bus of the test's own beside the desktop's, on which no service is
// activatable but, if asked for, gnome-keyring's password prompt (shown on the test's X
// display): what else runs on it is what the test started there. Everything started is
// stopped when the bus goes.
class IsolatedSessionBus final
{
public:
    enum class Prompts { none, onDisplay };

    explicit IsolatedSessionBus(Prompts prompts = Prompts::none);
    ~IsolatedSessionBus();
    IsolatedSessionBus(const IsolatedSessionBus &) = delete;
    IsolatedSessionBus &operator=(const IsolatedSessionBus &) = delete;

    bool isRunning() const { return error.isEmpty(); }
    QString errorString() const { return error; }

    // Our environment, pointed at this bus and at a home of its own.
    QProcessEnvironment environment() const;
    QDBusConnection connection() const;

    // A process that owns `name` and never reads another message, so every call to it
    // goes unanswered.
    bool startSilentOwner(const QString &name);
    // gnome-keyring's Secret Service, unlocked with `password`.
    bool startKeyring(const QByteArray &password);

private:
    bool fail(const QString &what);
    QProcess &startProcess(const QString &program, const QStringList &arguments);

    QTemporaryDir directory;
    QString address;
    QString connectionName;
    QString error;
    std::vector<std::unique_ptr<QProcess>> processes;
};
