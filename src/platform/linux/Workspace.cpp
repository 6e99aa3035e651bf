#include "platform/Workspace.h"

#include "platform/linux/LoopbackHandover.h"

#include <QDesktopServices>
#include <QFile>
#include <QStandardPaths>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

namespace {

// Runs `opener` with the address as its one argument, in a session of its own and not
// as our child. Its streams are /dev/null: xdg-open's complaints would land in our log.
bool spawnDetached(const QByteArray &opener, const QByteArray &address)
{
    char *const arguments[]
        = { const_cast<char *>(opener.constData()), const_cast<char *>(address.constData()), nullptr };
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        // Only async-signal-safe calls from here on: this process has other threads.
        if (::fork() == 0) {
            ::setsid();
            const int null = ::open("/dev/null", O_RDWR);
            for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream)
                ::dup2(null, stream);
            // D-Bus ignores SIGPIPE for this process; the opener starts with the default.
            struct sigaction defaults
            { };
            defaults.sa_handler = SIG_DFL;
            ::sigaction(SIGPIPE, &defaults, nullptr);
            sigset_t none;
            ::sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execv(arguments[0], arguments);
            ::_exit(127);
        }
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) { }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

bool openURL(const QUrl &url)
{
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (!opener.isEmpty())
        return spawnDetached(QFile::encodeName(opener), url.toEncoded());
    // No desktop opener: Qt's own search for a browser.
    return QDesktopServices::openUrl(url);
}

bool openURL(SecretBytes encodedURL)
{
    const std::optional<QByteArray> oneTime = LoopbackHandover::offer(std::move(encodedURL));
    if (!oneTime)
        return false;
    openURL(QUrl::fromEncoded(*oneTime));
    return true;
}

} // namespace platform
