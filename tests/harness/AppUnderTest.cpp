#include "AppUnderTest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <csignal>

namespace {

const int gracefulStopMs = 5000;
const int copyTimeoutMs = 30'000;

std::optional<AppExit> waitForProcess(QProcess &process, int timeoutMs)
{
    // Serving events meanwhile: the app may call objects of ours (the fake watcher)
    // on its way out.
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs))
        return std::nullopt;
    return AppExit { process.exitStatus(), process.exitCode() };
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(contents) == contents.size();
}

// The linker writes the executable in place and sets its execute bit last, so a build
// relinking the app meanwhile would hand us a partial file: copy until the source
// was finished and unchanged throughout.
bool copyFinishedExecutable(const QString &source, const QString &destination)
{
    return QTest::qWaitFor(
        [&] {
            const QFileInfo before(source);
            QFile::remove(destination);
            if (!before.isExecutable() || !QFile::copy(source, destination))
                return false;
            const QFileInfo after(source);
            return after.isExecutable() && after.lastModified() == before.lastModified()
                && after.size() == before.size();
        },
        copyTimeoutMs);
}

} // namespace

QString describe(const std::optional<AppExit> &exit)
{
    if (!exit)
        return QStringLiteral("still running");
    if (exit->status == QProcess::CrashExit)
        return QStringLiteral("killed by signal %1").arg(exit->code);
    return QStringLiteral("exited with status %1").arg(exit->code);
}

AppUnderTest::AppUnderTest(Layout layout)
    : layout(layout)
{
    const QString built = qEnvironmentVariable("ORLINDE_EXECUTABLE");
    if (built.isEmpty()) {
        fail(QStringLiteral("ORLINDE_EXECUTABLE is not set"));
        return;
    }
    if (!directory.isValid()) {
        fail(QStringLiteral("no scratch directory: %1").arg(directory.errorString()));
        return;
    }
    QDir top(directory.path());
    QString executableDirectory;
    if (layout == Layout::Bundle) {
        executableDirectory = top.filePath(QStringLiteral("Orlinde.app/Contents/MacOS"));
        const QString resources = top.filePath(QStringLiteral("Orlinde.app/Contents/Resources"));
        settings = resources + QStringLiteral("/settings.json");
        infoPlist = top.filePath(QStringLiteral("Orlinde.app/Contents/Info.plist"));
        top.mkpath(resources);
    } else {
        executableDirectory = top.filePath(QStringLiteral("bin"));
        settings = executableDirectory + QStringLiteral("/settings.json");
    }
    top.mkpath(executableDirectory);
    top.mkpath(QStringLiteral("root"));
    executable = executableDirectory + QStringLiteral("/Orlinde");
    copied = copyFinishedExecutable(built, executable);
    if (!copied)
        fail(QStringLiteral("cannot copy %1 to %2").arg(built, executable));
}

AppUnderTest::~AppUnderTest()
{
    if (!isRunning())
        return;
    sendSignal(SIGTERM);
    if (!waitForProcess(*process, gracefulStopMs)) {
        process->kill();
        process->waitForFinished();
    }
}

bool AppUnderTest::fail(const QString &what)
{
    error = what;
    return false;
}

QString AppUnderTest::rootPath() const
{
    return directory.filePath(QStringLiteral("root"));
}

bool AppUnderTest::writeSettings(const QByteArray &json)
{
    if (!writeFile(settings, json))
        return fail(QStringLiteral("cannot write %1").arg(settings));
    return true;
}

bool AppUnderTest::writeBundleIdentifier(const QString &identifier)
{
    if (layout != Layout::Bundle)
        return fail(QStringLiteral("only a bundle has an Info.plist"));
    const QByteArray plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                             "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                             "<plist version=\"1.0\">\n"
                             "<dict>\n"
                             "\t<key>CFBundleIdentifier</key>\n"
                             "\t<string>"
        + identifier.toHtmlEscaped().toUtf8()
        + "</string>\n"
          "</dict>\n"
          "</plist>\n";
    if (!writeFile(infoPlist, plist))
        return fail(QStringLiteral("cannot write %1").arg(infoPlist));
    return true;
}

bool AppUnderTest::start(const QStringList &arguments, const QProcessEnvironment &environment)
{
    if (isRunning())
        return fail(QStringLiteral("the app is already running"));
    process = std::make_unique<QProcess>();
    process->setProcessChannelMode(
        outputPath.isEmpty() ? QProcess::ForwardedChannels : QProcess::MergedChannels);
    if (!outputPath.isEmpty())
        process->setStandardOutputFile(outputPath, QIODevice::Append);
    process->setProcessEnvironment(environment);
    process->setWorkingDirectory(directory.path());
    process->start(executable, arguments);
    if (!process->waitForStarted())
        return fail(QStringLiteral("cannot start %1: %2").arg(executable, process->errorString()));
    return true;
}

qint64 AppUnderTest::pid() const
{
    return process ? process->processId() : 0;
}

bool AppUnderTest::isRunning() const
{
    return process && process->state() != QProcess::NotRunning;
}

bool AppUnderTest::sendSignal(int signal)
{
    if (!isRunning())
        return fail(QStringLiteral("the app is not running"));
    return ::kill(static_cast<pid_t>(process->processId()), signal) == 0;
}

std::optional<AppExit> AppUnderTest::waitForExit(int timeoutMs)
{
    if (!process)
        return std::nullopt;
    return waitForProcess(*process, timeoutMs);
}

std::optional<AppExit> AppUnderTest::runOnce(
    const QStringList &arguments, int timeoutMs, const QByteArray &input)
{
    QProcess once;
    once.setProcessChannelMode(QProcess::ForwardedChannels);
    once.setWorkingDirectory(directory.path());
    once.start(executable, arguments);
    if (!once.waitForStarted()) {
        fail(QStringLiteral("cannot start %1: %2").arg(executable, once.errorString()));
        return std::nullopt;
    }
    // Closed either way, so that a process reading its input sees it end.
    once.write(input);
    once.closeWriteChannel();
    std::optional<AppExit> exit = waitForProcess(once, timeoutMs);
    if (!exit) {
        once.kill();
        once.waitForFinished();
    }
    return exit;
}
