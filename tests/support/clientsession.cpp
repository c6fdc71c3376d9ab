#include "clientsession.h"

#include "accountservice.h"
#include "app/mainwindow.h"
#include "bridge/mainchannel.h"
#include "core/configurl.h"
#include "pagedriver.h"
#include "residentialgateway.h"
#include "support/fakewebserver.h"
#include "util/constants.h"

#include <QSettings>
#include <QWebEngineView>

AccountFixture ClientSession::defaultFixture()
{
    QString error;
    const auto fixture = AccountFixture::load(AccountFixture::defaultPath(), &error);
    if (!fixture)
        qFatal("stand-in fixture: %s", qPrintable(error));
    return *fixture;
}

ClientSession::ClientSession(const QString &language, bool signedIn, const AccountFixture &fixture,
                             QObject *parent)
    : QObject(parent)
    , m_fixture(fixture)
{
    gateway = new ResidentialGateway(this);
    for (const auto &account : fixture.accounts) {
        if (!account.proxyUser.isEmpty())
            gateway->addAccount(account.proxyUser, account.proxyAuthKey);
    }
    if (!gateway->listenHttp(QHostAddress::LocalHost))
        m_error = gateway->errorString();

    listenService();

    {
        QSettings settings(QStringLiteral("config.ini"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("settings/language"), language);
        settings.setValue(QStringLiteral("settings/login"), signedIn);
    }
    window = new MainWindow;
    auto *channel = window->findChild<MainChannel *>();
    const auto record = [this](int code) {
        return [this, code](const QJsonObject &data) {
            messages.append({code, data});
        };
    };
    connect(channel, &MainChannel::sigPararms, this, record(1));
    connect(channel, &MainChannel::sigIsSendLogin, this, record(11));
    connect(channel, &MainChannel::sigSendStart, this, record(3));
    connect(channel, &MainChannel::sigHtmlConfig, this, record(6));
    connect(channel, &MainChannel::sigOpenUrl, this, record(9));
    connect(channel, &MainChannel::siglanguage, this, record(10));
    connect(channel, &MainChannel::sigDelConfig, this, [this](int port) {
        messages.append({5, QJsonObject{{"port", port}}});
    });
    connect(channel, &MainChannel::sigSendRunProxyList, this, [this] { messages.append({4, {}}); });
    connect(channel, &MainChannel::sigLignOut, this, [this] { messages.append({7, {}}); });
    connect(channel, &MainChannel::sigCheckIp, this, [this] { messages.append({8, {}}); });
    page = new PageDriver(window->findChild<QWebEngineView *>()->page());
}

ClientSession::~ClientSession()
{
    delete page;
    delete window; // stops the core before the gateway goes
}

bool ClientSession::signIn(const QString &email, const QString &password, const QString &language)
{
    return page->signIn(email, password, language);
}

bool ClientSession::openMenu(const QString &pageFile, const QString &readyCondition)
{
    return page->openMenu(pageFile, readyCondition);
}

bool ClientSession::listenService()
{
    service = new AccountService(m_fixture, this);
    service->setGateway(QStringLiteral("127.0.0.1"), gateway->httpPort());
    const QUrl website(WEBSITE_URL);
    if (service->listen(QHostAddress(website.host()), quint16(website.port())))
        return true;
    m_error = service->errorString();
    return false;
}

void ClientSession::breakService(ServiceFault fault)
{
    delete service;
    service = nullptr;
    delete m_faulty;
    m_faulty = nullptr;
    if (fault == ServiceFault::Gone)
        return;
    m_faulty = new FakeWebServer(this, quint16(QUrl(WEBSITE_URL).port()));
    m_faulty->setCrossOrigin(true);
    FakeWebServer::Response answer;
    answer.body = fault == ServiceFault::Garbage
                      ? QByteArray("<html>\x01\xfe upstream busy")
                      : QByteArray(R"({"code":1,"message":"ok","result":{"ip":"203.0.113.9"}})");
    answer.cutShort = fault == ServiceFault::CutShort;
    m_faulty->setDefaultResponse(answer);
}

int ClientSession::faultyServiceRequests() const
{
    int n = 0;
    for (const auto &request : m_faulty ? m_faulty->requests() : QList<FakeWebServer::Request>())
        n += request.method != "OPTIONS" ? 1 : 0;
    return n;
}

bool ClientSession::restoreService()
{
    delete m_faulty;
    m_faulty = nullptr;
    delete service;
    return listenService();
}

QStringList ClientSession::codes() const
{
    QStringList list;
    for (const auto &message : messages)
        list << QString::number(message.first);
    return list;
}
