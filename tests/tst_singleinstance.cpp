#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

// The real client binary in a temporary runtime folder. The test's own TMPDIR (from
// IsolatedEnvironment) gives the single-instance key a place of its own.
class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void secondInstanceRefusedAndStartAfterKillWorks();

private:
    void start(QProcess &client);
    bool waitForLog(QProcess &client, const QByteArray &line);
    QString findBox();

    QTemporaryDir m_runtime;
};

void TestSingleInstance::initTestCase()
{
    QVERIFY(m_runtime.isValid());
    QVERIFY(QDir(m_runtime.path()).mkdir("run"));
    QVERIFY2(!qEnvironmentVariableIsEmpty("DISPLAY"), "needs an X display (xvfb-run)");
}

void TestSingleInstance::start(QProcess &client)
{
    client.setWorkingDirectory(m_runtime.path());
    client.setProcessChannelMode(QProcess::MergedChannels);
    client.start(VEXALO_APP_PATH, QStringList());
    QVERIFY2(client.waitForStarted(10000), qPrintable(client.errorString()));
}

bool TestSingleInstance::waitForLog(QProcess &client, const QByteArray &line)
{
    QByteArray output;
    return QTest::qWaitFor(
        [&] {
            output += client.readAll();
            return output.contains(line);
        },
        30000);
}

// The error box of a refused start is a window of another process: find it by its title.
QString TestSingleInstance::findBox()
{
    QString window;
    const bool found = QTest::qWaitFor(
        [&] {
            QProcess search;
            search.start("xdotool", {"search", "--name", "^error$"});
            search.waitForFinished(5000);
            window = QString::fromLatin1(search.readAllStandardOutput()).section('\n', 0, 0);
            return !window.isEmpty();
        },
        30000);
    return found ? window : QString();
}

void TestSingleInstance::secondInstanceRefusedAndStartAfterKillWorks()
{
    QProcess first;
    start(first);
    QVERIFY(waitForLog(first, "MainWindow init"));
    const QString configPath = m_runtime.filePath("config.ini");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(configPath), 10000);
    QFile config(configPath);
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QByteArray configBefore = config.readAll();
    const QDateTime modifiedBefore = QFileInfo(configPath).lastModified();
    config.close();

    QProcess second;
    start(second);
    const QString box = findBox();
    QVERIFY2(!box.isEmpty(), "the second instance showed no error box");
    QVERIFY(!second.waitForFinished(200)); // it waits for the user
    QProcess::execute("xdotool", {"key", "--window", box, "Return"});
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(!second.readAll().contains("MainWindow init"));
    QVERIFY(config.open(QIODevice::ReadOnly));
    QCOMPARE(config.readAll(), configBefore);
    QCOMPARE(QFileInfo(configPath).lastModified(), modifiedBefore);
    config.close();
    QCOMPARE(first.state(), QProcess::Running);

    // A crash leaves the guard's segment behind on Linux; the next start must still work.
    first.kill();
    QVERIFY(first.waitForFinished(10000));

    QProcess third;
    start(third);
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
