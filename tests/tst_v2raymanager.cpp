#include "core/proxyentries.h"
#include "core/v2raymanager.h"
#include "support/logcapture.h"
#include "support/permissionsbind.h"
#include "support/runtimefolder.h"
#include "util/ciphercodec.h"

#include "support/runtimefolder.h"
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <QtTest>

#include <csignal>
#include <sys/resource.h>

// The manager on real files in a temporary working directory: whatever fails, the stored
// configuration is either the new document or exactly the old bytes.
class TestV2RayManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstAddOnFreshInstall_data();
    void firstAddOnFreshInstall();
    void secondAddOnSamePortRewrites();
    void addWithoutLocalPortPicksFreePort();
    void refusedRequestsWriteNothing_data();
    void refusedRequestsWriteNothing();
    void corruptFileStaysUnchanged_data();
    void corruptFileStaysUnchanged();
    void missingRunFolderCreatesNothing();
    void fullDiskKeepsOldFile();
    void readOnlyRunFolderKeepsOldFile();
    void coreOutputAndExitAreLogged();
    void stopKillsCoreOnce();

private:
    QByteArray stored() const;
    void writeStored(const QByteArray &bytes);
    QJsonObject document(V2RayManager &manager);
    void installCore(const QByteArray &script);

    std::unique_ptr<RuntimeFolder> m_folder;
};

namespace {

QJsonObject startRequest(const QJsonValue &localPort)
{
    return QJsonObject{{"ip", "127.0.0.1"},       {"port", 18081},       {"username", "vx_demo"},
                       {"password", "k3yS3cret"}, {"proxyType", "HTTP"}, {"sid", "s-1"},
                       {"local_port", localPort}, {"counrtyList", "US"}, {"gender", true}};
}

} // namespace

void TestV2RayManager::init()
{
    m_folder.reset(new RuntimeFolder(RuntimeFolder::WithoutCore));
    QVERIFY2(m_folder->isValid(), qPrintable(m_folder->error()));
}

void TestV2RayManager::cleanup()
{
    m_folder.reset();
}

