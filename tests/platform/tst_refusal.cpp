#include "platform/linux/SecretServiceOperation.h"

#include <QTest>
#include <gio/gio.h>

// Which failures of a Secret Service call are the service refusing it (a new session may
// get past that) rather than it being absent, gone or too slow.
class RefusalTest : public QObject
{
    Q_OBJECT

private slots:
    void tellsRefusalsFromAbsence_data();
    void tellsRefusalsFromAbsence();
};

void RefusalTest::tellsRefusalsFromAbsence_data()
{
    QTest::addColumn<QString>("remoteName"); // empty: a local error, given by domain and code
    QTest::addColumn<uint>("localDomain");
    QTest::addColumn<int>("localCode");
    QTest::addColumn<bool>("refusal");

    // As libsecret hands them over: the remote name stripped.
    QTest::newRow("kwalletd forgot the session (SetSecret)")
        << "org.freedesktop.DBus.Error.UnknownObject" << 0u << 0 << true;
    QTest::newRow("kwalletd forgot the session (CreateItem, a QtDBus name)")
        << "org.qtproject.QtDBus.Error.InvalidObjectPath" << 0u << 0 << true;
    QTest::newRow("kwalletd refused the session key")
        << "org.freedesktop.DBus.Error.InvalidArgs" << 0u << 0 << true;
    // kwalletd derives another session key than ours for a few sessions in a thousand.
    QTest::newRow("a secret our session key cannot decrypt")
        << QString() << uint(SECRET_ERROR) << int(SECRET_ERROR_PROTOCOL) << true;
    QTest::newRow("nobody owns the name") << "org.freedesktop.DBus.Error.ServiceUnknown" << 0u << 0 << false;
    QTest::newRow("the owner left") << "org.freedesktop.DBus.Error.NoReply" << 0u << 0 << false;
    QTest::newRow("our bound") << QString() << uint(G_IO_ERROR) << int(G_IO_ERROR_CANCELLED) << false;
    QTest::newRow("timed out") << QString() << uint(G_IO_ERROR) << int(G_IO_ERROR_TIMED_OUT) << false;
}

void RefusalTest::tellsRefusalsFromAbsence()
{
    QFETCH(QString, remoteName);
    QFETCH(uint, localDomain);
    QFETCH(int, localCode);
    QFETCH(bool, refusal);

    GError *error = remoteName.isEmpty()
        ? g_error_new_literal(localDomain, localCode, "local")
        : g_dbus_error_new_for_dbus_error(remoteName.toUtf8().constData(), "remote");
    g_dbus_error_strip_remote_error(error);
    QCOMPARE(platform::secretservice::isRefusal(error), refusal);
    g_error_free(error);
}

QTEST_APPLESS_MAIN(RefusalTest)
#include "tst_refusal.moc"
