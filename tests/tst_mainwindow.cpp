#include "app/mainwindow.h"
#include "app/quitsignals.h"
#include "app/startpage.h"
#include "bridge/mainchannel.h"
#include "core/configstore.h"
#include "core/configurl.h"
#include "core/proxyentries.h"
#include "core/v2raymanager.h"
#include "http/httproutes.h"
#include "pagedriver.h"
#include "residentialgateway.h"
#include "support/logcapture.h"
#include "support/relayprobe.h"
#include "support/runtimefolder.h"
#include "support/testmain.h"
#include "util/renderer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// The real window in a temporary working directory, so config.ini is the test's own.
class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_folder.reset(); }

    void startPage();
    void softwareRenderers();
    void firstStartIsFixedTitledAndStoresTheLanguage();
    void closeQuestion_data();
    void closeQuestion();
    void channelQuietWhileThePageRests();
    void configurationServedWhileTheWindowIsBusy();
    void quitStopsAndResets_data();
    void quitStopsAndResets();

private:
    bool startTray();

    std::unique_ptr<RuntimeFolder> m_folder;
    QProcess m_tray;
};

void TestMainWindow::init()
{
    m_folder.reset(new RuntimeFolder(RuntimeFolder::WithoutCore));
    QVERIFY2(m_folder->isValid(), qPrintable(m_folder->error()));
}

bool TestMainWindow::startTray()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        return true;
    m_tray.start("trayer", {"--align", "right"});
    if (!m_tray.waitForStarted(10000))
        return false;
    return QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000);
}

void TestMainWindow::startPage()
{
    // config.ini gives its values back as text. A damaged language must not leave the user in
    // front of a page that does not exist.
    const struct
    {
        QVariant login, language;
        const char *page, *store;
    } cases[] = {
        {"true", "_en", "index_en", ""},    {true, {}, "index_cn", "_cn"},
        {"false", "_en", "login_en", ""},   {{}, {}, "login_cn", "_cn"},
        {"true", "_fr", "index_cn", "_cn"}, {"false", "", "login_cn", "_cn"},
    };
    for (const auto &c : cases) {
        const StartPage start = chooseStartPage(c.login, c.language);
        QCOMPARE(start.url, QUrl(QString("qrc:/html/%1.html").arg(c.page)));
        QCOMPARE(start.languageToStore, QString(c.store));
    }
}

// As drivers name themselves: a virtual GPU that hands the work to the host's (VMware's,
// virgl) is no software rasterizer, though LLVM may be in its name.
void TestMainWindow::softwareRenderers()
{
    const struct
    {
        const char *name;
        bool software;
    } cases[] = {
        {"llvmpipe (LLVM 15.0.6, 256 bits)", true},
        {"Software Rasterizer", true},
        {"softpipe", true},
        {"Google SwiftShader", true},
        {"SVGA3D; build: RELEASE;  LLVM;", false},
        {"virgl (Mesa Intel(R) UHD Graphics 620)", false},
        {"NVIDIA GeForce GTX 1060/PCIe/SSE2", false},
        {"", false},
    };
    for (const auto &c : cases)
        QVERIFY2(Renderer::isSoftware(c.name) == c.software, c.name);
}

void TestMainWindow::firstStartIsFixedTitledAndStoresTheLanguage()
{
    // The profile's cookies hold the password: its folders are narrowed, also where they
    // were left open before.
    const QWebEngineProfile *profile = QWebEngineProfile::defaultProfile();
    const QStringList profileFolders{profile->persistentStoragePath(), profile->cachePath()};
    const QFileDevice::Permissions open = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                          QFileDevice::ExeOther;
    for (const QString &folder : profileFolders)
        QVERIFY(QDir().mkpath(folder) && QFile::setPermissions(folder, open));

    MainWindow window;
    window.show();
    auto *view = window.findChild<QWebEngineView *>();
    QTRY_COMPARE(view->url(), QUrl("qrc:/html/login_cn.html"));
    QFile file("config.ini");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("[settings]\nlanguage=_cn\n"));

    QCOMPARE(window.minimumSize(), QSize(1200, 670));
    QCOMPARE(window.maximumSize(), QSize(1200, 670));
    QCOMPARE(window.windowTitle(), QString("Vexalo v1.0.0 "));
    QCOMPARE(view->contextMenuPolicy(), Qt::NoContextMenu);
    for (const QString &folder : profileFolders) {
        struct stat status = {};
        QCOMPARE(::stat(QFile::encodeName(folder).constData(), &status), 0);
        QCOMPARE(status.st_mode & 07777, mode_t(0700));
    }

    auto *tray = window.findChild<QSystemTrayIcon *>();
    QVERIFY(tray);
    QTRY_VERIFY(tray->isVisible());
}

