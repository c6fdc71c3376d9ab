#include "app/singleinstance.h"
#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

// The real client binary in a temporary runtime folder, and the guard taken by processes of
// two users. The guard is one per machine, as port 9584 is, and like it one per network
// namespace: run under nsrun, the test has both to itself.
class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void secondInstanceRefusedAndStartAfterKillWorks();
    void killedHolderOfAnyUserFreesTheGuard();
};

void TestSingleInstance::secondInstanceRefusedAndStartAfterKillWorks()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("DISPLAY"), "needs an X display (xvfb-run)");
    QTemporaryDir runtime;
    QVERIFY(QDir(runtime.path()).mkdir("run"));
    const auto start = [&runtime](QProcess &client) {
        client.setWorkingDirectory(runtime.path());
        client.setProcessChannelMode(QProcess::MergedChannels);
        client.start(VEXALO_APP_PATH, QStringList());
        return client.waitForStarted(10000);
    };
    const auto waitForLog = [](QProcess &client, const QByteArray &line) {
        QByteArray output;
        return QTest::qWaitFor([&] { return (output += client.readAll()).contains(line); }, 30000);
    };
    const auto config = [&runtime] {
        QFile file(runtime.filePath("config.ini"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QProcess first;
    QVERIFY(start(first));
    QVERIFY(waitForLog(first, "MainWindow init"));
    QTRY_VERIFY_WITH_TIMEOUT(!config().isEmpty(), 10000);
    const QByteArray configBefore = config();

    // The error box of a refused start is a window of another process: found by its title.
    QProcess second;
    QVERIFY(start(second));
    QString box;
    const auto findBox = [&box] {
        QProcess search;
        search.start("xdotool", {"search", "--name", "^error$"});
        search.waitForFinished(5000);
        box = QString::fromLatin1(search.readAllStandardOutput()).section('\n', 0, 0);
        return !box.isEmpty();
    };
    QVERIFY2(QTest::qWaitFor(findBox, 30000), "the second instance showed no error box");
    QVERIFY(!second.waitForFinished(200)); // it waits for the user
    QProcess::execute("xdotool", {"key", "--window", box, "Return"});
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(!second.readAll().contains("MainWindow init"));
    QCOMPARE(config(), configBefore);
    QCOMPARE(first.state(), QProcess::Running);

    // A client killed with SIGKILL has no chance to let the guard go: the next start works.
    first.kill();
    QVERIFY(first.waitForFinished(10000));
    QProcess third;
    QVERIFY(start(third));
    QVERIFY(waitForLog(third, "MainWindow init"));

    // A service manager's SIGTERM ends the client through its normal quit path.
    third.terminate();
    QVERIFY(third.waitForFinished(30000));
    QCOMPARE(third.exitStatus(), QProcess::NormalExit);
    QCOMPARE(third.exitCode(), 0);
    QVERIFY(third.readAll().contains("Application is about to quit. Cleaning up..."));
}

// Another user's client keeps this one from starting, and a client killed with SIGKILL keeps
// no one from starting, whoever ran it: root's included, which user 65534 cannot clear up.
void TestSingleInstance::killedHolderOfAnyUserFreesTheGuard()
{
    if (geteuid() != 0)
        QSKIP("taking the guard as another user (65534) needs root");
    // The users share one temporary folder, as they share /tmp on a desktop.
    QTemporaryDir shared(QStringLiteral("/tmp/tst_singleinstance-XXXXXX"));
    QCOMPARE(chmod(QFile::encodeName(shared.path()).constData(), 01777), 0);
    const QByteArray ownTemp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(shared.path()));
    const auto restoreTemp = qScopeGuard([&ownTemp] { qputenv("TMPDIR", ownTemp); });

    const QString key = QStringLiteral("tst_singleinstance.%1").arg(getpid());
    const auto take = [&key](QProcess &holder, bool otherUser) {
        QStringList arguments{QStringLiteral(VEXALO_GUARDHOLDER_PATH), key};
        if (otherUser)
            arguments = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups"} + arguments;
        const QString program = otherUser ? QStringLiteral("setpriv") : arguments.takeFirst();
        holder.setProcessChannelMode(QProcess::MergedChannels);
        holder.start(program, arguments);
        holder.waitForReadyRead(10000);
        return holder.readAll().trimmed();
    };
    {
        QProcess other;
        QCOMPARE(take(other, true), QByteArray("held"));
        QVERIFY(!SingleInstance(key).tryAcquire());
        other.kill();
        QVERIFY(other.waitForFinished(10000));
    }
    {
        SingleInstance guard(key);
        QVERIFY(guard.tryAcquire());
        QProcess other;
        QCOMPARE(take(other, true), QByteArray("refused"));
    }
    QProcess root;
    QCOMPARE(take(root, false), QByteArray("held"));
    root.kill();
    QVERIFY(root.waitForFinished(10000));
    QProcess other;
    QCOMPARE(take(other, true), QByteArray("held"));
}

VEXALO_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
