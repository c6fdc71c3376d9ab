#include "app/mainwindow.h"
#include "bridge/mainchannel.h"
#include "support/dialoganswerer.h"
#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebEngineView>

// The real window in a temporary working directory, so config.ini is the test's own.
class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstStartShowsChineseLoginAndStoresLanguage();
    void startPage_data();
    void startPage();
    void windowIsFixedAndTitled();
    void loginPageAsksForParametersThenIp();

    void closeWithoutTrayQuits();
    void closeQuestion_data();
    void closeQuestion();
    void trayDoubleClickShows();

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

    QTemporaryDir *m_workDir = nullptr;
    QString m_previousDir;
    QProcess m_tray;
};

void TestMainWindow::init()
{
    m_previousDir = QDir::currentPath();
    m_workDir = new QTemporaryDir;
    QVERIFY(m_workDir->isValid());
    QDir(m_workDir->path()).mkdir("run");
    QVERIFY(QDir::setCurrent(m_workDir->path()));
}

void TestMainWindow::cleanup()
{
    QDir::setCurrent(m_previousDir);
    delete m_workDir;
    m_workDir = nullptr;
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

void TestMainWindow::firstStartShowsChineseLoginAndStoresLanguage()
{
    QVERIFY(!QFile::exists("config.ini"));
    {
        MainWindow window;
        QTRY_COMPARE(view(window)->url(), QUrl("qrc:/html/login_cn.html"));
    }
    QFile file("config.ini");
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY2(text.contains("[settings]\nlanguage=_cn\n"), text.constData());
    QVERIFY2(!text.contains("login"), text.constData());
}

void TestMainWindow::startPage_data()
{
    QTest::addColumn<QVariant>("login");
    QTest::addColumn<QVariant>("language");
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("storedLanguage");

    QTest::newRow("signed in, English")
        << QVariant(true) << QVariant("_en") << "qrc:/html/index_en.html"
        << "_en";
    QTest::newRow("signed in, no language")
        << QVariant(true) << QVariant() << "qrc:/html/index_cn.html"
        << "_cn";
    QTest::newRow("signed out, English")
        << QVariant(false) << QVariant("_en") << "qrc:/html/login_en.html"
        << "_en";
    QTest::newRow("no login key, Chinese")
        << QVariant() << QVariant("_cn") << "qrc:/html/login_cn.html"
        << "_cn";
    // A damaged value must not leave the user in front of a page that does not exist.
    QTest::newRow("unknown language repaired")
        << QVariant(true) << QVariant("_fr") << "qrc:/html/index_cn.html"
        << "_cn";
}

void TestMainWindow::startPage()
{
    QFETCH(QVariant, login);
    QFETCH(QVariant, language);
    QFETCH(QString, page);
    QFETCH(QString, storedLanguage);
    {
        QSettings settings("config.ini", QSettings::IniFormat);
        if (login.isValid())
            settings.setValue("settings/login", login);
        if (language.isValid())
            settings.setValue("settings/language", language);
    }
    {
        MainWindow window;
        QTRY_COMPARE(view(window)->url(), QUrl(page));
    }
    QSettings settings("config.ini", QSettings::IniFormat);
    QCOMPARE(settings.value("settings/language").toString(), storedLanguage);
    QCOMPARE(settings.value("settings/login"),
             login.isValid() ? QVariant(login.toString()) : QVariant());
}

void TestMainWindow::windowIsFixedAndTitled()
{
    MainWindow window;
    window.show();
    QCOMPARE(window.size(), QSize(1200, 670));
    QCOMPARE(window.minimumSize(), QSize(1200, 670));
    QCOMPARE(window.maximumSize(), QSize(1200, 670));
    QCOMPARE(window.windowTitle(), QString("Vexalo v1.0.0 "));
    QVERIFY(!window.windowIcon().isNull());
    QCOMPARE(view(window)->contextMenuPolicy(), Qt::NoContextMenu);

    auto *tray = window.findChild<QSystemTrayIcon *>();
    QVERIFY(tray);
    QVERIFY(tray->isVisible());
    const auto actions = tray->contextMenu()->actions();
    QCOMPARE(actions.size(), 3);
    QCOMPARE(actions[0]->text(), QString("显示窗口"));
    QVERIFY(actions[1]->isSeparator());
    QCOMPARE(actions[2]->text(), QString("退出程序"));
}

void TestMainWindow::loginPageAsksForParametersThenIp()
{
    MainWindow window;
    auto *channel = window.findChild<MainChannel *>();
    QVERIFY(channel);
    QStringList received;
    connect(channel, &MainChannel::sigPararms, this, [&](const QJsonObject &data) {
        received << QString("1:%1").arg(data.isEmpty() ? "empty" : "data");
    });
    connect(channel, &MainChannel::sigCheckIp, this, [&] { received << "8"; });
    // Reaching the bridge proves the bundled jQuery, Base64 and web-channel scripts load.
    QTRY_COMPARE_WITH_TIMEOUT(received, (QStringList{"1:empty", "8"}), 20000);
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
    if (!minimize) // with "yes" the test's own quit ends the loop
        QCOMPARE(outcome.aboutToQuit, 1);
}

void TestMainWindow::trayDoubleClickShows()
{
    QVERIFY(startTray());
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    DialogAnswerer answerer(QMessageBox::Yes);
    QVERIFY(!window.close());
    QVERIFY(window.isHidden());

    auto *tray = window.findChild<QSystemTrayIcon *>();
    QMetaObject::invokeMethod(tray, "activated",
                              Q_ARG(QSystemTrayIcon::ActivationReason, QSystemTrayIcon::Trigger));
    QVERIFY(window.isHidden());
    QMetaObject::invokeMethod(
        tray, "activated", Q_ARG(QSystemTrayIcon::ActivationReason, QSystemTrayIcon::DoubleClick));
    QVERIFY(window.isVisible());

    window.hide();
    tray->contextMenu()->actions().first()->trigger();
    QVERIFY(window.isVisible());
    m_tray.terminate();
    m_tray.waitForFinished(5000);
}

VEXALO_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
