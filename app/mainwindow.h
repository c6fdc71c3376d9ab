#pragma once

#include <QJsonArray>
#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>

class HttpService;
class MainChannel;
class PageHandlers;
class QAction;
class QMenu;
class QSettings;
class QThread;
class QWebChannel;
class QWebEngineView;
class UpdateVersion;
class V2RayManager;

namespace Ui {
class MainWindow;
}

// The one window: a web view showing the pages, the bridge they talk to, the settings
// file and the tray icon. It owns every long-lived object of the client.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Stops the core and resets the stored configuration, so no proxy outlives the client.
    void cleanup();

public slots:
    void on_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason reason);

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void init();
    void initConnections();
    void finishStart();

    Ui::MainWindow *ui;
    QWebEngineView *webView = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
    QAction *showAction = nullptr;
    QAction *quitAction = nullptr;
    QMenu *trayMenu = nullptr;
    MainChannel *channelObject = nullptr;
    QWebChannel *webChannel = nullptr;
    QSettings *settings = nullptr;
    V2RayManager *v2rayManager = nullptr;
    HttpService *httpService = nullptr;
    QThread *serviceThread = nullptr;
    QString windowTitleBase;
    QJsonArray localIps;
    UpdateVersion *updateVersion = nullptr;
    PageHandlers *pageHandlers = nullptr;
    bool started = false;
};
