#include "core/configstore.h"
#include "core/coreprocess.h"
#include "core/proxyentries.h"
#include "core/v2raymanager.h"
#include "support/logcapture.h"
#include "support/permissionsbind.h"
#include "support/runtimefolder.h"
#include "util/ciphercodec.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// The manager on real files in a temporary working directory: whatever fails, the stored
// configuration is either the new document or exactly the old bytes.
class TestV2RayManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void addRewriteAndReset();
    void storedFileIsTheUsersAlone();
    void failuresLeaveTheStoredBytes();
    void readsTheFileNotWhatItWrote();
    void heldReadsGetWhatIsStoredMeanwhile();
    void coreOutputExitAndStopAreLogged();
    void preparedStartRunsTheCoreFileAsItIsThen();
    void coresHoldNoDescriptorOfTheClient();
    void failedChangesKeepThePreviousDocument();

private:
    QByteArray stored() const;
    void writeStored(const QByteArray &bytes);
    void installCore(const QByteArray &script);

    std::unique_ptr<RuntimeFolder> m_folder;
};

namespace {

QJsonObject startRequest(int localPort)
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

void TestV2RayManager::installCore(const QByteArray &script)
{
    QFile core(m_folder->filePath("run/corvane"));
    QVERIFY(core.open(QIODevice::WriteOnly | QIODevice::Truncate));
    core.write(script);
    core.close();
    QVERIFY(core.setPermissions(core.permissions() | QFileDevice::ExeOwner));
}

void TestV2RayManager::addRewriteAndReset()
{
    V2RayManager manager;
    QCOMPARE(manager.addProxyEntry(startRequest(31001)), quint16(31001)); // no file yet
    const QByteArray bytes = stored();
    QVERIFY2(QRegularExpression("^[A-Za-z0-9+/]+=*$").match(QString::fromLatin1(bytes)).hasMatch(),
             bytes.constData());
    QVERIFY(manager.readConfig().startsWith("{\n    \"dns\"")); // the indented form inside

    // A second start on the same port rewrites its outbound in place.
    QJsonObject second = startRequest(31001);
    second.insert("counrtyList", "DE");
    second.insert("sid", "s-2");
    QCOMPARE(manager.addProxyEntry(second), quint16(31001));
    const QJsonObject root = QJsonDocument::fromJson(manager.readConfig()).object();
    QCOMPARE(root.value("inbounds").toArray().size(), 1);
    QCOMPARE(root.value("routing").toObject().value("rules").toArray().size(), 1);
    const QJsonObject outbound = root.value("outbounds").toArray().at(0).toObject();
    QCOMPARE(outbound.value("sid").toString(), QString("s-1"));
    QVERIFY(QJsonDocument(outbound).toJson().contains("k3yS3cret_country-DE_session-"));

    QVERIFY(manager.resetConfig());
    QCOMPARE(manager.readConfig(), ProxyEntries::templateText());
    writeStored(QByteArray()); // an empty file is the empty template too
    QCOMPARE(manager.addProxyEntry(startRequest(31002)), quint16(31002));
}

void TestV2RayManager::storedFileIsTheUsersAlone()
{
    // The file holds the upstream passwords; the cipher's key is in the program.
    const mode_t saved = ::umask(0);
    const auto restore = qScopeGuard([saved] { ::umask(saved); });
    const QByteArray path = QFile::encodeName(m_folder->filePath("run/config.json"));
    const auto mode = [&path] {
        struct stat status = {};
        return ::stat(path.constData(), &status) == 0 ? status.st_mode & 07777 : mode_t(-1);
    };
    V2RayManager manager;
    QCOMPARE(manager.addProxyEntry(startRequest(31001)), quint16(31001));
    QCOMPARE(mode(), mode_t(0600));
    QVERIFY(::chmod(path.constData(), 0644) == 0); // as an earlier version left it
    QVERIFY(manager.resetConfig());
    QCOMPARE(mode(), mode_t(0600));
}

void TestV2RayManager::failuresLeaveTheStoredBytes()
{
    V2RayManager manager;
    QVERIFY(manager.addProxyEntry(startRequest(31001)) != 0);
    const QByteArray before = stored();
    for (int local : {31002, 31001}) { // a new port, then a rewrite of the existing one
        QJsonObject request = startRequest(local);
        request.insert("port", "abc");
        QCOMPARE(manager.addProxyEntry(request), quint16(0));
        QCOMPARE(stored(), before);
    }

    // A file-size limit just above the current file makes the bigger rewrite fail half-way,
    // as a full disk would; root is bound by it too.
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = before.size() + 100;
    setrlimit(RLIMIT_FSIZE, &limit);
    const quint16 port = manager.addProxyEntry(startRequest(31002));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    QCOMPARE(port, quint16(0));
    QCOMPARE(stored(), before);
    QCOMPARE(QDir(m_folder->filePath("run")).entryList(QDir::Files), QStringList{"config.json"});

    // A file that does not read back as a JSON object is neither edited nor replaced.
    for (const QByteArray &garbage :
         {QByteArray("not a stored configuration\n"), CipherCodec().encryptUtf8("[1, 2]")}) {
        writeStored(garbage);
        LogCapture log;
        QCOMPARE(manager.addProxyEntry(startRequest(31001)), quint16(0));
        QVERIFY(!manager.removeProxyEntry(31001));
        QCOMPARE(log.count("Failed to parse JSON: "), 2);
        QCOMPARE(stored(), garbage);
    }

    QVERIFY(QDir(m_folder->filePath("run")).removeRecursively());
    QCOMPARE(manager.addProxyEntry(startRequest(31001)), quint16(0));
    QVERIFY(!manager.resetConfig());
    QVERIFY(!QFileInfo::exists(m_folder->filePath("run"))); // nor made again
}

// What the store last wrote stands in for deciphering only while the file holds exactly
// those bytes: another writer with a document of the same size, whose modification time
// is then set back, is read as it is.
void TestV2RayManager::readsTheFileNotWhatItWrote()
{
    V2RayManager manager;
    QCOMPARE(manager.addProxyEntry(startRequest(31001)), quint16(31001));
    QFile file(m_folder->filePath("run/config.json"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QDateTime modified = file.fileTime(QFileDevice::FileModificationTime);
    file.close();
    const QByteArray other = QString(manager.readConfig()).replace("31001", "31002").toUtf8();
    const QByteArray otherStored = CipherCodec().encryptUtf8(other);
    QCOMPARE(otherStored.size(), stored().size());
    writeStored(otherStored);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
    file.close();

    QCOMPARE(manager.readConfig(), other);
    QVERIFY(manager.removeProxyEntry(31002));
    QVERIFY(
        ProxyEntries::usedPorts(QJsonDocument::fromJson(manager.readConfig()).object()).isEmpty());
}

// A restart lets the next core go before the new file is committed; the core's read of its
// configuration, from the service's thread, must wait for it.
void TestV2RayManager::heldReadsGetWhatIsStoredMeanwhile()
{
    const ConfigStore store(m_folder->filePath("run/config.json"));
    QVERIFY(store.storePlain("{\"old\": true}"));
    store.holdReads();
    QSemaphore reading;
    QByteArray got;
    std::unique_ptr<QThread> reader(QThread::create([&] {
        reading.release();
        got = store.readPlain();
    }));
    reader->start();
    reading.acquire();
    QVERIFY(!reader->wait(200)); // held, it cannot have read: it would not take that long
    QVERIFY(store.storePlain("{\"new\": true}"));
    store.releaseReads();
    QVERIFY(reader->wait(30000));
    QCOMPARE(got, QByteArray("{\"new\": true}"));
}

void TestV2RayManager::coreOutputExitAndStopAreLogged()
{
    V2RayManager manager;
    LogCapture log;
    manager.startV2Ray(); // no core installed yet
    QVERIFY(log.contains("Failed to start the core:"));

    installCore(
        "#!/bin/sh\necho \"$1 $2\"; echo oops >&2; [ -e stay ] && exec sleep 300; exit 3\n");
    manager.startV2Ray();
    QTRY_VERIFY(log.contains("V2Ray exited by itself"));
    const QString lines = log.lines().join('\n');
    // The core is told where its configuration is, with the port its API is to listen on.
    const QRegularExpression told(
        "V2Ray Output: \"-config "
        "http://127\\.0\\.0\\.1:9584/xray_config\\.json\\?api=\\d+\\\\n\"");
    QVERIFY2(lines.contains(told), qPrintable(lines));
    QVERIFY2(lines.contains("V2Ray Error: \"oops\\n\""), qPrintable(lines));
    const QRegularExpression ended(
        "exit code: 3 Exit status: QProcess::NormalExit last error output: \"-config "
        "http://127\\.0\\.0\\.1:9584/xray_config\\.json\\?api=\\d+ \\| oops\"");
    QVERIFY2(lines.contains(ended), qPrintable(lines));

    // A stop by the client itself kills the core and is no exit by itself.
    QVERIFY(QFile(m_folder->filePath("stay")).open(QIODevice::WriteOnly));
    log.clear();
    manager.startV2Ray();
    const qint64 pid = manager.coreProcessId();
    QVERIFY(pid > 0);
    manager.stopV2Ray();
    QCOMPARE(log.count("V2Ray process finished with exit code:"), 1);
    QCOMPARE(log.count("V2Ray exited by itself"), 0);
    QVERIFY(!QFileInfo::exists(QString("/proc/%1").arg(pid)));
    manager.stopV2Ray(); // nothing runs now
    QCOMPARE(log.count("V2Ray process finished"), 1);
}

// The processes this test has started and not yet reaped.
static QList<qint64> childProcesses()
{
    QList<qint64> pids;
    for (const QString &task :
         QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile children(QString("/proc/self/task/%1/children").arg(task));
        if (children.open(QIODevice::ReadOnly)) {
            for (const QByteArray &pid : children.readAll().split(' '))
                if (!pid.trimmed().isEmpty())
                    pids << pid.trimmed().toLongLong();
        }
    }
    return pids;
}

// The next core's process is forked ahead of its start, and becomes the core only then: the
// start runs the core file as it is at that moment, and a core file gone meanwhile is a
// failed start, not a core that ended by itself.
void TestV2RayManager::preparedStartRunsTheCoreFileAsItIsThen()
{
    installCore("#!/bin/sh\necho old; exec sleep 300\n");
    V2RayManager manager;
    manager.prepareNextCore();
    QTRY_COMPARE(childProcesses().size(), 1);
    const qint64 prepared = childProcesses().first();
    installCore("#!/bin/sh\necho \"new $1 $2\"; exec sleep 300\n");

    LogCapture log;
    manager.startV2Ray();
    QCOMPARE(manager.coreProcessId(), prepared);
    QTRY_VERIFY(
        log.contains("V2Ray Output: \"new -config http://127.0.0.1:9584/xray_config.json?api="));
    manager.stopV2Ray();
    QTRY_COMPARE(childProcesses().size(), 1); // the next one, prepared after the start

    QVERIFY(QFile::remove(m_folder->filePath("run/corvane")));
    log.clear();
    manager.startV2Ray();
    QVERIFY(log.contains("Failed to start the core:"));
    QTest::qWait(100);
    QCOMPARE(log.count("V2Ray exited by itself"), 0);
}

// What a descriptor is, as the kernel names it: "socket:[inode]", "pipe:[inode]", a path.
static QByteArray descriptorTarget(const QString &link)
{
    char target[256] = {};
    return readlink(QFile::encodeName(link).constData(), target, sizeof target - 1) > 0
               ? QByteArray(target)
               : QByteArray();
}

// The sockets and pipes among a process's descriptors above its standard streams, or all of
// them.
static QSet<QByteArray> socketsAndPipes(const QString &process, bool aboveStandardStreams)
{
    QSet<QByteArray> ends;
    const QDir fds(QString("/proc/%1/fd").arg(process));
    for (const QString &fd :
         fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const QByteArray target = descriptorTarget(fds.filePath(fd));
        if ((!aboveStandardStreams || fd.toInt() > 2) &&
            (target.startsWith("socket:") || target.startsWith("pipe:")))
            ends << target;
    }
    return ends;
}

// Neither the running core nor the prepared next one shares a socket or pipe with the client
// beyond its standard streams, not even one the client opened without close-on-exec; and a
// core that cannot be executed is still a failed start.
void TestV2RayManager::coresHoldNoDescriptorOfTheClient()
{
    int pair[2];
    QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const auto closePair = qScopeGuard([&pair] {
        close(pair[0]);
        close(pair[1]);
    });
    installCore("#!/bin/sh\nexec sleep 300\n");
    V2RayManager manager;
    manager.prepareNextCore();
    manager.startV2Ray();
    QTRY_COMPARE(childProcesses().size(), 2); // the core and the next one
    const QSet<QByteArray> clients = socketsAndPipes("self", false);
    QVERIFY(clients.contains(descriptorTarget(QString("/proc/self/fd/%1").arg(pair[0]))));
    for (qint64 child : childProcesses()) {
        const QSet<QByteArray> shared = socketsAndPipes(QString::number(child), true) & clients;
        QVERIFY2(shared.isEmpty(), shared.values().join(' ').constData());
    }

    CoreProcess missing;
    missing.start(m_folder->filePath("run/none"), QStringList());
    QVERIFY(!missing.waitForStarted(10000));
    QCOMPARE(missing.error(), QProcess::FailedToStart);
}

// A change is answered once the core is seen to serve it. A file that cannot be written
// leaves the running core alone; a core that exits at its start brings the previous
// document back, and its exit and last words are logged.
void TestV2RayManager::failedChangesKeepThePreviousDocument()
{
    installCore("#!/bin/sh\nexec sleep 300\n");
    V2RayManager manager;
    manager.prepareNextCore();
    QVERIFY(manager.addProxyEntry(startRequest(31001)) != 0);
    manager.startV2Ray();
    const qint64 first = manager.coreProcessId();
    QVERIFY(first > 0);
    const QByteArray before = stored();
    const QByteArray plainBefore = manager.readConfig();

    QList<V2RayManager::Outcome> outcomes;
    QSignalSpy settled(&manager, &V2RayManager::startSettled);
    const auto record = [&outcomes](const V2RayManager::Outcome &outcome) {
        outcomes << outcome;
    };
    const QFileDevice::Permissions writable = QFile::permissions(m_folder->filePath("run"));
    QVERIFY(QFile::setPermissions(m_folder->filePath("run"),
                                  QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    {
        PermissionsBind permissions;
        QVERIFY2(permissions.binds(), "cannot drop the capabilities that bypass permissions");
        manager.requestStart(startRequest(31002), record);
        QTRY_COMPARE(outcomes.size(), 1);
    }
    QVERIFY(QFile::setPermissions(m_folder->filePath("run"), writable));
    QVERIFY(!outcomes.last().ok);
    QCOMPARE(manager.coreProcessId(), first);
    QCOMPARE(stored(), before);

    installCore("#!/bin/sh\necho 'failed to read config: 31002 is odd' >&2\nexit 23\n");
    LogCapture log;
    manager.requestStart(startRequest(31002), record);
    QTRY_COMPARE(outcomes.size(), 2);
    QVERIFY(!outcomes.last().ok);
    QCOMPARE(outcomes.last().port, quint16(31002));
    QCOMPARE(settled.size(), 2);
    QCOMPARE(settled.last().at(1).toBool(), false);
    QCOMPARE(manager.readConfig(), plainBefore);
    QVERIFY(!QFileInfo::exists(QString("/proc/%1").arg(first))); // ended, not left behind
    QVERIFY(log.count("V2Ray exited by itself") >= 1);
    QVERIFY(log.contains("V2Ray process finished with exit code: 23"));
    QVERIFY(log.lines().join('\n').contains(
        "exit code: 23 Exit status: QProcess::NormalExit last error output: "
        "\"failed to read config: 31002 is odd\""));
}

QTEST_GUILESS_MAIN(TestV2RayManager)
#include "tst_v2raymanager.moc"
