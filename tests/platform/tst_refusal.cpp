#include "platform/linux/SecretServiceOperation.h"

#include <QTest>
#include <gio/gio.h>

// Which failures of a Secret Service call are the service refusing it, which a new session (up to a
// bound) may get past, rather than it being absent, gone or too slow.
class RefusalTest : public QObject
{
    Q_OBJECT

private slots:
    void triesAnotherSessionOnlyAfterARefusal_data();
    void triesAnotherSessionOnlyAfterARefusal();
};

void RefusalTest::triesAnotherSessionOnlyAfterARefusal_data()
{
    QTest::addColumn<QString>("remoteName"); // empty: a local error, given by domain and code
    QTest::addColumn<uint>("localDomain");
    QTest::addColumn<int>("localCode");
    QTest::addColumn<int>("sessionsTried");
    QTest::addColumn<bool>("another");

    // As libsecret hands them over: the remote name stripped.
    QTest::newRow("kwalletd forgot the session (SetSecret)")
        << "org.freedesktop.DBus.Error.UnknownObject" << 0u << 0 << 1 << true;
    QTest::newRow("kwalletd forgot the session (CreateItem, a QtDBus name)")
        << "org.qtproject.QtDBus.Error.InvalidObjectPath" << 0u << 0 << 1 << true;
    QTest::newRow("kwalletd refused the session key")
        << "org.freedesktop.DBus.Error.InvalidArgs" << 0u << 0 << 1 << true;
    QTest::newRow("a secret our session key cannot decrypt")
        << QString() << uint(SECRET_ERROR) << int(SECRET_ERROR_PROTOCOL) << 1 << true;
    QTest::newRow("a second session refused")
        << "org.freedesktop.DBus.Error.UnknownObject" << 0u << 0 << 2 << true;
    QTest::newRow("a third session refused")
        << "org.freedesktop.DBus.Error.UnknownObject" << 0u << 0 << 3 << false;
    QTest::newRow("name without owner")
        << "org.freedesktop.DBus.Error.ServiceUnknown" << 0u << 0 << 1 << false;
    QTest::newRow("the owner left") << "org.freedesktop.DBus.Error.NoReply" << 0u << 0 << 1 << false;
    QTest::newRow("our bound") << QString() << uint(G_IO_ERROR) << int(G_IO_ERROR_CANCELLED) << 1 << false;
    QTest::newRow("timed out") << QString() << uint(G_IO_ERROR) << int(G_IO_ERROR_TIMED_OUT) << 1 << false;
}

void RefusalTest::triesAnotherSessionOnlyAfterARefusal()
{
    QFETCH(QString, remoteName);
    QFETCH(uint, localDomain);
    QFETCH(int, localCode);
    QFETCH(int, sessionsTried);
    QFETCH(bool, another);

    GError *error = remoteName.isEmpty()
        ? g_error_new_literal(localDomain, localCode, "local")
        : g_dbus_error_new_for_dbus_error(remoteName.toUtf8().constData(), "remote");
    g_dbus_error_strip_remote_error(error);
    QCOMPARE(platform::secretservice::triesAnotherSession(sessionsTried, error), another);
    g_error_free(error);
}

QTEST_APPLESS_MAIN(RefusalTest)
#include "tst_refusal.moc"
