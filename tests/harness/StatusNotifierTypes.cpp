#include "StatusNotifierTypes.h"

#include <QByteArray>
#include <QDBusArgument>
#include <QtEndian>
#include <algorithm>

QList<QImage> decodePixmaps(const QDBusArgument &pixmaps)
{
    QList<QImage> images;
    pixmaps.beginArray();
    while (!pixmaps.atEnd()) {
        int width = 0;
        int height = 0;
        QByteArray pixels;
        pixmaps.beginStructure();
        pixmaps >> width >> height >> pixels;
        pixmaps.endStructure();
        // A pixmap whose data does not match its size is decoded as a null image,
        // which the test then reports.
        if (width <= 0 || height <= 0 || pixels.size() != qsizetype(width) * height * 4) {
            images.append(QImage());
            continue;
        }
        QImage image(width, height, QImage::Format_ARGB32);
        const auto *source = reinterpret_cast<const uchar *>(pixels.constData());
        for (int y = 0; y < height; ++y) {
            auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < width; ++x)
                line[x] = qFromBigEndian<quint32>(source + (qsizetype(y) * width + x) * 4);
        }
        images.append(image);
    }
    pixmaps.endArray();
    std::stable_sort(
        images.begin(), images.end(), [](const QImage &a, const QImage &b) { return a.width() > b.width(); });
    return images;
}

ToolTip decodeToolTip(const QDBusArgument &toolTip)
{
    ToolTip decoded;
    toolTip.beginStructure();
    toolTip >> decoded.iconName;
    decoded.icons = decodePixmaps(toolTip);
    toolTip >> decoded.title >> decoded.text;
    toolTip.endStructure();
    return decoded;
}
