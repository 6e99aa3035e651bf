#include "MenuEntry.h"

#include <QDBusArgument>
#include <QDBusVariant>
#include <QVariantMap>

MenuEntry MenuEntry::fromDBus(const QDBusArgument &node)
{
    MenuEntry entry;
    QVariantMap properties;
    node.beginStructure();
    node >> entry.id >> properties;
    node.beginArray();
    while (!node.atEnd()) {
        QDBusVariant child;
        node >> child;
        entry.children.append(fromDBus(child.variant().value<QDBusArgument>()));
    }
    node.endArray();
    node.endStructure();

    entry.label = properties.value(QStringLiteral("label"), entry.label).toString();
    entry.enabled = properties.value(QStringLiteral("enabled"), entry.enabled).toBool();
    entry.visible = properties.value(QStringLiteral("visible"), entry.visible).toBool();
    entry.type = properties.value(QStringLiteral("type"), entry.type).toString();
    entry.toggleType = properties.value(QStringLiteral("toggle-type"), entry.toggleType).toString();
    entry.toggleState = properties.value(QStringLiteral("toggle-state"), entry.toggleState).toInt();
    return entry;
}

const MenuEntry *MenuEntry::find(const QString &wantedLabel) const
{
    for (const MenuEntry &child : children) {
        if (child.label == wantedLabel && child.type != QLatin1String("separator"))
            return &child;
        if (const MenuEntry *below = child.find(wantedLabel))
            return below;
    }
    return nullptr;
}

QString MenuEntry::describe() const
{
    if (type == QLatin1String("separator"))
        return QStringLiteral("---");
    QString text = QLatin1Char('"') + label + QLatin1Char('"');
    if (!enabled)
        text += QStringLiteral(" disabled");
    if (!visible)
        text += QStringLiteral(" hidden");
    if (!toggleType.isEmpty())
        text += QStringLiteral(" %1=%2").arg(toggleType).arg(toggleState);
    if (!children.isEmpty())
        text += QStringLiteral(" (%1 children)").arg(children.size());
    return text;
}
