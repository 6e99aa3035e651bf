#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

// Reading back a login agent file the way launchd's peers would: through an XML parser
// that is not the one that wrote it.
namespace agentfile {

// The seven keys and values the agent must hold, as JSON.
QJsonObject expected(const QString &label, const QString &appExecutable, const QString &dataDirectory);

// The file parsed by Python's plistlib (expat underneath, strict about well-formed XML),
// as JSON; nothing, with the reason, when it does not parse or Python is missing.
std::optional<QJsonObject> parsedByPlistlib(const QString &path, QString *error);

// Whether Python 3 is there to parse with.
bool plistlibAvailable();

// What is wrong with the serialised form itself (header, integer and boolean elements),
// or nothing.
QString formProblems(const QByteArray &xml);

} // namespace agentfile
