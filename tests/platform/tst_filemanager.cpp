#include "TestFiles.h"
#include "platform/FileManager.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

// Files other programs read (the login agent above all) are replaced whole or not at all.
class FileManagerTest : public QObject
{
    Q_OBJECT
private slots:
    void atomicWriteIsAllOrNothing_data();
    void atomicWriteIsAllOrNothing();
};

void FileManagerTest::atomicWriteIsAllOrNothing_data()
{
    QTest::addColumn<rlim_t>("fileSizeLimit");
    QTest::addColumn<bool>("written");
    QTest::newRow("room for all of it") << rlim_t(RLIM_INFINITY) << true;
    // The disk filling up halfway: the write fails after 4 KiB.
    QTest::newRow("the write fails halfway") << rlim_t(4096) << false;
}

void FileManagerTest::atomicWriteIsAllOrNothing()
{
    QFETCH(rlim_t, fileSizeLimit);
    QFETCH(bool, written);
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("agent.plist"));
    const mode_t mask = ::umask(022);
    ::umask(mask);
    // What a new file gets, and the service manager can read.
    const unsigned usualMode = 0666u & ~mask;
    QVERIFY(writeFile(path, "old", usualMode));
    const QByteArray data(64 * 1024, 'x');

    // Past the limit a write fails with EFBIG instead of ending the process.
    struct sigaction ignore = {}, previousAction = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &previousAction);
    rlimit previousLimit = {};
    ::getrlimit(RLIMIT_FSIZE, &previousLimit);
    const rlimit limit = { fileSizeLimit, previousLimit.rlim_max };
    ::setrlimit(RLIMIT_FSIZE, &limit);
    QString error;
    const bool succeeded = platform::files::writeAtomically(path, data, &error);
    ::setrlimit(RLIMIT_FSIZE, &previousLimit);
    ::sigaction(SIGXFSZ, &previousAction, nullptr);

    QVERIFY2(succeeded == written, qPrintable(error));
    QCOMPARE(error.isEmpty(), written);
    QCOMPARE(contentsOf(path), written ? data : QByteArray("old"));
    QCOMPARE(modeOf(path), usualMode);
    QCOMPARE(QDir(directory.path()).entryList(QDir::Files | QDir::Hidden), QStringList { "agent.plist" });
}

QTEST_GUILESS_MAIN(FileManagerTest)
#include "tst_filemanager.moc"
