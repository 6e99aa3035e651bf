#include "AppUnderTest.h"
#include "DBusCall.h"
#include "FakeNotificationServer.h"
#include "FakeStatusNotifierWatcher.h"
#include "TitleIconMatch.h"
#include "TrayItem.h"
#include "TypicalSettings.h"
#include "platform/StatusItem.h"

#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QFile>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>

namespace {

// The app looks for an X11 tray every 3 seconds; two looks and some slack.
constexpr int settleMs = 7000;
constexpr int collectorLaunchMs = 15000;
constexpr int itemAppearsMs = 10000;

const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");

// Starts the app with a collector stand-in that notes its launches in <root>/launches.
bool start(AppUnderTest &app)
{
    return app.isValid()
        && QFile::copy(QStringLiteral(ORLINDE_TEST_DATA "/data/collector.mjs"),
            app.rootPath() + QStringLiteral("/collector.mjs"))
        && app.writeSettings(QJsonDocument(typicalSettings(app)).toJson()) && app.start();
}

QStringList bodies(const FakeNotificationServer &server)
{
    QStringList texts;
    for (const auto &notification : server.notifications())
        texts << notification.appName + QStringLiteral(": ") + notification.body;
    return texts;
}

} // namespace

// A panel's watcher as waybar runs it: the name comes first and the host registers a
// moment later, after whoever asked on seeing the name has had its answer. It says so
// with the StatusNotifierHostRegistered signal or with PropertiesChanged alone, or a
// panel that dies first never registers it. It lets a newer watcher replace it, as a
// restarted panel does. Its host may also list the items only once, as waybar's does:
// from a copy made before it registers, then hearing of new ones only after; an item
// registered in between is never shown.
class LateHostWatcher final : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredStatusNotifierItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    enum class Announcement { signal, propertiesChanged, never };
    enum class Listing { followsEveryItem, missesItemsBeforeItsHost };

    LateHostWatcher(const QDBusConnection &connection, Announcement announcement,
        Listing listing = Listing::followsEveryItem)
        : connection(connection)
        , announcement(announcement)
        , listing(listing)
    {
        const auto exported = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals
            | QDBusConnection::ExportAllProperties;
        registered = this->connection.registerObject(watcherPath, this, exported)
            && this->connection.interface()
                    ->registerService(watcherName, QDBusConnectionInterface::ReplaceExistingService,
                        QDBusConnectionInterface::AllowReplacement)
                    .value()
                == QDBusConnectionInterface::ServiceRegistered;
        // A host comes even to an app that never asks.
        QTimer::singleShot(500, this, &LateHostWatcher::registerHost);
    }
    ~LateHostWatcher() override { connection.unregisterObject(watcherPath); }

    bool isRegistered() const { return registered; }
    QStringList registeredStatusNotifierItems() const { return items; }
    bool isStatusNotifierHostRegistered()
    {
        if (!hostRegistered && listing == Listing::followsEveryItem)
            QTimer::singleShot(1, this, &LateHostWatcher::registerHost);
        return hostRegistered;
    }
    int protocolVersion() const { return 0; }

    // The item of process `pid`, once its host shows it.
    std::optional<QString> waitForItemOf(qint64 pid, int timeoutMs)
    {
        std::optional<QString> found;
        const bool registeredInTime = QTest::qWaitFor(
            [&] {
                for (const QString &service : std::as_const(shownItems))
                    if (connection.interface()->servicePid(service).value() == pid)
                        found = service;
                return found.has_value();
            },
            timeoutMs);
        return registeredInTime ? found : std::nullopt;
    }

public slots:
    void RegisterStatusNotifierItem(const QString &serviceOrPath)
    {
        const QString service = serviceOrPath.startsWith(QLatin1Char('/')) ? message().service() : serviceOrPath;
        items.append(service);
        if (hostRegistered || listing == Listing::followsEveryItem)
            shownItems.append(service);
    }
    void RegisterStatusNotifierHost(const QString &) { }

signals:
    void StatusNotifierItemRegistered(const QString &item);
    void StatusNotifierHostRegistered();

private:
    void registerHost()
    {
        if (hostRegistered || announcement == Announcement::never)
            return;
        hostRegistered = true;
        if (announcement == Announcement::signal) {
            emit StatusNotifierHostRegistered();
            return;
        }
        QDBusMessage changed = QDBusMessage::createSignal(watcherPath,
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
        changed << watcherName << QVariantMap { { QStringLiteral("IsStatusNotifierHostRegistered"), true } }
                << QStringList();
        connection.send(changed);
    }

    QDBusConnection connection;
    Announcement announcement;
    Listing listing;
    QStringList items;
    QStringList shownItems;
    bool hostRegistered = false;
    bool registered = false;
};

Q_DECLARE_METATYPE(LateHostWatcher::Announcement)

class NoTrayHostTest : public QObject
{
    Q_OBJECT

private slots:
    void noticesOnceAndShowsTheItemWhenAHostComes();
    void itemFollowsAHostThatComesWithinTheGrace_data();
    void itemFollowsAHostThatComesWithinTheGrace();
};

