#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <optional>

// How a process of the app ended.
struct AppExit
{
    QProcess::ExitStatus status = QProcess::NormalExit;
    int code = 0; // the exit status, or the signal for a crash
};

// "exited with status 0", "killed by signal 9" or "still running", for QCOMPARE.
QString describe(const std::optional<AppExit> &exit);

// A private copy of the built app (from $ORLINDE_EXECUTABLE) in a scratch directory,
// with its own settings and identifier. The app resolves its own path to find its
// bundle, so the executable is copied rather than linked.
//
//   Bundle: Orlinde.app/Contents/MacOS/Orlinde, settings in Contents/Resources,
//           identifier in Contents/Info.plist.
//   Plain:  the executable with settings.json beside it and no identifier.
//
// Destroying it ends the app if it still runs: SIGTERM first, so that it can stop
// what it started, then SIGKILL.
class AppUnderTest final
{
public:
    enum class Layout { Bundle, Plain };

    explicit AppUnderTest(Layout layout = Layout::Bundle);
    ~AppUnderTest();
    AppUnderTest(const AppUnderTest &) = delete;
    AppUnderTest &operator=(const AppUnderTest &) = delete;

    // False (with the reason in errorString) when the copy could not be made.
    bool isValid() const { return copied; }
    QString errorString() const { return error; }

    QString executablePath() const { return executable; }
    QString settingsPath() const { return settings; }
    // An empty directory for the installation the settings point at.
    QString rootPath() const;

    bool writeSettings(const QByteArray &json);
    // Writes Contents/Info.plist with this CFBundleIdentifier (Bundle layout only).
    bool writeBundleIdentifier(const QString &identifier);

    // Sends the output of the next start() to `path` (standard output and error, appended)
    // instead of ours.
    void captureOutputIn(const QString &path) { outputPath = path; }
    // Starts the app; its output goes to ours unless captured.
    bool start(const QStringList &arguments = {},
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    qint64 pid() const;
    bool isRunning() const;
    bool sendSignal(int signal);
    // Waits, serving events, for the app to end; nothing if it still runs.
    std::optional<AppExit> waitForExit(int timeoutMs);

    // Runs another process of the same copy to its end, e.g. `--quit-existing`, with
    // `input` as its whole standard input; nothing if it could not start or had to be
    // killed.
    std::optional<AppExit> runOnce(const QStringList &arguments, int timeoutMs, const QByteArray &input = {});

private:
    bool fail(const QString &what);

    QTemporaryDir directory;
    Layout layout;
    QString executable;
    QString settings;
    QString infoPlist;
    QString error;
    QString outputPath;
    bool copied = false;
    std::unique_ptr<QProcess> process;
};
