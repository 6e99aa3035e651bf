#include "AgentDescription.h"

#include "platform/FileManager.h"
#include "platform/PropertyList.h"

namespace login {

namespace {

std::nullopt_t fail(QString *error, const QString &description)
{
    if (error)
        *error = description;
    return std::nullopt;
}

bool isText(const QVariant &value)
{
    return value.typeId() == QMetaType::QString;
}

// A path key is optional, but when present it must be text.
bool readPath(const QVariantMap &dictionary, const QString &key, std::optional<QString> *path, QString *error)
{
    if (!dictionary.contains(key))
        return true;
    if (!isText(dictionary[key])) {
        fail(error, QStringLiteral("%1 is not text.").arg(key));
        return false;
    }
    *path = dictionary[key].toString();
    return true;
}

} // namespace

std::optional<AgentDescription> agentDescription(const QVariant &propertyList, QString *error)
{
    if (propertyList.typeId() != QMetaType::QVariantMap)
        return fail(error, QStringLiteral("The property list is not a dictionary."));
    const QVariantMap dictionary = propertyList.toMap();
    AgentDescription description;

    const QVariant label = dictionary.value(QStringLiteral("Label"));
    if (!isText(label))
        return fail(error, QStringLiteral("The property list has no Label text."));
    description.label = label.toString();

    const QVariant arguments = dictionary.value(QStringLiteral("ProgramArguments"));
    if (arguments.typeId() != QMetaType::QVariantList || arguments.toList().isEmpty())
        return fail(error, QStringLiteral("The property list has no ProgramArguments to run."));
    for (const QVariant &argument : arguments.toList()) {
        if (!isText(argument))
            return fail(error, QStringLiteral("ProgramArguments holds an element that is not text."));
        description.programArguments << argument.toString();
    }

    if (!readPath(dictionary, QStringLiteral("StandardOutPath"), &description.standardOutPath, error)
        || !readPath(dictionary, QStringLiteral("StandardErrorPath"), &description.standardErrorPath, error))
        return std::nullopt;
    return description;
}

std::optional<AgentDescription> readAgentDescription(const QString &path, QString *error)
{
    const std::optional<QByteArray> data = platform::files::readRegularFile(path);
    if (!data) {
        if (!platform::files::fileExists(path))
            return fail(error, QStringLiteral("“%1” does not exist.").arg(path));
        return fail(error, QStringLiteral("“%1” is not a readable file.").arg(path));
    }
    const std::optional<QVariant> propertyList = platform::propertylist::fromData(*data);
    if (!propertyList)
        return fail(error, QStringLiteral("“%1” is not a property list.").arg(path));
    QString reason;
    std::optional<AgentDescription> description = agentDescription(*propertyList, &reason);
    if (!description)
        return fail(error, QStringLiteral("“%1”: %2").arg(path, reason));
    return description;
}

} // namespace login
