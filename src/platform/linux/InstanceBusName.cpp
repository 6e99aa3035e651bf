#include "platform/linux/InstanceBusName.h"

#include <QStringList>

namespace platform {

namespace {

constexpr qsizetype maximumBusNameLength = 255;

bool isNameCharacter(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
        || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('_') || c == QLatin1Char('-');
}

} // namespace

// A bundle identifier is reverse-DNS like a bus name but may hold characters a bus name
// cannot; those become "_", and an element may not start with a digit.
QString instanceBusName(const QString &identifier)
{
    QStringList elements;
    for (const QString &element : identifier.split(QLatin1Char('.'), Qt::SkipEmptyParts)) {
        QString name;
        for (const QChar c : element)
            name += isNameCharacter(c) ? c : QLatin1Char('_');
        if (name.front().isDigit())
            name.prepend(QLatin1Char('_'));
        elements << name;
    }
    // The suffix also gives a one-word identifier the two elements a bus name needs.
    elements << QStringLiteral("instance");
    return elements.join(QLatin1Char('.')).left(maximumBusNameLength);
}

} // namespace platform
