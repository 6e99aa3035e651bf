#pragma once

#include <QString>
#include <QStringList>

// What a screen reader would read from a process's windows: the accessible names of
// every object the process shows, read over AT-SPI. This is how a test reads the text
// of an alert, which the X server never sees.
namespace accessibility {

// Turns on the desktop's accessibility switch (org.a11y.Status.IsEnabled), as a
// desktop with a screen reader does. Toolkits read it at start, so call it before
// starting the app. False, with the reason in `error`, if the switch is missing.
bool enable(QString *error);

// The accessible names under the application object of process `pid`, depth first;
// empty while it has not registered with the accessibility registry.
QStringList textsOf(qint64 pid);

} // namespace accessibility
