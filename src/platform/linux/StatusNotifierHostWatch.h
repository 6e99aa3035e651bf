#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

class QDBusServiceWatcher;

namespace platform {

// Whether a StatusNotifierItem host is there to show an item, followed for as long as
// this lives: the watcher's name coming, going or changing owner (a restarted panel),
// and its host coming or going, announced by signal or by PropertiesChanged. Panels
// take the watcher's name before their host registers (waybar about a millisecond
// later), so every announcement is answered by asking the watcher again.
class StatusNotifierHostWatch final : public QObject
{
    Q_OBJECT
public:
    explicit StatusNotifierHostWatch(QObject *parent = nullptr);

    // The unique name of the watcher's owner; empty while there is none.
    QString watcherOwner() const { return owner; }
    bool hostRegistered() const { return host; }

signals:
    void changed();

private slots:
    void ask();
    void propertiesChanged(
        const QString &interface, const QVariantMap &changedProperties, const QStringList &invalidated);

private:
    void update(const QString &newOwner, bool newHost);

    QDBusServiceWatcher *names;
    QString owner;
    bool host = false;
    quint64 questions = 0;
};

} // namespace platform
