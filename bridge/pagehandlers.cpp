// The main window's handlers of the pages' requests (codes 1 to 11 of the bridge), of the
// local API and of the version check. Each answers through runPageScript.
#include "app/mainwindow.h"

#include "bridge/pagecall.h"
#include "bridge/pagerequests.h"
#include "core/v2raymanager.h"
#include "util/boundedreply.h"
#include "util/logmask.h"
#include "util/updateversion.h"

#include <QDebug>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QUrl>

namespace {

const QString languageKey = QStringLiteral("settings/language");
const QString loginKey = QStringLiteral("settings/login");

QString text(const QJsonObject &data, const char *key)
{
    return data.value(QLatin1String(key)).toString();
}

} // namespace

void MainWindow::sendPageParameters(const QJsonObject &data)
{
    const QString name = text(data, "username");
    if (!name.isEmpty()) {
        qDebug() << "username" << name;
        setWindowTitle(QStringLiteral("%1  %2").arg(windowTitleBase, name));
        username = name;
    }
    const QString secret = text(data, "password");
    if (!secret.isEmpty()) {
        qDebug() << "password" << QStringLiteral("***");
        password = secret;
    }
    runPageScript(PageCall::sigIsSendLogin(
        PageRequests::pageParameters(settings->value(languageKey), localIps)));
}

void MainWindow::recordLoginState(const QJsonObject &data)
{
    if (!text(data, "username").isEmpty() && !text(data, "password").isEmpty()) {
        settings->setValue(loginKey, true);
        return;
    }
    runPageScript(PageCall::sigLignOutToJS(settings->value(languageKey).toString()));
    settings->setValue(loginKey, false);
}

void MainWindow::logToken(const QString &token)
{
    qDebug() << "Sending data to JavaScript:" << token;
}

void MainWindow::restartCore()
{
    v2rayManager->stopV2Ray();
    // Another program on the service's port would be asked for the configuration instead.
    if (!listenForCore()) {
        qDebug() << "Core not started: the HTTP service is not listening";
        return;
    }
    v2rayManager->startV2Ray();
}

void MainWindow::startProxy(const QJsonObject &data)
{
    qDebug() << "Sending data " << LogMask::masked(data);
    const quint16 port = v2rayManager->addProxyEntry(data);
    // A start on behalf of the local API has nobody on the page waiting for its answer.
    const bool forApi = !text(data, "API").isEmpty();
    if (port != 0) {
        restartCore();
        if (!forApi)
            runPageScript(PageCall::sigSendMessageToJS(port));
        return;
    }
    if (!forApi)
        runPageScript(PageCall::startFailed());
}

void MainWindow::startRotatingProxy(const QJsonObject &data)
{
    const quint16 port = v2rayManager->addProxyEntry(data);
    if (port == 0) {
        runPageScript(PageCall::startError());
        return;
    }
    restartCore();
    runPageScript(PageCall::sigSendMessageToJS(port));
}

void MainWindow::sendRunList()
{
    runPageScript(PageCall::sigSendRunProxyList(v2rayManager->readConfig()));
}

void MainWindow::deleteProxy(int port)
{
    qDebug() << "Sending data to JavaScript:" << port;
    // The row stays while its entry does: the page must not show a running proxy as gone.
    if (!v2rayManager->removeProxyEntry(port)) {
        runPageScript(PageCall::removeFailed());
        return;
    }
    restartCore();
    runPageScript(PageCall::sigSendDelRow(port));
}

void MainWindow::logout()
{
    cleanup();
    settings->setValue(loginKey, false);
    runPageScript(PageCall::sigLignOutToJS(settings->value(languageKey).toString()));
    setWindowTitle(windowTitleBase);
}

void MainWindow::checkIp()
{
    qDebug() << "sigCheckIp";
    // The geolocation service is an outside party: the account's credentials never go there.
    QNetworkReply *reply = ipCheckNetwork->get(QNetworkRequest(QUrl(ipGeoUrl)));
    BoundedReply::limit(reply, ipCheckTimeoutMs);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onIpChecked(reply); });
}

void MainWindow::onIpChecked(QNetworkReply *reply)
{
    reply->deleteLater();
    const QString failure = BoundedReply::failure(reply);
    if (!failure.isEmpty()) {
        qDebug() << "Error: " << failure;
        updateVersion->checkVersion();
        return;
    }
    const QByteArray body = reply->readAll();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        qDebug() << "Failed to parse JSON: " << error.errorString();
        return;
    }
    runPageScript(PageCall::sigCheckIp(document.object()));
    qDebug() << "Response data: " << QString::fromUtf8(body);
    updateVersion->checkVersion();
}

void MainWindow::openUrl(const QJsonObject &data)
{
    const QUrl url(text(data, "url"), QUrl::TolerantMode);
    // The address comes from the website's version document: only web pages are opened,
    // never local files or programs.
    const bool web = url.isValid() && (url.scheme() == QLatin1String("https") ||
                                       url.scheme() == QLatin1String("http"));
    if (web && QDesktopServices::openUrl(url))
        qDebug() << "Website opened successfully.";
    else
        qDebug() << "Failed to open website.";
}

void MainWindow::changeLanguage(const QJsonObject &data)
{
    const QString language = text(data, "language");
    // A language without pages would leave the window blank at the next start.
    if (!PageRequests::isKnownLanguage(language)) {
        qDebug() << "Unknown language:" << language;
        return;
    }
    settings->setValue(languageKey, language);
    runPageScript(PageCall::setlanguage(language));
}

void MainWindow::forwardLocalApiRequest(const QJsonObject &query)
{
    qDebug() << "sigIshttpProxy";
    runPageScript(PageCall::sigIshttpProxy(PageRequests::localApiRequest(query)));
}

void MainWindow::announceVersion(const QJsonObject &release)
{
    qDebug() << "sigVersionUpdate " << release;
    runPageScript(PageCall::checkversion(text(release, "exeUrl")));
}
