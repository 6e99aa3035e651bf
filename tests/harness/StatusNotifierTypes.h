#pragma once

#include <QImage>
#include <QList>
#include <QString>

class QDBusArgument;

// The StatusNotifierItem image types: a(iiay) is a list of width, height and ARGB32
// pixels in network byte order; the tooltip is (icon name, a(iiay), title, text).
QList<QImage> decodePixmaps(const QDBusArgument &pixmaps);

struct ToolTip
{
    QString iconName;
    QList<QImage> icons;
    QString title;
    QString text;
};
ToolTip decodeToolTip(const QDBusArgument &toolTip);
