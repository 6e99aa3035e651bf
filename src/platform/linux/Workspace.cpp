#include "platform/Workspace.h"

#include <QDesktopServices>
#include <QProcess>
#include <QStandardPaths>
#include <algorithm>
#include <cstdio>

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

} // namespace

bool openURL(const QUrl &url)
{
    // The desktop's opener runs with its streams closed: xdg-open names the address in
    // its complaints, and those would land in our log.
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (!opener.isEmpty()) {
        QProcess process;
        process.setProgram(opener);
        process.setArguments({ QString::fromUtf8(url.toEncoded()) });
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        return process.startDetached();
    }
    // Every form a message could name it in, the fragment alone included.
    addressInFlight = { url.toString(), QString::fromUtf8(url.toEncoded()), url.fragment(QUrl::FullyDecoded),
        url.fragment(QUrl::FullyEncoded) };
    previousHandler = qInstallMessageHandler(withoutTheAddress);
    const bool opened = QDesktopServices::openUrl(url);
    qInstallMessageHandler(previousHandler);
    addressInFlight.clear();
    return opened;
}

} // namespace platform
