#include "platform/linux/LoopbackHandover.h"

#include <QTest>

// Whose connection reached the one-time address, read from the kernel's TCP table.
class LoopbackHandoverTest : public QObject
{
    Q_OBJECT

private slots:
    void ownerOfTheConnection_data();
    void ownerOfTheConnection();
};

namespace {
constexpr quint32 loopback = 0x7F000001;
// The client 127.0.0.1:40000 (uid 1000) connected to the server 127.0.0.1:8080 (uid 0);
// the kernel lists both ends, and a listener on another port.
const QByteArray table
    = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
      "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1\n"
      "   1: 0100007F:1F90 0100007F:9C40 01 00000000:00000000 00:00000000 00000000     0        0 2\n"
      "   2: 0100007F:9C40 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1000        0 3\n";
} // namespace

void LoopbackHandoverTest::ownerOfTheConnection_data()
{
    QTest::addColumn<quint16>("clientPort");
    QTest::addColumn<quint16>("serverPort");
    QTest::addColumn<int>("owner"); // -1: not listed
    QTest::newRow("the client's end") << quint16(40000) << quint16(8080) << 1000;
    QTest::newRow("the server's own end is not the client") << quint16(8080) << quint16(40000) << 0;
    QTest::newRow("another server port") << quint16(40000) << quint16(8081) << -1;
    QTest::newRow("another client port") << quint16(40001) << quint16(8080) << -1;
}

void LoopbackHandoverTest::ownerOfTheConnection()
{
    QFETCH(quint16, clientPort);
    QFETCH(quint16, serverPort);
    QFETCH(int, owner);
    const std::optional<uint> found
        = platform::connectionOwner(table, loopback, clientPort, loopback, serverPort);
    QCOMPARE(found ? int(*found) : -1, owner);
}

QTEST_GUILESS_MAIN(LoopbackHandoverTest)
#include "tst_loopbackhandover.moc"
