#include "clientsession.h"

#include "accountservice.h"
#include "app/mainwindow.h"
#include "bridge/mainchannel.h"
#include "core/configurl.h"
#include "pagedriver.h"
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
{
    service = new AccountService(fixture, this);
    // Nothing relays in these sessions; the proxies only need an address to point at.
    service->setGateway(QStringLiteral("127.0.0.1"), 1080);
    const QUrl website(WEBSITE_URL);
    if (!service->listen(QHostAddress(website.host()), quint16(website.port())))
        m_error = service->errorString();

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
    connect(channel, &MainChannel::sigDelConfig, this, [this](int port) {
        messages.append({5, QJsonObject{{"port", port}}});
    });
    connect(channel, &MainChannel::sigLignOut, this, [this] { messages.append({7, {}}); });
    connect(channel, &MainChannel::sigCheckIp, this, [this] { messages.append({8, {}}); });
    page = new PageDriver(window->findChild<QWebEngineView *>()->page());
}

ClientSession::~ClientSession()
{
    delete page;
    delete window;
}

QStringList ClientSession::codes() const
{
    QStringList list;
    for (const auto &message : messages)
        list << QString::number(message.first);
    return list;
}
