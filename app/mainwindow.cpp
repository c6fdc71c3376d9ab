#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/constants.h"
#include "app/startpage.h"
#include "bridge/mainchannel.h"
#include "bridge/pagehandlers.h"
#include "core/v2raymanager.h"
#include "http/httpservice.h"
#include "util/commconutils.h"
#include "util/constants.h"
#include "util/owneronly.h"
#include "util/updateversion.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QThread>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    channelObject = new MainChannel(this);
    settings = new QSettings(QStringLiteral("config.ini"), QSettings::IniFormat, this);
    v2rayManager = new V2RayManager(this);
    // The core fetches its configuration while the window may be busy drawing the page's
    // answer: the service answers from a thread of its own.
    httpService = new HttpService(v2rayManager->configStore());
    serviceThread = new QThread(this);
    serviceThread->setObjectName(QStringLiteral("HTTP service"));
    httpService->moveToThread(serviceThread);
    connect(serviceThread, &QThread::finished, httpService, &QObject::deleteLater);
    serviceThread->start();
    updateVersion = new UpdateVersion(this);
    ui->setupUi(this);
    init();
    initConnections();
}

MainWindow::~MainWindow()
{
    // The service reads the configuration store, which the proxy runtime owns.
    serviceThread->quit();
    serviceThread->wait();
    delete ui;
}

void MainWindow::init()
{
    qDebug() << "MainWindow init";

    setWindowIcon(QIcon(QStringLiteral(":/image/logo_1.png")));
    setFixedSize(1200, 670);
    windowTitleBase = APP_TITLE_FORMAT.arg(APP_VERSION);
    setWindowTitle(windowTitleBase);

    // The profile's cookies hold the account's password, and its cache the service's answers.
    const QWebEngineProfile *profile = QWebEngineProfile::defaultProfile();
    OwnerOnly::folder(profile->persistentStoragePath());
    OwnerOnly::folder(profile->cachePath());

    webView = new QWebEngineView(ui->centralWidget);
    auto *layout = new QVBoxLayout(ui->centralWidget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(webView);

    const StartPage start = chooseStartPage(settings->value(QStringLiteral("settings/login")),
                                            settings->value(QStringLiteral("settings/language")));
    if (!start.languageToStore.isEmpty())
        settings->setValue(QStringLiteral("settings/language"), start.languageToStore);
    // A page that fails to load leaves a blank window; the log says which one it was.
    connect(webView, &QWebEngineView::loadFinished, this, [this](bool ok) {
        qDebug() << "Page loaded:" << webView->url().toString() << (ok ? "ok" : "failed");
        finishStart();
    });
    webView->load(start.url);

    // No parent: the channel must outlive every page load, and it lives until the process ends.
    webChannel = new QWebChannel;
    webChannel->registerObject(QStringLiteral("myObject"), channelObject);
    webView->page()->setWebChannel(webChannel);
    webView->setContextMenuPolicy(Qt::NoContextMenu);
    webView->show();

    showAction = new QAction(tr("显示窗口"), this);
    connect(showAction, &QAction::triggered, this, &QWidget::showNormal);
    quitAction = new QAction(tr("退出程序"), this);
    connect(quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);
    trayMenu = new QMenu(this);
    trayMenu->addAction(showAction);
    trayMenu->addSeparator();
    trayMenu->addAction(quitAction);
    trayIcon = new QSystemTrayIcon(windowIcon(), this);
    trayIcon->setContextMenu(trayMenu);

    // Without the service the core cannot fetch its configuration; the client still runs
    // and tries again at the next change of the proxies.
    httpService->listenOnServicePort();

    localIps.append(QStringLiteral("127.0.0.1"));
    const QStringList addresses = CommconUtils::getLocalIPv4List();
    for (const QString &address : addresses)
        localIps.append(address);

    pageHandlers = new PageHandlers(
        settings, v2rayManager, httpService, updateVersion,
        [this](const QString &script) { webView->page()->runJavaScript(script); }, localIps, this);
}

// What the user does not wait for at start-up waits for the first page instead: showing the
// tray icon, and forking the next core's process, each hold up the window's thread, which
// also loads the page.
void MainWindow::finishStart()
{
    if (started)
        return;
    started = true;
    trayIcon->setVisible(true);
    v2rayManager->prepareNextCore();
}

void MainWindow::cleanup()
{
    v2rayManager->shutDown();
}

void MainWindow::initConnections()
{
    // Runs inside the emission, before the event loop has returned: no proxy outlives the
    // client, however it is told to quit.
    connect(
        qApp, &QCoreApplication::aboutToQuit, this,
        [this] {
            cleanup();
            qDebug() << "Application is about to quit. Cleaning up...";
        },
        Qt::DirectConnection);

    // Handlers run directly inside the emitting call, as the pages expect their answer
    // before the message returns.
    connect(trayIcon, SIGNAL(activated(QSystemTrayIcon::ActivationReason)), this,
            SLOT(on_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason)));
    pageHandlers->wire(channelObject);
    connect(webView, &QWebEngineView::loadStarted, pageHandlers, &PageHandlers::pageLoading);
    connect(pageHandlers, &PageHandlers::userChanged, this, [this](const QString &name) {
        setWindowTitle(name.isEmpty() ? windowTitleBase
                                      : QStringLiteral("%1  %2").arg(windowTitleBase, name));
    });
}

void MainWindow::on_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        showNormal();
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    // Qt counts a minimized window as visible, and so would the page, which would go on
    // drawing what nobody sees. Hidden, it draws nothing; its scripts, which the local API
    // needs, still run. A window hidden to the tray hides its page by itself.
    if (event->type() == QEvent::WindowStateChange && isVisible())
        webView->page()->setVisible(!isMinimized());
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Without a tray a hidden window could never be shown again: closing quits.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;

    QMessageBox box(QMessageBox::Question, QStringLiteral("Tip:"),
                    QStringLiteral("Minimize to system tray?"), QMessageBox::Yes | QMessageBox::No);
    box.setButtonText(QMessageBox::Yes, QStringLiteral("yes"));
    box.setButtonText(QMessageBox::No, QStringLiteral("no"));
    if (box.exec() == QMessageBox::Yes) {
        // The icon is the only way back to a hidden window, even before the first page is in.
        finishStart();
        hide();
        event->ignore();
    }
}
