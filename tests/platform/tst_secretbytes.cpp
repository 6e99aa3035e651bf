#include "platform/SecretBytes.h"

#include <QFile>
#include <QTest>

// Memory for the dashboard key: what the system is told about it. What it holds is in
// the dashboard address's table.
class SecretBytesTest : public QObject
{
    Q_OBJECT

private slots:
    void keptOutOfCoreDumps();
};

// The kernel marks such a mapping "dd" (do not dump) in the process's smaps.
void SecretBytesTest::keptOutOfCoreDumps()
{
    const platform::SecretBytes secret { "key" };
    const auto address = reinterpret_cast<quintptr>(secret.view().data());
    QFile smaps(QStringLiteral("/proc/self/smaps"));
    QVERIFY(smaps.open(QIODevice::ReadOnly));
    bool inside = false;
    for (const QByteArray &line : smaps.readAll().split('\n')) {
        const qsizetype dash = line.indexOf('-');
        const qsizetype space = line.indexOf(' ');
        // A mapping's header ("7f..-7f.. rw-p ..."), then its fields ("VmFlags: rd wr dd").
        if (dash > 0 && space > dash && !line.first(space).contains(':')) {
            inside = line.first(dash).toULongLong(nullptr, 16) <= address
                && address < line.mid(dash + 1, space - dash - 1).toULongLong(nullptr, 16);
        } else if (inside && line.startsWith("VmFlags:")) {
            QVERIFY2(line.split(' ').contains("dd"), line.constData());
            return;
        }
    }
    QFAIL("the buffer's mapping is not in smaps");
}

QTEST_APPLESS_MAIN(SecretBytesTest)
#include "tst_secretbytes.moc"
