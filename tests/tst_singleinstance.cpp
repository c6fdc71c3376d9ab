#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

// The real client binary in a temporary runtime folder. The test's own TMPDIR (from
// IsolatedEnvironment) gives the single-instance key a place of its own.
class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void secondInstanceRefusedAndStartAfterKillWorks();
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

    // A crash leaves the guard's segment behind on Linux; the next start must still work.
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

VEXALO_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
