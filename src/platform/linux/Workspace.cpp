#include "platform/Workspace.h"

#include <QDesktopServices>
#include <QFile>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

namespace {

// What Qt says while it looks for a browser, minus any message that names the address:
// the address may carry the dashboard key, and our output is a log file at login.
QStringList addressInFlight;
QtMessageHandler previousHandler = nullptr;

void withoutTheAddress(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const auto named = [&](const QString &form) { return !form.isEmpty() && message.contains(form); };
    if (std::any_of(addressInFlight.cbegin(), addressInFlight.cend(), named)) {
        std::fprintf(stderr, "Orlinde: no application was found to open an address.\n");
        return;
    }
    previousHandler(type, context, message);
}

// Runs `opener` with the address as its one argument, in a session of its own and not
// as our child. Its streams are /dev/null: xdg-open names the address in its
// complaints, and those would land in our log. The argument is read from `address`
// itself, so no copy of it is made in this process; a forked copy lives only until exec.
bool spawnDetached(const QByteArray &opener, const SecretBytes &address)
{
    char *const arguments[]
        = { const_cast<char *>(opener.constData()), const_cast<char *>(address.c_str()), nullptr };
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

// Every form a message could name it in, the fragment alone included.
QStringList formsOf(const QUrl &url)
{
    return { url.toString(), QString::fromUtf8(url.toEncoded()), url.fragment(QUrl::FullyDecoded),
        url.fragment(QUrl::FullyEncoded) };
}

bool openWithDesktopServices(const QUrl &url, const QStringList &forms)
{
    addressInFlight = forms;
    previousHandler = qInstallMessageHandler(withoutTheAddress);
    const bool opened = QDesktopServices::openUrl(url);
    qInstallMessageHandler(previousHandler);
    addressInFlight.clear();
    return opened;
}

} // namespace

bool openURL(const SecretBytes &encodedURL)
{
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (!opener.isEmpty())
        return spawnDetached(QFile::encodeName(opener), encodedURL);
    // No desktop opener: Qt's own search for a browser, which needs the address as a URL.
    const QUrl url = QUrl::fromEncoded(QByteArray::fromRawData(encodedURL.view().data(), encodedURL.size()));
    return openWithDesktopServices(url, formsOf(url));
}

bool openURL(const QUrl &url)
{
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (!opener.isEmpty())
        return spawnDetached(QFile::encodeName(opener), SecretBytes { url.toEncoded() });
    return openWithDesktopServices(url, formsOf(url));
}

} // namespace platform
