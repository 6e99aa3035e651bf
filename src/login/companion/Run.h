#pragma once

#include <QString>

namespace login {

// Becomes the agent that the property list at `propertyListPath` describes: its output
// appended to the agent's log files, then its program executed in place of this one, so
// the service manager sees that program's exit status. Returns, with the exit status to
// end with, when there is nothing to start (0: no property list, or the user unit starts
// the agent in this session) or when that fails (`unusableAgentStatus`).
int runAgent(const QString &propertyListPath);

} // namespace login