void NoTrayHostTest::noticesOnceAndShowsTheItemWhenAHostComes()
{
    FakeNotificationServer notificationArea;
    QVERIFY(notificationArea.isRegistered());
    AppUnderTest app;
    QVERIFY2(start(app), qPrintable(app.errorString()));

    // Without a tray the app still does its job.
    QVERIFY(QTest::qWaitFor(
        [&] { return QFile::exists(app.rootPath() + QStringLiteral("/launches")); }, collectorLaunchMs));

    QVERIFY(QTest::qWaitFor(
        [&] { return !notificationArea.notifications().isEmpty(); }, platform::trayHostGraceMs + settleMs));
    QTest::qWait(settleMs);
    QCOMPARE(bodies(notificationArea).size(), 1);
    QCOMPARE(notificationArea.notifications().first().appName, QStringLiteral("Orlinde"));
    QVERIFY2(notificationArea.notifications().first().body.contains(QStringLiteral("tray")),
        qPrintable(bodies(notificationArea).join(QLatin1Char('\n'))));

    // A tray extension turned on later: the item shows up, and nothing more is said.
    FakeStatusNotifierWatcher tray;
    QVERIFY2(tray.isRegistered(), qPrintable(tray.errorString()));
    const auto item = tray.waitForItemOf(app.pid(), itemAppearsMs);
    QVERIFY2(item, "the item did not appear once a tray host was there");
    TrayItem shown(item->service, item->path);
    const auto pixmaps = shown.iconPixmaps();
    QVERIFY2(pixmaps && !pixmaps->isEmpty(), qPrintable(shown.errorString()));
    const TitleMatch match = nearestTitle(pixmaps->first(), { QStringLiteral("OL"), QStringLiteral("OLH") });
    QVERIFY2(match.title == QStringLiteral("OL"), qPrintable(match.distances));

    QTest::qWait(settleMs);
    QCOMPARE(bodies(notificationArea).size(), 1);
    QVERIFY(app.isRunning());
}

void NoTrayHostTest::itemFollowsAHostThatComesWithinTheGrace_data()
{
    QTest::addColumn<int>("panelAfterMs");
    // "ready": a watcher with its host; "late host"; "listing host"; "replaced"
    QTest::addColumn<QString>("panel");
    QTest::addColumn<LateHostWatcher::Announcement>("announcement");

    using A = LateHostWatcher::Announcement;
    QTest::newRow("watcher with its host, 3 s after the app") << 3000 << "ready" << A::signal;
    QTest::newRow("host registers after its watcher, by signal") << 3000 << "late host" << A::signal;
    QTest::newRow("host registers after its watcher, by PropertiesChanged")
        << 3000 << "late host" << A::propertiesChanged;
    QTest::newRow("host that misses items registered before it") << 3000 << "listing host" << A::signal;
    QTest::newRow("panel restarted: its watcher replaced, host late") << 1000 << "replaced" << A::signal;
}

// The panel of a session often starts a little after its agents: the item appears, as
// a menu the host opens on any click, and nothing is said about a missing tray.
void NoTrayHostTest::itemFollowsAHostThatComesWithinTheGrace()
{
    QFETCH(int, panelAfterMs);
    QFETCH(QString, panel);
    QFETCH(LateHostWatcher::Announcement, announcement);

    FakeNotificationServer notificationArea;
    QVERIFY(notificationArea.isRegistered());
    AppUnderTest app;
    QVERIFY2(start(app), qPrintable(app.errorString()));
    QTest::qWait(panelAfterMs);

    // Each watcher on a connection of its own, so that a replacement is a new owner.
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    const auto disconnect = qScopeGuard([&] {
        QDBusConnection::disconnectFromBus(tag + QStringLiteral(" 1"));
        QDBusConnection::disconnectFromBus(tag + QStringLiteral(" 2"));
    });
    QDBusConnection first
        = QDBusConnection::connectToBus(QDBusConnection::SessionBus, tag + QStringLiteral(" 1"));
    QDBusConnection second
        = QDBusConnection::connectToBus(QDBusConnection::SessionBus, tag + QStringLiteral(" 2"));
    std::optional<QString> service;
    std::unique_ptr<FakeStatusNotifierWatcher> ready;
    std::unique_ptr<LateHostWatcher> late;
    if (panel == QLatin1String("ready")) {
        ready = std::make_unique<FakeStatusNotifierWatcher>(first);
        QVERIFY2(ready->isRegistered(), qPrintable(ready->errorString()));
        if (const auto item = ready->waitForItemOf(app.pid(), itemAppearsMs))
            service = item->service;
    } else {
        if (panel == QLatin1String("replaced")) {
            // The first panel dies before its host registers; the next one takes over.
            LateHostWatcher dying(first, LateHostWatcher::Announcement::never);
            QVERIFY(dying.isRegistered());
            QTest::qWait(300);
            late = std::make_unique<LateHostWatcher>(second, announcement);
        } else if (panel == QLatin1String("listing host")) {
            late = std::make_unique<LateHostWatcher>(
                first, announcement, LateHostWatcher::Listing::missesItemsBeforeItsHost);
        } else {
            late = std::make_unique<LateHostWatcher>(first, announcement);
        }
        QVERIFY(late->isRegistered());
        service = late->waitForItemOf(app.pid(), itemAppearsMs);
    }
    QVERIFY2(service, "the item did not appear");

    TrayItem item(*service, QStringLiteral("/StatusNotifierItem"));
    QCOMPARE(item.property(QStringLiteral("ItemIsMenu")).value_or(item.errorString()), QVariant(true));
    // A host that activates it anyway is told that the item only opens its menu.
    QDBusMessage activate = QDBusMessage::createMethodCall(*service, QStringLiteral("/StatusNotifierItem"),
        QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"));
    activate << 0 << 0;
    QCOMPARE(callServingEvents(QDBusConnection::sessionBus(), activate).errorName(),
        QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"));

    QTest::qWait(platform::trayHostGraceMs + settleMs - panelAfterMs);
    QCOMPARE(bodies(notificationArea), QStringList());
}

QTEST_MAIN(NoTrayHostTest)
#include "tst_notrayhost.moc"
