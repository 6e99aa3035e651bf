#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// What a person sees and does on the X display, through xdotool. There is no window
// manager, so focus is given with XSetInputFocus and keys go through XTEST, as if
// typed, to whichever window has the focus.
namespace xwindows {

// The mapped top-level windows of process `pid` (by _NET_WM_PID).
QStringList visibleWindowsOf(qint64 pid);
// Waits, serving events, until `pid` shows a window; its id.
std::optional<QString> waitForWindowOf(qint64 pid, int timeoutMs);
// Waits, serving events, until a window whose title matches `pattern` (a regular
// expression, as xdotool takes it) is shown, by whichever process; its id.
std::optional<QString> waitForWindowNamed(const QString &pattern, int timeoutMs);
// Focuses `window` and types `key` (an X keysym name such as "Return").
bool pressKey(const QString &window, const QString &key, QString *error = nullptr);

} // namespace xwindows
