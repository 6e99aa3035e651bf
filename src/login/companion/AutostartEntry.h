#pragma once

#include <QString>
#include <optional>

namespace login {

// The file name of the XDG autostart entry for an agent label: letters, digits, "." and
// "-" kept, every other byte written as "_" and two hex digits, ".desktop" appended.
// Fails for an empty label or a name longer than a file name may be.
std::optional<QString> autostartEntryName(const QString &label, QString *error = nullptr);

// The autostart entry that runs `companionPath run propertyListPath` when the desktop
// starts its autostart programs. It carries X-systemd-skip, so that on desktops whose
// session systemd manages, the user unit alone starts the agent.
std::optional<QString> autostartEntryText(
    const QString &companionPath, const QString &propertyListPath, QString *error = nullptr);

// The property list that an entry written by autostartEntryText() names, or nothing for
// any other file.
std::optional<QString> propertyListOfAutostartEntry(const QString &text);

} // namespace login
