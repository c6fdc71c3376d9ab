#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/constants.h"
#include "app/startpage.h"
#include "bridge/mainchannel.h"
#include "core/v2raymanager.h"
#include "http/httpservice.h"
#include "util/commconutils.h"
#include "util/updateversion.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineView>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    channelObject = new MainChannel(this);
    settings = new QSettings(QStringLiteral("config.ini"), QSettings::IniFormat, this);
    v2rayManager = new V2RayManager(this);
    httpService = new HttpService(this);
    updateVersion = new UpdateVersion(this);
    ipCheckNetwork = new QNetworkAccessManager(this);
    ipGeoUrl = IP_GEO_URL;
    ui->setupUi(this);
    init();
    initConnections();
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::init()
{
    qDebug() << "MainWindow init";

    setWindowIcon(QIcon(QStringLiteral(":/image/logo_1.png")));
    setFixedSize(1200, 670);
    windowTitleBase = APP_TITLE_FORMAT.arg(APP_VERSION);
    setWindowTitle(windowTitleBase);

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
    trayIcon->setVisible(true);

    // Without the service the core cannot fetch its configuration; the client still runs
    // and tries again at the next change of the proxies.
    listenForCore();

    localIps.append(QStringLiteral("127.0.0.1"));
    const QStringList addresses = CommconUtils::getLocalIPv4List();
    for (const QString &address : addresses)
        localIps.append(address);
}

bool MainWindow::listenForCore()
{
    if (httpService->isListening())
        return true;
    if (httpService->listen(QHostAddress::Any, HTTP_SERVICE_PORT))
        return true;
    qDebug() << "HTTP service could not listen on port" << HTTP_SERVICE_PORT << ":"
             << httpService->errorString()
             << "- no proxy can start until the port is free; the next change tries again";
    return false;
}

void MainWindow::cleanup()
{
    v2rayManager->stopV2Ray();
    v2rayManager->resetConfig();
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
    connect(channelObject, &MainChannel::sigLignOut, [this] { logout(); });
    connect(channelObject, &MainChannel::sigHtmlConfig,
            [this](const QJsonObject &data) { startRotatingProxy(data); });
    connect(channelObject, &MainChannel::sigSendStart,
            [this](const QJsonObject &data) { startProxy(data); });
    connect(channelObject, &MainChannel::sigSaveSendLogin,
            [this](const QString &token) { logToken(token); });
    connect(channelObject, &MainChannel::sigSendRunProxyList, [this] { sendRunList(); });
    connect(channelObject, &MainChannel::sigDelConfig, [this](int port) { deleteProxy(port); });
    connect(httpService, &HttpService::sigIshttpProxy,
            [this](const QJsonObject &query) { forwardLocalApiRequest(query); });
    connect(channelObject, &MainChannel::sigCheckIp, [this] { checkIp(); });
    connect(channelObject, &MainChannel::sigIsSendLogin,
            [this](const QJsonObject &data) { recordLoginState(data); });
    connect(channelObject, &MainChannel::sigPararms,
            [this](const QJsonObject &data) { sendPageParameters(data); });
    connect(updateVersion, &UpdateVersion::sigVersionUpdate,
            [this](const QJsonObject &release) { announceVersion(release); });
    connect(channelObject, &MainChannel::siglanguage,
            [this](const QJsonObject &data) { changeLanguage(data); });
    connect(channelObject, &MainChannel::sigOpenUrl,
            [this](const QJsonObject &data) { openUrl(data); });
}

void MainWindow::on_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::DoubleClick)
        showNormal();
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
        hide();
        event->ignore();
    }
}

void MainWindow::runPageScript(const QString &script)
{
    webView->page()->runJavaScript(script);
}
