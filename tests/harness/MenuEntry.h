#pragma once

#include <QList>
#include <QString>

class QDBusArgument;

// One node of a com.canonical.dbusmenu layout, with the protocol's defaults filled in
// for properties the menu leaves out.
struct MenuEntry
{
    int id = 0;
    QString label;
    bool enabled = true;
    bool visible = true;
    QString type = QStringLiteral("standard"); // or "separator"
    QString toggleType; // "", "checkmark" or "radio"
    int toggleState = -1; // 0 off, 1 on, -1 neither
    QList<MenuEntry> children;

    // Decodes a (ia{sv}av) layout node and everything below it.
    static MenuEntry fromDBus(const QDBusArgument &node);

    // The first entry below this one (depth first) with exactly this label.
    const MenuEntry *find(const QString &wantedLabel) const;

    // A one-line summary for failure messages, e.g. `"Quit" disabled`.
    QString describe() const;
};
