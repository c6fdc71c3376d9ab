#include "core/corefile.h"
#include "core/drainwatch.h"
#include "util/commconutils.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// Counting a core's client connections from /proc, and the copy of the core file that keeps
// the core killable with the client and its /proc entries readable to the client's user.
class TestDrainWatch : public QObject
{
    Q_OBJECT

private slots:
    void socketInodes();
    void clientConnections_data();
    void clientConnections();
    void countsThisProcessConnections();
    void copyIsWrittenAgainOnlyForAChangedCore();
    void failedCopiesLeaveTheOldCopy();
    void removeStaleKeepsTheCoreAndItsCopy();
};

namespace {

const QByteArray tcpHeading = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when "
                              "retrnsmt   uid  timeout inode\n";
// Inodes 500 and 501 are the core's; 1080 (0438) and 8080 (1F90) its inbound ports.
const QSet<quint64> coreInodes{500, 501};
const QSet<quint16> inboundPorts{1080, 8080};

struct stat statOf(const QString &path)
{
    struct stat info = {};
    stat(QFile::encodeName(path).constData(), &info);
    return info;
}

void writeExecutable(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
    file.close();
    QVERIFY(file.setPermissions(file.permissions() | QFileDevice::ExeOwner));
}

QByteArray outputOf(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished();
    return process.readAllStandardOutput();
}

} // namespace

void TestDrainWatch::socketInodes()
{
    QCOMPARE(DrainWatch::socketInodes({"socket:[500]", "pipe:[501]", "/dev/null", "socket:[]",
                                       "socket:[5x]", "socket:[502", "anon_inode:[eventpoll]",
                                       "socket:[18446744073709551615]", "socket:[0]"}),
             (QSet<quint64>{500, 18446744073709551615ULL}));
}

void TestDrainWatch::clientConnections_data()
{
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<int>("expected");

    const QByteArray listening = "   0: 00000000:0438 00000000:0000 0A 00000000:00000000 "
                                 "00:00000000 00000000  1000        0 500 1 0 100 0 0 10 0\n";
    const QByteArray client = "   1: 0100007F:0438 0100007F:C350 01 00000000:00000000 "
                              "00:00000000 00000000  1000        0 501 1 0 20 4 30 10 -1\n";
    QTest::newRow("heading only") << tcpHeading << 0;
    QTest::newRow("listening socket") << tcpHeading + listening << 0;
    QTest::newRow("client on an inbound port") << tcpHeading + listening + client << 1;
    QTest::newRow("the core's upstream connection, to the inbound port of another host")
        << tcpHeading +
               "   2: 0A000002:A7F2 CB007107:0438 01 00000000:00000000 00:00000000 00000000  "
               "1000        0 501 1 0 20 4 30 10 -1\n"
        << 0;
    QTest::newRow("client of another process on an inbound port")
        << tcpHeading + QByteArray(client).replace(" 501 ", " 777 ") << 0;
    QTest::newRow("IPv4-mapped client of the dual-stack listener")
        << tcpHeading +
               "   0: 0000000000000000FFFF00000100007F:1F90 0000000000000000FFFF00000100007F:D431 "
               "01 00000000:00000000 00:00000000 00000000  1000        0 500 1 0 20 4 30 10 -1\n"
        << 1;
    // Either side half-closed with the core's descriptor open still carries data; once both
    // FINs are out nothing does, and TIME_WAIT rows have no inode at all.
    QByteArray states = tcpHeading;
    for (const char *state : {"08", "04", "05", "03", "09", "0B", "06", "07"})
        states += "   1: 0100007F:0438 0100007F:C350 " + QByteArray(state) +
                  " 00000000:00000000 00:00000000 00000000  1000        0 " +
                  (qstrcmp(state, "06") == 0 ? "0" : "501") + " 1 0 20 4 30 10 -1\n";
    QTest::newRow("CLOSE_WAIT, FIN_WAIT1/2 and SYN_RECV count, the closing states not")
        << states << 4;
    QTest::newRow("malformed rows are skipped, not the rows after them")
        << tcpHeading + "   1: 0100007F:0438 0100007F:C350 01 00000000:00000000\n" // cut off
               + "   4: 0100007F:00000438 0100007F:C350 01 0:0 00:0 0 1000 0 501 1\n" +
               "   7: 0100007F:0438 0100007F:C350 01 0:0 00:0 0 1000 0 501x 1\n" +
               QByteArray("\0\xff\n\n", 4) + client
        << 1;
}

void TestDrainWatch::clientConnections()
{
    QFETCH(QByteArray, table);
    QFETCH(int, expected);
    QCOMPARE(DrainWatch::clientConnections(table, coreInodes, inboundPorts), expected);
}