void TestMainWindow::closeQuestion_data()
{
    QTest::addColumn<bool>("tray");
    QTest::addColumn<bool>("minimize");
    // Without a tray a hidden window could never be shown again: closing asks nothing.
    QTest::newRow("no tray quits") << false << false;
    QTest::newRow("yes hides to the tray") << true << true;
    QTest::newRow("no quits") << true << false;
}

void TestMainWindow::closeQuestion()
{
    QFETCH(bool, tray);
    QFETCH(bool, minimize);
    if (!tray && QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("a system tray is running on this display");
    QVERIFY(!tray || startTray());
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // A modal box runs its own event loop, so the answer comes from a timer.
    QStringList asked;
    QTimer answerer;
    connect(&answerer, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        answerer.stop();
        asked << box->windowTitle() << box->text();
        for (QAbstractButton *button : box->buttons())
            asked << button->text();
        box->button(minimize ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    answerer.start(20);

    // Closed inside a running event loop, where Qt's quit-on-last-window-closed applies.
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    bool accepted = false;
    QTimer::singleShot(0, &window, [&] {
        accepted = window.close();
        QCoreApplication::quit(); // ends the loop when the client itself did not
    });
    qApp->exec();
    std::sort(asked.begin() + qMin(2, asked.size()), asked.end()); // buttons in the desktop's order
    const QStringList question{"Tip:", "Minimize to system tray?", "no", "yes"};
    QCOMPARE(asked, tray ? question : QStringList());
    QVERIFY(window.isHidden());
    QCOMPARE(accepted, !minimize);
    QCOMPARE(lastClosed.count(), minimize ? 0 : 1);
    if (!minimize)
        return;

    // Hidden in the tray, the page draws nothing, while its scripts, which the local API
    // needs, run on.
    PageDriver page(window.findChild<QWebEngineView *>()->page());
    QCOMPARE(page.eval("document.visibilityState").toString(), QString("hidden"));
    page.eval(
        "window.drawn = 0; requestAnimationFrame(function draw() { drawn++;"
        " requestAnimationFrame(draw); }); setTimeout(function () { timerRan = true; }, 100)");
    QVERIFY(page.waitFor("window.timerRan"));
    QCOMPARE(page.eval("drawn").toInt(), 0);

    // A double click or the menu's first action shows it again.
    auto *icon = window.findChild<QSystemTrayIcon *>();
    const auto activate = [icon](QSystemTrayIcon::ActivationReason reason) {
        QMetaObject::invokeMethod(icon, "activated",
                                  Q_ARG(QSystemTrayIcon::ActivationReason, reason));
    };
    activate(QSystemTrayIcon::Trigger);
    QVERIFY(window.isHidden());
    activate(QSystemTrayIcon::DoubleClick);
    QVERIFY(window.isVisible());
    QTRY_VERIFY(page.eval("drawn").toInt() > 0);
    window.hide();
    icon->contextMenu()->actions().first()->trigger();
    QVERIFY(window.isVisible());
}

// A page that told the channel it is idle would have the channel look for property changes
// to send every 50 ms, waking the program for as long as it runs.
void TestMainWindow::channelQuietWhileThePageRests()
{
    struct TimerCount : QObject
    {
        int count = 0;
        bool eventFilter(QObject *, QEvent *event) override
        {
            count += event->type() == QEvent::Timer;
            return false;
        }
    } timers;
    MainWindow window;
    window.show();
    QWebEnginePage *webPage = window.findChild<QWebEngineView *>()->page();
    PageDriver page(webPage);
    QVERIFY(page.waitFor("myObject !== null"));
    const QList<QObject *> parts = webPage->webChannel()->findChildren<QObject *>();
    QVERIFY(!parts.isEmpty());
    for (QObject *part : parts)
        part->installEventFilter(&timers);
    page.eval("setTimeout(function () { window.waited = true; }, 300)");
    QVERIFY(page.waitFor("window.waited"));
    QCOMPARE(timers.count, 0);
}

void TestMainWindow::configurationServedWhileTheWindowIsBusy()
{
    MainWindow window;
    // The window's thread does not return to its event loop until the core, here another
    // thread of the test, has its configuration or has given up.
    std::atomic<bool> done{false};
    QByteArray answer;
    std::thread core([&] {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, HTTP_SERVICE_PORT);
        if (client.waitForConnected(10000)) {
            client.write("GET /xray_config.json HTTP/1.1\r\nHost: 127.0.0.1:9584\r\n\r\n");
            while (client.waitForReadyRead(10000))
                answer += client.readAll();
        }
        done = true;
    });
    while (!done)
        QThread::msleep(5);
    core.join();
    QCOMPARE(answer, HttpRoutes::configAnswer(ProxyEntries::templateText()));
}

void TestMainWindow::quitStopsAndResets_data()
{
    QTest::addColumn<int>("signalNumber"); // 0: the tray menu's quit action
    QTest::newRow("tray menu") << 0;
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

// However the client is told to quit, with a proxy relaying, the port closes, no core is
// left and the stored configuration is the empty template.
void TestMainWindow::quitStopsAndResets()
{
    QFETCH(int, signalNumber);
    QVERIFY(m_folder->linkCore());
    ResidentialGateway gateway;
    gateway.addAccount("vx_demo", "k3yS3cret");
    QVERIFY(gateway.listenHttp(QHostAddress::LocalHost));
    TargetServer target;
    QuitSignals quitSignals;
    MainWindow window;
    const quint16 port = CommconUtils::getUnusedPort();
    const QJsonObject request{{"ip", "127.0.0.1"},     {"port", gateway.httpPort()},
                              {"username", "vx_demo"}, {"password", "k3yS3cret"},
                              {"proxyType", "HTTP"},   {"local_port", port}};
    // As the index page reports the signed-in account.
    window.findChild<MainChannel *>()->sendMsg(
        R"({"code":11,"data":{"username":"ann@example.com","password":"pw"}})");
    window.findChild<MainChannel *>()->sendMsg(
        QJsonDocument(QJsonObject{{"code", 6}, {"data", request}}).toJson());
    QVERIFY(waitUntilRelays(port, target));
    auto *runtime = window.findChild<V2RayManager *>();
    const qint64 core = runtime->coreProcessId();
    QAction *quit = window.findChild<QSystemTrayIcon *>()->contextMenu()->actions().value(2);
    QCOMPARE(quit->text(), QString("退出程序"));
    LogCapture log;

    QTimer::singleShot(0, &window, [&] {
        if (signalNumber != 0)
            ::kill(::getpid(), signalNumber);
        else
            quit->trigger();
    });
    QTimer::singleShot(60000, &window, [] { QCoreApplication::exit(99); }); // no quit came
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(log.count("Application is about to quit. Cleaning up..."), 1);
    QCOMPARE(runtime->coreProcessId(), qint64(0));
    QCOMPARE(::kill(pid_t(core), 0), -1); // ended and reaped
    QCOMPARE(ConfigStore("run/config.json").readPlain(), ProxyEntries::templateText());
    QCOMPARE(fetchThroughSocks(port, target.serverPort(), 1000), QByteArray());
}

VEXALO_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