QByteArray TestV2RayManager::stored() const
{
    QFile file(m_folder->filePath("run/config.json"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void TestV2RayManager::writeStored(const QByteArray &bytes)
{
    QFile file(m_folder->filePath("run/config.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QJsonObject TestV2RayManager::document(V2RayManager &manager)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(manager.readConfig(), &error);
    if (error.error != QJsonParseError::NoError)
        qWarning() << "stored document does not parse:" << error.errorString();
    return doc.object();
}

void TestV2RayManager::installCore(const QByteArray &script)
{
    QFile core(m_folder->filePath("run/corvane"));
    QVERIFY(core.open(QIODevice::WriteOnly));
    core.write("#!/bin/sh\n" + script);
    core.close();
    QVERIFY(core.setPermissions(core.permissions() | QFileDevice::ExeOwner));
}

void TestV2RayManager::firstAddOnFreshInstall_data()
{
    QTest::addColumn<bool>("emptyFile");
    QTest::newRow("no file") << false;
    QTest::newRow("empty file") << true;
}

void TestV2RayManager::firstAddOnFreshInstall()
{
    QFETCH(bool, emptyFile);
    if (emptyFile)
        writeStored(QByteArray());
    V2RayManager manager;
    LogCapture log;
    QCOMPARE(manager.addProxyEntry(startRequest(60001)), quint16(60001));
    QCOMPARE(log.count("File modification completed."), 1);

    const QByteArray bytes = stored();
    QVERIFY(!bytes.isEmpty());
    QVERIFY(!bytes.contains('\n'));
    QVERIFY2(QRegularExpression("^[A-Za-z0-9+/]+=*$").match(QString::fromLatin1(bytes)).hasMatch(),
             bytes.constData());
    QVERIFY(!bytes.contains("k3yS3cret"));

    const QJsonObject root = document(manager);
    QCOMPARE(root.value("inbounds").toArray().size(), 1);
    QCOMPARE(root.value("outbounds").toArray().at(0).toObject().value("tag").toString(),
             QString("proxy_60001"));
    // The file holds the indented form.
    QVERIFY(manager.readConfig().startsWith("{\n    \"dns\""));

    QVERIFY(manager.resetConfig());
    QCOMPARE(manager.readConfig(), ProxyEntries::templateText());
}

void TestV2RayManager::secondAddOnSamePortRewrites()
{
    V2RayManager manager;
    QCOMPARE(manager.addProxyEntry(startRequest(60001)), quint16(60001));
    QJsonObject second = startRequest(60001);
    second.insert("counrtyList", "DE");
    second.insert("sid", "s-2");
    LogCapture log;
    QCOMPARE(manager.addProxyEntry(second), quint16(60001));
    QCOMPARE(log.count("File modification completed."), 0);

    const QJsonObject root = document(manager);
    QCOMPARE(root.value("inbounds").toArray().size(), 1);
    QCOMPARE(root.value("routing").toObject().value("rules").toArray().size(), 1);
    QCOMPARE(root.value("outbounds").toArray().at(0).toObject().value("sid").toString(),
             QString("s-1"));
}

void TestV2RayManager::addWithoutLocalPortPicksFreePort()
{
    V2RayManager manager;
    const quint16 first = manager.addProxyEntry(startRequest(QJsonValue()));
    const quint16 second = manager.addProxyEntry(startRequest(QJsonValue()));
    QVERIFY(first != 0);
    QVERIFY(second != 0);
    QVERIFY(first != second);
    const QJsonArray inbounds = document(manager).value("inbounds").toArray();
    QCOMPARE(inbounds.size(), 2);
    QCOMPARE(inbounds.at(0).toObject().value("port").toInt(), int(first));
    QCOMPARE(inbounds.at(1).toObject().value("port").toInt(), int(second));
}

void TestV2RayManager::refusedRequestsWriteNothing_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QJsonValue>("value");
    QTest::newRow("local port as text") << "local_port" << QJsonValue("60002");
    QTest::newRow("local port wraps") << "local_port" << QJsonValue(65537);
    QTest::newRow("server port a word") << "port" << QJsonValue("abc");
}

void TestV2RayManager::refusedRequestsWriteNothing()
{
    QFETCH(QString, key);
    QFETCH(QJsonValue, value);
    V2RayManager manager;
    QVERIFY(manager.addProxyEntry(startRequest(60001)) != 0);
    const QByteArray before = stored();

    QJsonObject request = startRequest(60002);
    request.insert(key, value);
    LogCapture log;
    QCOMPARE(manager.addProxyEntry(request), quint16(0));
    QVERIFY(log.contains("Proxy entry refused:"));
    QCOMPARE(stored(), before);
    // Nor may a refused rewrite of an existing port touch it.
    request.insert("local_port", 60001);
    if (key != "local_port") {
        QCOMPARE(manager.addProxyEntry(request), quint16(0));
        QCOMPARE(stored(), before);
    }
}

void TestV2RayManager::corruptFileStaysUnchanged_data()
{
    QTest::addColumn<QByteArray>("garbage");
    const QByteArray good = CipherCodec().encryptUtf8(ProxyEntries::templateText());
    QByteArray binary;
    for (int i = 0; i < 256; ++i)
        binary.append(char(i));
    QTest::newRow("plain text") << QByteArray("this is not a stored configuration\n");
    QTest::newRow("cut in half") << good.left(good.size() / 2);
    QTest::newRow("binary") << binary;
    QTest::newRow("enciphered list") << CipherCodec().encryptUtf8("[1, 2]");
}

void TestV2RayManager::corruptFileStaysUnchanged()
{
    QFETCH(QByteArray, garbage);
    writeStored(garbage);
    V2RayManager manager;
    LogCapture log;
    QCOMPARE(manager.addProxyEntry(startRequest(60001)), quint16(0));
    QVERIFY(!manager.removeProxyEntry(60001));
    QCOMPARE(log.count("Failed to parse JSON: "), 2);
    QCOMPARE(stored(), garbage);
}

void TestV2RayManager::missingRunFolderCreatesNothing()
{
    QVERIFY(QDir(m_folder->filePath("run")).removeRecursively());
    V2RayManager manager;
    LogCapture log;
    QCOMPARE(manager.addProxyEntry(startRequest(60001)), quint16(0));
    QVERIFY(!manager.resetConfig());
    QVERIFY(log.contains("Failed to open file: "));
    QVERIFY(!QFileInfo::exists(m_folder->filePath("run")));
}

void TestV2RayManager::fullDiskKeepsOldFile()
{
    V2RayManager manager;
    QVERIFY(manager.resetConfig());
    const QByteArray before = stored();

    // A file-size limit just above the current file makes the bigger rewrite fail half-way,
    // as a full disk would; root is bound by it too.
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = before.size() + 100;
    setrlimit(RLIMIT_FSIZE, &limit);
    const quint16 port = manager.addProxyEntry(startRequest(60001));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(port, quint16(0));
    QCOMPARE(stored(), before);
    const QStringList leftovers = QDir(m_folder->filePath("run")).entryList(QDir::Files);
    QCOMPARE(leftovers, QStringList{"config.json"});
}

void TestV2RayManager::readOnlyRunFolderKeepsOldFile()
{
    V2RayManager manager;
    QCOMPARE(manager.addProxyEntry(startRequest(60001)), quint16(60001));
    const QByteArray before = stored();
    const QString run = m_folder->filePath("run");
    const QFileDevice::Permissions writable = QFile::permissions(run);
    QVERIFY(QFile::setPermissions(run, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const auto restore = qScopeGuard([&] { QFile::setPermissions(run, writable); });
    {
        PermissionsBind permissions;
        QVERIFY2(permissions.binds(), "cannot drop the capabilities that bypass permissions");
        LogCapture log;
        QCOMPARE(manager.addProxyEntry(startRequest(60002)), quint16(0));
        QVERIFY(!manager.removeProxyEntry(60001));
        QVERIFY(!manager.resetConfig());
        QCOMPARE(log.count("Failed to open file: "), 3);
        QVERIFY(ProxyEntries::hasEntry(document(manager), 60001)); // still readable
    }
    QCOMPARE(stored(), before);
    QCOMPARE(QDir(run).entryList(QDir::Files), QStringList{"config.json"});
}

void TestV2RayManager::coreOutputAndExitAreLogged()
{
    V2RayManager manager;
    LogCapture log;
    manager.startV2Ray(); // no core installed yet
    QVERIFY(log.contains("Failed to start the core:"));

    installCore("echo \"$1 $2\"; echo oops >&2; exit 3\n");
    manager.startV2Ray();
    QTRY_VERIFY(log.contains("V2Ray process finished with exit code: 3 Exit status: "));
    const QString lines = log.lines().join('\n');
    QVERIFY2(lines.contains("V2Ray Output: \"-config http://127.0.0.1:9584/xray_config.json\\n\""),
             qPrintable(lines));
    QVERIFY2(lines.contains("V2Ray Error: \"oops\\n\""), qPrintable(lines));
}

void TestV2RayManager::stopKillsCoreOnce()
{
    installCore("exec sleep 300\n");
    V2RayManager manager;
    LogCapture log;
    manager.stopV2Ray(); // nothing runs yet
    QCOMPARE(log.count("V2Ray process finished"), 0);
    manager.startV2Ray();
    const qint64 pid = manager.coreProcessId();
    QVERIFY(pid > 0);
    manager.stopV2Ray();
    QCOMPARE(log.count("V2Ray process finished with exit code:"), 1);
    QVERIFY(!QFileInfo::exists(QString("/proc/%1").arg(pid)));
}

QTEST_GUILESS_MAIN(TestV2RayManager)
#include "tst_v2raymanager.moc"
