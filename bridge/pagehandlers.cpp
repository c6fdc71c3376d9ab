#include "pagehandlers.h"

#include "bridge/mainchannel.h"
#include "bridge/pagecall.h"
#include "bridge/pagerequests.h"
#include "buildconfig.h"
#include "core/v2raymanager.h"
#include "http/httpservice.h"
#include "util/logmask.h"
#include "util/updateversion.h"

#include <QDebug>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
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

PageHandlers::PageHandlers(QSettings *settings, V2RayManager *runtime, HttpService *httpService,
                           UpdateVersion *updateVersion, PageScript runPageScript,
                           const QJsonArray &localIps, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , runtime(runtime)
    , httpService(httpService)
    , updateVersion(updateVersion)
    , runPageScript(std::move(runPageScript))
    , localIps(localIps)
    , ipGeoUrl(QStringLiteral(VEXALO_IP_GEO_URL))
    , ipCheckNetwork(new QNetworkAccessManager(this))
{
    setSignedIn(false);
}

void PageHandlers::wire(MainChannel *channel)
{
    connect(channel, &MainChannel::sigLignOut, this, &PageHandlers::logout);
    connect(channel, &MainChannel::sigHtmlConfig, this, &PageHandlers::startRotatingProxy);
    connect(channel, &MainChannel::sigSendStart, this, &PageHandlers::startProxy);
    connect(channel, &MainChannel::sigSaveSendLogin, this, &PageHandlers::logToken);
    connect(channel, &MainChannel::sigSendRunProxyList, this, &PageHandlers::sendRunList);
    connect(channel, &MainChannel::sigDelConfig, this, &PageHandlers::deleteProxy);
    connect(httpService, &HttpService::sigIshttpProxy, this, &PageHandlers::forwardLocalApiRequest);
    connect(channel, &MainChannel::sigCheckIp, this, &PageHandlers::checkIp);
    connect(channel, &MainChannel::sigIsSendLogin, this, &PageHandlers::recordLoginState);
    connect(channel, &MainChannel::sigPararms, this, &PageHandlers::sendPageParameters);
    connect(updateVersion, &UpdateVersion::sigVersionUpdate, this, &PageHandlers::announceVersion);
    connect(channel, &MainChannel::siglanguage, this, &PageHandlers::changeLanguage);
    connect(channel, &MainChannel::sigOpenUrl, this, &PageHandlers::openUrl);
    // Callers of the local API that wait learn how their start ended; the service answers
    // them from its own thread.
    connect(runtime, &V2RayManager::startSettled, httpService, &HttpService::settleStart);
    // A start is refused where the core could not be served its configuration.
    runtime->setServiceCheck([service = httpService] { return service->listenOnServicePort(); });
}

void PageHandlers::setIpGeoUrl(const QString &url, int deadlineMs)
{
    ipGeoUrl = url;
    ipCheckDeadlineMs = deadlineMs;
}

void PageHandlers::sendPageParameters(const QJsonObject &data)
{
    const QString name = text(data, "username");
    if (!name.isEmpty()) {
        qDebug() << "username" << name;
        username = name;
        emit userChanged(name);
    }
    // The password is needed nowhere here, so it is neither kept nor logged.
    if (!text(data, "password").isEmpty())
        qDebug() << "password" << QStringLiteral("***");
    runPageScript(PageCall::sigIsSendLogin(
        PageRequests::pageParameters(settings->value(languageKey), localIps)));
}

// Only the index page reports the login state, so a signed-in report also says that a page
// is there to take local-API requests.
void PageHandlers::recordLoginState(const QJsonObject &data)
{
    if (!text(data, "username").isEmpty() && !text(data, "password").isEmpty()) {
        settings->setValue(loginKey, true);
        setSignedIn(true);
        return;
    }
    setSignedIn(false);
    runPageScript(PageCall::sigLignOutToJS(settings->value(languageKey).toString()));
    settings->setValue(loginKey, false);
}

void PageHandlers::setSignedIn(bool in)
{
    signedIn = in;
    runtime->refuseStarts(in ? QString() : QStringLiteral("not signed in"));
    httpService->setLocalApiState(in ? HttpService::LocalApiState::Open
                                     : HttpService::LocalApiState::SignedOut);
}

void PageHandlers::pageLoading()
{
    if (signedIn)
        httpService->setLocalApiState(HttpService::LocalApiState::PageLoading);
}

void PageHandlers::logToken(const QString &token)
{
    // What a page sends here may be a credential.
    qDebug() << "Sending data to JavaScript:" << (token.isEmpty() ? token : QStringLiteral("***"));
}

void PageHandlers::startProxy(const QJsonObject &data)
{
    qDebug() << "Sending data " << LogMask::masked(data);
    // A start on behalf of the local API has nobody on the page waiting for its answer.
    const bool forApi = !text(data, "API").isEmpty();
    const QPointer<PageHandlers> self(this);
    runtime->requestStart(data, [self, forApi](const V2RayManager::Outcome &outcome) {
        if (!self || forApi)
            return;
        self->runPageScript(outcome.ok ? PageCall::sigSendMessageToJS(outcome.port)
                                       : PageCall::startFailed());
    });
}

void PageHandlers::startRotatingProxy(const QJsonObject &data)
{
    const QPointer<PageHandlers> self(this);
    runtime->requestStart(data, [self](const V2RayManager::Outcome &outcome) {
        if (self)
            self->runPageScript(outcome.ok ? PageCall::sigSendMessageToJS(outcome.port)
                                           : PageCall::startError());
    });
}

void PageHandlers::sendRunList()
{
    runPageScript(PageCall::sigSendRunProxyList(runtime->readConfig()));
}

void PageHandlers::deleteProxy(int port)
{
    qDebug() << "Sending data to JavaScript:" << port;
    // The row stays while its entry does: the page must not show a running proxy as gone.
    const QPointer<PageHandlers> self(this);
    runtime->requestRemoval(port, [self, port](const V2RayManager::Outcome &outcome) {
        if (self)
            self->runPageScript(outcome.ok ? PageCall::sigSendDelRow(port)
                                           : PageCall::removeFailed());
    });
}

void PageHandlers::logout()
{
    setSignedIn(false);
    username.clear();
    runtime->shutDown();
    settings->setValue(loginKey, false);
    runPageScript(PageCall::sigLignOutToJS(settings->value(languageKey).toString()));
    emit userChanged(QString());
}

void PageHandlers::checkIp()
{
    qDebug() << "sigCheckIp";
    // The geolocation service is an outside party: the account's credentials never go there.
    QNetworkReply *reply = ipCheckNetwork->get(QNetworkRequest(QUrl(ipGeoUrl)));
    BoundedReply::limit(reply, ipCheckDeadlineMs);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onIpChecked(reply); });
}

void PageHandlers::onIpChecked(QNetworkReply *reply)
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

void PageHandlers::openUrl(const QJsonObject &data)
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

void PageHandlers::changeLanguage(const QJsonObject &data)
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

void PageHandlers::forwardLocalApiRequest(const QJsonObject &query)
{
    qDebug() << "sigIshttpProxy";
    runPageScript(PageCall::sigIshttpProxy(PageRequests::localApiRequest(query)));
}

void PageHandlers::announceVersion(const QJsonObject &release)
{
    qDebug() << "sigVersionUpdate " << release;
    runPageScript(PageCall::checkversion(text(release, "exeUrl")));
}
