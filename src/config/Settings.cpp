#include "config/Settings.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace {

std::optional<QString> requiredString(const QJsonObject &object, const char *name)
{
    const QJsonValue value = object.value(QLatin1String(name));
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

// Absent and null both mean "not given"; present values must be of the right type.
template <typename T> bool optionalMember(const QJsonObject &object, const char *name, std::optional<T> &out)
{
    const QJsonValue value = object.value(QLatin1String(name));
    if (value.isUndefined() || value.isNull())
        return true;
    if constexpr (std::is_same_v<T, bool>) {
        if (!value.isBool())
            return false;
        out = value.toBool();
    } else {
        if (!value.isString())
            return false;
        out = value.toString();
    }
    return true;
}

} // namespace

std::optional<Settings> Settings::decode(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();

    Settings settings;
    const std::pair<const char *, QString Settings::*> required[] = {
        { "node", &Settings::node },
        { "root", &Settings::root },
        { "hub", &Settings::hub },
        { "launchAgent", &Settings::launchAgent },
        { "appExecutable", &Settings::appExecutable },
    };
    for (const auto &[name, field] : required) {
        const std::optional<QString> value = requiredString(object, name);
        if (!value)
            return std::nullopt;
        settings.*field = *value;
    }
    if (!optionalMember(object, "product", settings.product)
        || !optionalMember(object, "appId", settings.appId))
        return std::nullopt;
    return settings;
}

QUrl Settings::logURL(const QString &name) const
{
    QString path = root;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return QUrl::fromLocalFile(path + QStringLiteral(".data/") + name);
}
