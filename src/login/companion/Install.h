#pragma once

#include <QString>

namespace login {

// Writes the user unit and the autostart entry that start the agent at login while the
// property list at `propertyListPath` exists, and enables the unit in the user's systemd
// manager. Returns the exit status: 0 once the unit is enabled.
int installAgent(const QString &propertyListPath);

// Disables and removes what installAgent() wrote for the property list, which need not
// exist any more. Returns the exit status: 0 unless something could not be removed.
int uninstallAgent(const QString &propertyListPath);

} // namespace login
