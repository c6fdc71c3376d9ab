#include "app/mainwindow.h"
#include "app/quitsignals.h"
#include "app/startpage.h"
#include "bridge/mainchannel.h"
#include "core/configstore.h"
#include "core/proxyentries.h"
#include "core/v2raymanager.h"
#include "residentialgateway.h"
#include "support/dialoganswerer.h"
#include "support/logcapture.h"
#include "support/relayprobe.h"
#include "support/runtimefolder.h"
#include "support/testmain.h"

#include <QFile>
#include <QJsonDocument>
#include <QMenu>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTimer>
#include <QWebEngineView>

#include <csignal>
#include <functional>
#include <unistd.h>

// The real window in a temporary working directory, so config.ini is the test's own.
class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startPage_data();
    void startPage();
    void windowShowsTheStoredStartPage();
    void firstStartIsFixedTitledAndStoresTheLanguage();
    void closeWithoutTrayQuits();
    void closeQuestion_data();
    void closeQuestion();
    void trayQuitStopsAndResets();
    void quitSignalsEndTheEventLoop();

private:
    QWebEngineView *view(MainWindow &window) { return window.findChild<QWebEngineView *>(); }
    bool startTray();
    struct CloseOutcome
    {
        bool accepted = false;
        bool quitOnLastWindow = false;
        int aboutToQuit = 0;
    };
    CloseOutcome closeInEventLoop(MainWindow &window);
    // Runs the event loop until the quit that `trigger` causes; 99 when none comes.
    int execUntilQuit(const std::function<void()> &trigger);

    std::unique_ptr<RuntimeFolder> m_folder;
    QProcess m_tray;
};

void TestMainWindow::init()
{
    m_folder.reset(new RuntimeFolder(RuntimeFolder::WithoutCore));
    QVERIFY2(m_folder->isValid(), qPrintable(m_folder->error()));
}

void TestMainWindow::cleanup()
{
    m_folder.reset();
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

void TestMainWindow::startPage_data()
{
    QTest::addColumn<QVariant>("login");
    QTest::addColumn<QVariant>("language");
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("store");

    // config.ini gives its values back as text.
    QTest::newRow("signed in, English")
        << QVariant("true") << QVariant("_en") << "qrc:/html/index_en.html"
        << "";
    QTest::newRow("signed in, no language")
        << QVariant(true) << QVariant() << "qrc:/html/index_cn.html"
        << "_cn";
    QTest::newRow("signed out, English")
        << QVariant("false") << QVariant("_en") << "qrc:/html/login_en.html"
        << "";
    QTest::newRow("first start") << QVariant() << QVariant() << "qrc:/html/login_cn.html"
                                 << "_cn";
    // A damaged value must not leave the user in front of a page that does not exist.
    QTest::newRow("unknown language repaired")
        << QVariant("true") << QVariant("_fr") << "qrc:/html/index_cn.html"
        << "_cn";
    QTest::newRow("empty language repaired")
        << QVariant("false") << QVariant("") << "qrc:/html/login_cn.html"
        << "_cn";
}

void TestMainWindow::startPage()
{
    QFETCH(QVariant, login);
    QFETCH(QVariant, language);
    QFETCH(QString, page);
    QFETCH(QString, store);
    const StartPage start = chooseStartPage(login, language);
    QCOMPARE(start.url, QUrl(page));
    QCOMPARE(start.languageToStore, store);
}

void TestMainWindow::windowShowsTheStoredStartPage()
{
    {
        QSettings settings("config.ini", QSettings::IniFormat);
        settings.setValue("settings/login", true);
        settings.setValue("settings/language", "_en");
    }
    MainWindow window;
    QTRY_COMPARE(view(window)->url(), QUrl("qrc:/html/index_en.html"));
}

void TestMainWindow::firstStartIsFixedTitledAndStoresTheLanguage()
{
    MainWindow window;
    window.show();
    QTRY_COMPARE(view(window)->url(), QUrl("qrc:/html/login_cn.html"));
    QFile file("config.ini");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("[settings]\nlanguage=_cn\n"));

    QCOMPARE(window.minimumSize(), QSize(1200, 670));
    QCOMPARE(window.maximumSize(), QSize(1200, 670));
    QCOMPARE(window.windowTitle(), QString("Vexalo v1.0.0 "));
    auto *channel = window.findChild<MainChannel *>();
    channel->sendMsg(R"({"code":1,"data":{"username":"ann@example.com","password":"pw"}})");
    QCOMPARE(window.windowTitle(), QString("Vexalo v1.0.0   ann@example.com"));
    channel->sendMsg(R"({"code": 7})");
    QCOMPARE(window.windowTitle(), QString("Vexalo v1.0.0 "));
    QCOMPARE(view(window)->contextMenuPolicy(), Qt::NoContextMenu);

    auto *tray = window.findChild<QSystemTrayIcon *>();
    QVERIFY(tray && tray->isVisible());
    const auto actions = tray->contextMenu()->actions();
    QCOMPARE(actions.size(), 3);
    QCOMPARE(actions[0]->text(), QString("显示窗口"));
    QVERIFY(actions[1]->isSeparator());
    QCOMPARE(actions[2]->text(), QString("退出程序"));
}

