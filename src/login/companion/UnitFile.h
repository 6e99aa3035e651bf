#pragma once

#include <QString>
#include <optional>

namespace login {

// The exit status of `run` for a property list it cannot use (sysexits' EX_CONFIG). The
// unit does not start again after it: retrying cannot mend the file.
constexpr int unusableAgentStatus = 78;

// The file name of the user unit for an agent label: the label escaped as
// `systemd-escape` does, so that every label maps to its own valid unit name, with
// ".service" appended. Fails for an empty label or a name longer than systemd allows.
std::optional<QString> unitNameForLabel(const QString &label, QString *error = nullptr);

// The text of the user unit that runs `companionPath run propertyListPath` at the start
// of the graphical session whenever the property list exists and the companion is there
// to run. Both paths must be absolute; fails for a path that a unit file cannot carry.
std::optional<QString> unitFileText(
    const QString &companionPath, const QString &propertyListPath, QString *error = nullptr);

// The property list that a unit written by unitFileText() names, or nothing for any other
// unit.
std::optional<QString> propertyListOfUnit(const QString &text);

} // namespace login