void TestDrainWatch::countsThisProcessConnections()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::Any, 0)); // dual-stack, as the core listens
    const quint16 port = server.serverPort();
    const qint64 self = QCoreApplication::applicationPid();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QTRY_VERIFY(server.hasPendingConnections());
    std::unique_ptr<QTcpSocket> accepted(server.nextPendingConnection());
    QCOMPARE(DrainWatch::connectionsOf(self, {port}), 1); // the accepted side, not the client
    accepted->close();
    client.close();
    QTRY_COMPARE(DrainWatch::connectionsOf(self, {port}), 0);

    QFile pidMax("/proc/sys/kernel/pid_max");
    QVERIFY(pidMax.open(QIODevice::ReadOnly));
    QCOMPARE(DrainWatch::connectionsOf(pidMax.readAll().trimmed().toLongLong() + 1, {port}), -1);
}

void TestDrainWatch::copyIsWrittenAgainOnlyForAChangedCore()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("run"));
    const QString installed = dir.filePath("installed");
    writeExecutable(installed, "#!/bin/sh\necho one\n");
    QVERIFY(QFile::link(installed, dir.filePath("run/corvane")));

    QString error;
    const QString copy = CoreFile::runnableCopy(dir.filePath("run/corvane"), &error);
    QCOMPARE(copy, dir.filePath("run/.corvane-run"));
    QCOMPARE(statOf(copy).st_mode & 07777, 0700u);
    QCOMPARE(outputOf(copy, {}), QByteArray("one\n"));
    const ino_t first = statOf(copy).st_ino;
    QCOMPARE(CoreFile::runnableCopy(dir.filePath("run/corvane"), &error), copy);
    QCOMPARE(statOf(copy).st_ino, first);

    // An update of the same size, told apart by its time alone.
    writeExecutable(installed, "#!/bin/sh\necho two\n");
    QFile core(installed);
    QVERIFY(core.open(QIODevice::ReadWrite));
    QVERIFY(core.setFileTime(QDateTime::currentDateTime().addSecs(3600),
                             QFileDevice::FileModificationTime));
    core.close();
    QCOMPARE(CoreFile::runnableCopy(dir.filePath("run/corvane"), &error), copy);
    QCOMPARE(outputOf(copy, {}), QByteArray("two\n"));
    QVERIFY(statOf(copy).st_ino != first);
    QCOMPARE(statOf(copy).st_mtim.tv_sec, statOf(installed).st_mtim.tv_sec);
    QCOMPARE(statOf(copy).st_mtim.tv_nsec, statOf(installed).st_mtim.tv_nsec);
}

void TestDrainWatch::failedCopiesLeaveTheOldCopy()
{
    QTemporaryDir dir;
    QString error;
    QCOMPARE(CoreFile::runnableCopy(dir.filePath("corvane"), &error), QString());
    QVERIFY2(error.contains(dir.filePath("corvane")), qPrintable(error));
    QVERIFY(QFile(dir.filePath("corvane")).open(QIODevice::WriteOnly)); // not executable
    error.clear();
    QCOMPARE(CoreFile::runnableCopy(dir.filePath("corvane"), &error), QString());
    QVERIFY2(error.contains("not an executable"), qPrintable(error));

    writeExecutable(dir.filePath("corvane"), "#!/bin/sh\necho one\n");
    const QString copy = CoreFile::runnableCopy(dir.filePath("corvane"), &error);
    QVERIFY2(!copy.isEmpty(), qPrintable(error));
    // A file-size limit below the new core's size makes its copy fail half-way, as a full
    // disk would; root is bound by it too.
    writeExecutable(dir.filePath("corvane"), "#!/bin/sh\necho two\n#" + QByteArray(65536, 'x'));
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = 4096;
    setrlimit(RLIMIT_FSIZE, &limit);
    error.clear();
    const QString failed = CoreFile::runnableCopy(dir.filePath("corvane"), &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    QCOMPARE(failed, QString());
    QVERIFY2(error.contains(".corvane-run"), qPrintable(error));
    QCOMPARE(outputOf(copy, {}), QByteArray("one\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             (QStringList{".corvane-run", "corvane"}));
}

void TestDrainWatch::removeStaleKeepsTheCoreAndItsCopy()
{
    QTemporaryDir dir;
    for (const char *name :
         {"config.json", ".corvane-run", ".corvane-run.Ab12Cd", "notes.txt", ".corvane-run.old"})
        QVERIFY(QFile(dir.filePath(name)).open(QIODevice::WriteOnly));
    QVERIFY(QFile::link("/usr/bin/v2ray", dir.filePath("corvane")));
    CoreFile::removeStale(dir.path());
    QCOMPARE(
        QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name),
        (QStringList{".corvane-run", ".corvane-run.old", "config.json", "corvane", "notes.txt"}));
}

QTEST_GUILESS_MAIN(TestDrainWatch)
#include "tst_drainwatch.moc"
