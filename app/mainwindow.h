#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>

class HttpService;
class MainChannel;
class QAction;
class QMenu;
class QNetworkAccessManager;
class QNetworkReply;
class QSettings;
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

    // Every call of a page function goes through here, so the exact script can be observed.
    virtual void runPageScript(const QString &script);

    // Where the public IP is asked for, and how long that may take.
    QString ipGeoUrl;
    int ipCheckTimeoutMs = 10000;

private:
    void init();
    void initConnections();
    // Opens the HTTP service the core fetches its configuration from, unless it is open.
    bool listenForCore();

    // Handlers of the pages' requests, of the local API and of the version check.
    void sendPageParameters(const QJsonObject &data);
    void recordLoginState(const QJsonObject &data);
    void logToken(const QString &token);
    void startProxy(const QJsonObject &data);
    void startRotatingProxy(const QJsonObject &data);
    void sendRunList();
    void deleteProxy(int port);
    void logout();
    void checkIp();
    void onIpChecked(QNetworkReply *reply);
    void openUrl(const QJsonObject &data);
    void changeLanguage(const QJsonObject &data);
    void forwardLocalApiRequest(const QJsonObject &query);
    void announceVersion(const QJsonObject &release);
    void restartCore();

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
    QString windowTitleBase;
    QString password;
    QString username;
    QJsonArray localIps;
    UpdateVersion *updateVersion = nullptr;
    QNetworkAccessManager *ipCheckNetwork = nullptr;
};
