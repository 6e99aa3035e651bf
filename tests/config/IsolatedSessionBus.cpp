#include "IsolatedSessionBus.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QTest>

namespace {

const int startMs = 10'000;

// python3-dbus is installed for the system's interpreter, which need not be the first
// python3 on PATH.
const QString python = QStringLiteral("/usr/bin/python3");

const char silentOwnerScript[] = R"(
import dbus, sys, time
bus = dbus.SessionBus()
if bus.request_name(sys.argv[1], dbus.bus.NAME_FLAG_DO_NOT_QUEUE) != dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
    sys.exit(1)
print("owned", flush=True)
time.sleep(3600)
)";

QByteArray busConfiguration(const QString &socketDirectory, const QString &servicesDirectory)
{
    return QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <servicedir>%2</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
        .arg(socketDirectory, servicesDirectory)
        .toUtf8();
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

} // namespace

IsolatedSessionBus::IsolatedSessionBus(Prompts prompts)
{
    if (!directory.isValid()) {
        fail(QStringLiteral("no scratch directory: %1").arg(directory.errorString()));
        return;
    }
    QDir top(directory.path());
    for (const char *sub : { "home/.local/share", "services", "socket" })
        top.mkpath(QString::fromLatin1(sub));
    top.mkdir(QStringLiteral("run"));
    QFile::setPermissions(
        top.filePath(QStringLiteral("run")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const QString servicesPath = top.filePath(QStringLiteral("services"));
    const QString configPath = top.filePath(QStringLiteral("bus.conf"));
    bool written
        = writeFile(configPath, busConfiguration(top.filePath(QStringLiteral("socket")), servicesPath));
    for (const char *name : { "org.gnome.keyring.SystemPrompter", "org.gnome.keyring.PrivatePrompter" }) {
        if (prompts == Prompts::onDisplay) // gnome-keyring asks for its unlock prompt by these names
            written = written
                && writeFile(QStringLiteral("%1/%2.service").arg(servicesPath, QLatin1String(name)),
                    QByteArray("[D-BUS Service]\nName=") + name + "\nExec=/usr/libexec/gcr-prompter\n");
    }
    if (!written) {
        fail(QStringLiteral("cannot write the bus configuration in %1").arg(top.path()));
        return;
    }
    QProcess &daemon = startProcess(QStringLiteral("dbus-daemon"),
        { QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
            QStringLiteral("--print-address=1") });
    if (!daemon.waitForReadyRead(startMs) || !daemon.canReadLine()) {
        fail(QStringLiteral("dbus-daemon did not start"));
        return;
    }
    address = QString::fromUtf8(daemon.readLine()).trimmed();
    connectionName = QStringLiteral("isolated-") + directory.path();
    if (!QDBusConnection::connectToBus(address, connectionName).isConnected())
        fail(QStringLiteral("cannot connect to %1").arg(address));
}

IsolatedSessionBus::~IsolatedSessionBus()
{
    QDBusConnection::disconnectFromBus(connectionName);
    // The bus last: a keyring daemon started on it ends when its bus does.
    for (auto process = processes.rbegin(); process != processes.rend(); ++process) {
        (*process)->terminate();
        if (!(*process)->waitForFinished(startMs)) {
            (*process)->kill();
            (*process)->waitForFinished();
        }
    }
}

bool IsolatedSessionBus::fail(const QString &what)
{
    if (error.isEmpty())
        error = what;
    return false;
}

QProcess &IsolatedSessionBus::startProcess(const QString &program, const QStringList &arguments)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment());
    // What goes wrong on the bus (a service that fails to start) shows in the test's log.
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(program, arguments);
    processes.push_back(std::move(process));
    return *processes.back();
}

QProcessEnvironment IsolatedSessionBus::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QDir top(directory.path());
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    environment.insert(QStringLiteral("HOME"), top.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), top.filePath(QStringLiteral("home/.local/share")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), top.filePath(QStringLiteral("run")));
    for (const char *name : { "GNOME_KEYRING_CONTROL", "SSH_AUTH_SOCK" })
        environment.remove(QString::fromLatin1(name));
    return environment;
}

QDBusConnection IsolatedSessionBus::connection() const
{
    return QDBusConnection(connectionName);
}

bool IsolatedSessionBus::startSilentOwner(const QString &name)
{
    QProcess &owner
        = startProcess(python, { QStringLiteral("-c"), QString::fromUtf8(silentOwnerScript), name });
    if (!owner.waitForReadyRead(startMs) || owner.readLine().trimmed() != "owned")
        return fail(QStringLiteral("the stand-in did not take %1").arg(name));
    return true;
}

bool IsolatedSessionBus::startKeyring(const QByteArray &password)
{
    QProcess keyring;
    keyring.setProcessEnvironment(environment());
    keyring.start(QStringLiteral("gnome-keyring-daemon"),
        { QStringLiteral("--unlock"), QStringLiteral("--components=secrets") });
    keyring.write(password);
    keyring.closeWriteChannel();
    // It forks its daemon and returns; the daemon ends with this bus.
    if (!keyring.waitForFinished(startMs) || keyring.exitCode() != 0)
        return fail(QStringLiteral("gnome-keyring-daemon failed: %1")
                        .arg(QString::fromLocal8Bit(keyring.readAllStandardError())));
    const auto registered = [&] {
        return connection()
            .interface()
            ->isServiceRegistered(QStringLiteral("org.freedesktop.secrets"))
            .value();
    };
    if (!QTest::qWaitFor(registered, startMs))
        return fail(QStringLiteral("the keyring did not appear on the bus"));
    return true;
}
