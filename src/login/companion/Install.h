#pragma once

#include <QString>

namespace login {

// Writes the user unit that starts the agent at login while the property list at
// `propertyListPath` exists, and enables it in the user's systemd manager. Returns the
// exit status: 0 once the unit is enabled.
int installAgent(const QString &propertyListPath);

} // namespace login
