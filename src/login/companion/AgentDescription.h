#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <optional>

namespace login {

// What the companion needs from a login agent property list.
struct AgentDescription
{
    QString label;
    // The program and its arguments, the program found as execvp(3) finds it.
    QStringList programArguments;
    // Without a path the stream stays where the service manager put it.
    std::optional<QString> standardOutPath;
    std::optional<QString> standardErrorPath;
};

// Reads the keys that matter from a parsed property list; other keys are ignored.
std::optional<AgentDescription> agentDescription(const QVariant &propertyList, QString *error = nullptr);

// Reads and parses the property list file at `path`.
std::optional<AgentDescription> readAgentDescription(const QString &path, QString *error = nullptr);

} // namespace login
