#include "clientsession.h"

#include "accountservice.h"
#include "bridge/mainchannel.h"
#include "util/constants.h"

#include <QSettings>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <QtTest>

AccountFixture ClientSession::defaultFixture()
{
    QString error;
    const auto fixture = AccountFixture::load(AccountFixture::defaultPath(), &error);
    if (!fixture)
        qFatal("stand-in fixture: %s", qPrintable(error));
    return *fixture;
}

ClientSession::ClientSession(const QString &language, bool signedIn, const AccountFixture &fixture)
    : error(folder.error())
{
    QWebEngineProfile::defaultProfile()->cookieStore()->deleteAllCookies();
    service = new AccountService(fixture, this);
    service->setGateway(QStringLiteral("127.0.0.1"), 1080); // nothing relays here
    const QUrl website(WEBSITE_URL);
    if (!service->listen(QHostAddress(website.host()), quint16(website.port())))
        error = service->errorString();
    QSettings settings("config.ini", QSettings::IniFormat);
    settings.setValue("settings/language", language);
    settings.setValue("settings/login", signedIn);
    settings.sync();
    window = std::make_unique<MainWindow>();
    auto *channel = window->findChild<MainChannel *>();
    const auto record = [this](int code) {
        return [this, code](const QJsonObject &payload = {}) {
            codes << QString::number(code);
            data << payload;
        };
    };
    connect(channel, &MainChannel::sigPararms, this, record(1));
    connect(channel, &MainChannel::sigIsSendLogin, this, record(11));
    connect(channel, &MainChannel::sigSendStart, this, record(3));
    connect(channel, &MainChannel::sigHtmlConfig, this, record(6));
    connect(channel, &MainChannel::sigOpenUrl, this, record(9));
    connect(channel, &MainChannel::sigDelConfig, this, [record](int port) {
        record(5)(QJsonObject{{"port", port}});
    });
    connect(channel, &MainChannel::sigLignOut, this, [record] { record(7)(); });
    connect(channel, &MainChannel::sigCheckIp, this, [record] { record(8)(); });
    page = std::make_unique<PageDriver>(window->findChild<QWebEngineView *>()->page());
}

void ClientSession::dismissBox(const QString &text)
{
    QVERIFY2(page->waitFor(QString("$('.nz-msgbox:visible').text().indexOf(%1) >= 0")
                               .arg(PageDriver::quoted(text)),
                           30000),
             qPrintable(page->eval("$('.nz-msgbox:visible').text()").toString()));
    QCOMPARE(page->eval("$('.loading-overlay').length").toInt(), 0);
    page->eval("$('.nz-msgbox .nz-msgbox-ok').click()");
    QVERIFY(page->waitFor("$('.nz-msgbox:visible').length == 0"));
}
