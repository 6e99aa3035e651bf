#pragma once

#include <QString>

namespace login {

// Becomes the agent that the property list at `propertyListPath` describes: its output
// appended to the agent's log files, then its program executed in place of this one, so
// the service manager sees that program's exit status. Returns only when that fails,
// with the exit status to end with.
int runAgent(const QString &propertyListPath);

} // namespace login
