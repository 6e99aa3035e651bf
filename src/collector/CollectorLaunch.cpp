#include "collector/CollectorLaunch.h"

namespace {

bool isEntryOf(const QByteArray &entry, const QByteArray &name)
{
    return entry.startsWith(name) && (entry.size() == name.size() || entry.at(name.size()) == '=');
}

void setVariable(QByteArrayList &environment, const QByteArray &name, const QByteArray &value)
{
    environment.removeIf([&name](const QByteArray &entry) { return isEntryOf(entry, name); });
    environment << name + '=' + value;
}

} // namespace

CollectorLaunch collectorLaunch(
    const Settings &settings, const QByteArrayList &inheritedEnvironment, qint64 parentPid)
{
    CollectorLaunch launch {
        .executable = settings.node,
        .argument = settings.root + QStringLiteral("/collector.mjs"),
        .workingDirectory = settings.root,
        .environment = inheritedEnvironment,
    };
    setVariable(launch.environment, QByteArrayLiteral("ORLINDE_BACKGROUND"), QByteArrayLiteral("1"));
    setVariable(launch.environment, QByteArrayLiteral("ORLINDE_PARENT_PID"), QByteArray::number(parentPid));
    return launch;
}
