#pragma once

#include "core/v2raymanager.h"
#include "util/boundedreply.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

class HttpService;
class MainChannel;
class QNetworkAccessManager;
class QNetworkReply;
class QSettings;
class UpdateVersion;

// What the program does for the pages: the handlers of the bridge's codes 1 to 11, of the
// local API's requests and of the version notice. Each answers the page through the one
// function that runs a page script. It keeps the account's name that the pages reported, the
// addresses the local proxies are reachable under, and where the public IP is asked for.
class PageHandlers : public QObject
{
    Q_OBJECT

public:
    using PageScript = std::function<void(const QString &script)>;

    PageHandlers(QSettings *settings, V2RayManager *runtime, HttpService *httpService,
                 UpdateVersion *updateVersion, PageScript runPageScript, const QJsonArray &localIps,
                 QObject *parent = nullptr);

    // Connects the bridge's, the local API's and the version check's signals to the
    // handlers, directly: the pages expect their answer before a message returns.
    void wire(MainChannel *channel);

    // Where the public IP is asked for (a GET answering JSON with "query" and
    // "countryCode"), and how long its whole answer may take.
    void setIpGeoUrl(const QString &url, int deadlineMs = BoundedReply::defaultDeadlineMs);

    // The window's page is being replaced: until the next index page reports the account,
    // nothing can take a local-API request.
    void pageLoading();

signals:
    // The pages reported the signed-in account's name; after a logout, an empty name.
    void userChanged(const QString &username);

private:
    void sendPageParameters(const QJsonObject &data);
    void recordLoginState(const QJsonObject &data);
    void setSignedIn(bool in);
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

    QSettings *settings;
    V2RayManager *runtime;
    HttpService *httpService;
    UpdateVersion *updateVersion;
    PageScript runPageScript;
    QJsonArray localIps;
    QString username;
    bool signedIn = false;
    QString ipGeoUrl;
    int ipCheckDeadlineMs = BoundedReply::defaultDeadlineMs;
    QNetworkAccessManager *ipCheckNetwork;
};