// Closes the window from inside a running event loop, where Qt's quit-on-last-window-closed
// applies, and reports whether the close was accepted and the application began to quit.
TestMainWindow::CloseOutcome TestMainWindow::closeInEventLoop(MainWindow &window)
{
    CloseOutcome outcome;
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    QSignalSpy aboutToQuit(qApp, &QCoreApplication::aboutToQuit);
    QTimer::singleShot(0, &window, [&] {
        outcome.accepted = window.close();
        QCoreApplication::quit(); // ends the loop when the client itself did not
    });
    qApp->exec();
    outcome.quitOnLastWindow = lastClosed.count() == 1;
    outcome.aboutToQuit = aboutToQuit.count();
    return outcome;
}

void TestMainWindow::closeWithoutTrayQuits()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("a system tray is running on this display");
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    DialogAnswerer answerer(QMessageBox::Yes);

    const CloseOutcome outcome = closeInEventLoop(window);
    QVERIFY(outcome.accepted);
    QVERIFY(outcome.quitOnLastWindow);
    QCOMPARE(outcome.aboutToQuit, 1);
    QVERIFY(window.isHidden());
    QCOMPARE(answerer.answered, 0);
}

void TestMainWindow::closeQuestion_data()
{
    QTest::addColumn<bool>("minimize");
    QTest::newRow("yes hides to the tray") << true;
    QTest::newRow("no quits") << false;
}

void TestMainWindow::closeQuestion()
{
    QFETCH(bool, minimize);
    QVERIFY(startTray());
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    DialogAnswerer answerer(minimize ? QMessageBox::Yes : QMessageBox::No);

    const CloseOutcome outcome = closeInEventLoop(window);
    QCOMPARE(answerer.answered, 1);
    QCOMPARE(answerer.title, QString("Tip:"));
    QCOMPARE(answerer.text, QString("Minimize to system tray?"));
    QCOMPARE(answerer.buttonTexts.size(), 2);
    QVERIFY(answerer.buttonTexts.contains("yes") && answerer.buttonTexts.contains("no"));
    QVERIFY(window.isHidden());
    QCOMPARE(outcome.accepted, !minimize);
    QCOMPARE(outcome.quitOnLastWindow, !minimize);
    if (!minimize) { // with "yes" the test's own quit ends the loop
        QCOMPARE(outcome.aboutToQuit, 1);
        return;
    }

    // Hidden in the tray, a double click or the menu's first action shows it again.
    auto *tray = window.findChild<QSystemTrayIcon *>();
    const auto activate = [tray](QSystemTrayIcon::ActivationReason reason) {
        QMetaObject::invokeMethod(tray, "activated",
                                  Q_ARG(QSystemTrayIcon::ActivationReason, reason));
    };
    activate(QSystemTrayIcon::Trigger);
    QVERIFY(window.isHidden());
    activate(QSystemTrayIcon::DoubleClick);
    QVERIFY(window.isVisible());
    window.hide();
    tray->contextMenu()->actions().first()->trigger();
    QVERIFY(window.isVisible());
}

int TestMainWindow::execUntilQuit(const std::function<void()> &trigger)
{
    QTimer::singleShot(0, trigger);
    QTimer stuck;
    stuck.setSingleShot(true);
    connect(&stuck, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    stuck.start(60000);
    return QCoreApplication::exec();
}

void TestMainWindow::trayQuitStopsAndResets()
{
    QVERIFY(m_folder->linkCore());
    ResidentialGateway gateway;
    gateway.addAccount("vx_demo", "k3yS3cret");
    QVERIFY(gateway.listenHttp(QHostAddress::LocalHost));
    TargetServer target;
    MainWindow window;
    const quint16 port = CommconUtils::getUnusedPort();
    const QJsonObject request{{"ip", "127.0.0.1"},     {"port", gateway.httpPort()},
                              {"username", "vx_demo"}, {"password", "k3yS3cret"},
                              {"proxyType", "HTTP"},   {"local_port", port}};
    window.findChild<MainChannel *>()->sendMsg(
        QJsonDocument(QJsonObject{{"code", 6}, {"data", request}}).toJson());
    QVERIFY(waitUntilRelays(port, target));
    auto *runtime = window.findChild<V2RayManager *>();
    const qint64 core = runtime->coreProcessId();
    QAction *quit = nullptr;
    for (QAction *action : window.findChildren<QAction *>())
        quit = action->text() == QString("退出程序") ? action : quit;
    QVERIFY(quit);
    LogCapture log;

    QCOMPARE(execUntilQuit([quit] { quit->trigger(); }), 0);
    QCOMPARE(log.count("Application is about to quit. Cleaning up..."), 1);
    QCOMPARE(runtime->coreProcessId(), qint64(0));
    QCOMPARE(::kill(pid_t(core), 0), -1); // ended and reaped
    QCOMPARE(ConfigStore("run/config.json").readPlain(), ProxyEntries::templateText());
    QCOMPARE(fetchThroughSocks(port, target.serverPort(), 1000), QByteArray());
}

// Each signal takes the tray's quit path above, which the window's clean-up hangs on.
void TestMainWindow::quitSignalsEndTheEventLoop()
{
    QuitSignals quitSignals;
    QSignalSpy received(&quitSignals, &QuitSignals::received);
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        QCOMPARE(execUntilQuit([signalNumber] { ::kill(::getpid(), signalNumber); }), 0);
        QCOMPARE(received.count(), 1);
        received.clear();
    }
}

VEXALO_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
