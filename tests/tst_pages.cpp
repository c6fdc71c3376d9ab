#include "accountfixture.h"
#include "accountservice.h"
#include "app/mainwindow.h"
#include "bridge/mainchannel.h"
#include "core/configurl.h"
#include "pagedriver.h"
#include "support/clientsession.h"
#include "support/runtimefolder.h"
#include "support/testmain.h"
#include "support/urlrecorder.h"
#include "util/constants.h"

#include <QDesktopServices>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

// The login document and the index shell in the real window and web view, against the
// stand-in account service on the address the client is built with.
class TestPages : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void loginValidation_data();
    void loginValidation();
    void enterBeforeParametersDoesNothing();
    void refusedLoginShowsTheTableText();
    void signInOpensIndexAndReportsTheAccount_data();
    void signInOpensIndexAndReportsTheAccount();
    void indexWithoutCookiesReturnsToLogin();
    void logoutClearsCookiesBeforeTellingTheProgram();
    void publicIpWarning_data();
    void publicIpWarning();
    void versionNoticeOpensTheDownload();
    void localApiRequestFetchesAndStartsAProxy();
    void countryListInFileOrder();
    void serviceFaultLeavesThePageUsable_data();
    void serviceFaultLeavesThePageUsable();
    void messageBoxShowsServerTextAsText();

private:
    void start(const QString &language, bool signedIn,
               const AccountFixture &fixture = ClientSession::defaultFixture());
    void signIn(const QString &language);

    std::unique_ptr<RuntimeFolder> m_folder;
    ClientSession *m_client = nullptr;
};

namespace {

const char demoUser[] = "demo@vexalo.test";
const char demoPassword[] = "demo1234";

QString js(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

} // namespace

void TestPages::init()
{
    m_folder.reset(new RuntimeFolder(RuntimeFolder::WithoutCore));
    QVERIFY2(m_folder->isValid(), qPrintable(m_folder->error()));
    QWebEngineProfile::defaultProfile()->cookieStore()->deleteAllCookies();
}

void TestPages::cleanup()
{
    delete m_client;
    m_client = nullptr;
    m_folder.reset();
}

void TestPages::start(const QString &language, bool signedIn, const AccountFixture &fixture)
{
    m_client = new ClientSession(language, signedIn, fixture);
    QVERIFY2(m_client->error().isEmpty(), qPrintable(m_client->error()));
}

void TestPages::signIn(const QString &language)
{
    QVERIFY(m_client->signIn(demoUser, demoPassword, language));
}

void TestPages::loginValidation_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("message");

    const struct
    {
        const char *name, *username, *password, *field, *cn, *en;
    } cases[] = {
        {"empty e-mail", "", "secret1", "username", "請輸入電子郵件地址", "Please enter the email"},
        {"5-character e-mail", "a@b.c", "secret1", "username", "必须包含6个字母",
         "Must consist of 6 letters"},
        {"7 characters without @", "abcdefg", "secret1", "username", "請輸入電子郵件格式",
         "Please enter the email format"},
        {"4-character password", "ann@example.com", "abcd", "password", "密碼長度不小於5個字母",
         "The password length should not be less than 5 letters"},
    };
    for (const auto &c : cases) {
        QTest::addRow("_cn, %s", c.name)
            << "_cn" << c.username << c.password << c.field << QString::fromUtf8(c.cn);
        QTest::addRow("_en, %s", c.name)
            << "_en" << c.username << c.password << c.field << QString::fromUtf8(c.en);
    }
}

void TestPages::loginValidation()
{
    QFETCH(QString, language);
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(QString, field);
    QFETCH(QString, message);
    start(language, false);
    QVERIFY(m_client->page->waitFor("pararms && pararms.i18nLang"));
    m_client->page->eval(
        QString("$('#username').val(%1); $('#password').val(%2); $('.login-form').submit();")
            .arg(js(username), js(password)));
    QVERIFY(m_client->page->waitFor(QString("$('#%1').hasClass('error')").arg(field)));
    QCOMPARE(m_client->page->eval(QString("$('#%1-error').text()").arg(field)).toString(), message);
    for (const AccountRequest &request : m_client->service->requests())
        QVERIFY2(request.path != "/public/login", "an invalid form reached the service");
}

void TestPages::enterBeforeParametersDoesNothing()
{
    start("_en", false);
    // The program never answers the page's first message, so its parameters never arrive.
    QObject::disconnect(m_client->window->findChild<MainChannel *>(), &MainChannel::sigPararms,
                        nullptr, nullptr);
    QVERIFY(m_client->page->waitFor("myObject && $('.login-form').length == 1"));
    const QVariant opened = m_client->page->eval(
        "(function () { try { var n = 0; var open = XMLHttpRequest.prototype.open;"
        " XMLHttpRequest.prototype.open = function () { n++; return open.apply(this, arguments); };"
        " $('#username').val('demo@vexalo.test'); $('#password').val('demo1234');"
        " $('#password').trigger($.Event('keydown', {which: 13, keyCode: 13}));"
        " $('.login-form').submit(); return n; } catch (e) { return 'error: ' + e; } })()",
        15000);
    QCOMPARE(opened.toString(), QString("0"));
    QVERIFY(m_client->page->eval("pararms === null").toBool());
    QCOMPARE(m_client->page->url(), QString("qrc:/html/login_en.html"));
}

void TestPages::refusedLoginShowsTheTableText()
{
    start("_cn", false);
    QVERIFY(m_client->page->waitFor("pararms && pararms.i18nLang"));
    m_client->page->eval(
        "$('#username').val('demo@vexalo.test'); $('#password').val('wrong-password');"
        " $('.login-form').submit();");
    QVERIFY(m_client->page->waitFor("$('.nz-msgbox:visible').length == 1"));
    QCOMPARE(m_client->page->eval("$('.nz-msgbox').text()").toString().contains("账户或密码错误"),
             true);
    QCOMPARE(m_client->page->eval("$('.loading-overlay').length").toInt(), 0);
    QCOMPARE(m_client->page->eval("document.cookie").toString(), QString());
    const auto requests = m_client->service->requests();
    const auto login =
        std::find_if(requests.cbegin(), requests.cend(),
                     [](const AccountRequest &r) { return r.path == "/public/login"; });
    QVERIFY(login != requests.cend());
    QCOMPARE(login->method, QString("POST"));
    QCOMPARE(login->formItem("password"), QString("wrong-password"));
    QVERIFY(login->header("Authorization").isNull());
}

void TestPages::signInOpensIndexAndReportsTheAccount_data()
{
    QTest::addColumn<QString>("language");
    QTest::newRow("Chinese") << "_cn";
    QTest::newRow("English") << "_en";
}

void TestPages::signInOpensIndexAndReportsTheAccount()
{
    QFETCH(QString, language);
    start(language, false);
    signIn(language);
    QVERIFY(m_client->page->waitFor("document.cookie.indexOf('username=') >= 0"));
    QTRY_VERIFY(m_client->codes().join(',').endsWith("1,11,8"));
    const QJsonObject account{{"username", demoUser}, {"password", demoPassword}};
    QCOMPARE(m_client->messages.at(m_client->messages.size() - 3).second, account);
    QCOMPARE(m_client->messages.at(m_client->messages.size() - 2).second, account);
    QTRY_COMPARE(m_client->window->windowTitle(), QString("Vexalo v1.0.0   ") + demoUser);
    QSettings settings("config.ini", QSettings::IniFormat);
    QTRY_COMPARE((settings.sync(), settings.value("settings/login").toBool()), true);
}

void TestPages::indexWithoutCookiesReturnsToLogin()
{
    start("_en", true);
    QVERIFY(m_client->page->waitFor("location.href == 'qrc:/html/login_en.html'"));
    QVERIFY(m_client->codes().join(',').startsWith("1,11"));
    QCOMPARE(m_client->messages.at(1).second, QJsonObject());
}

void TestPages::logoutClearsCookiesBeforeTellingTheProgram()
{
    start("_en", false);
    signIn("_en");
    QVERIFY(m_client->page->waitFor("myObject && pararms && pararms.i18nLang"));
    // Note what the cookies were when the message left; window.name survives navigation.
    m_client->page->eval(
        "(function () { var send = myObject.sendMsg;"
        " myObject.sendMsg = function (m) { if (JSON.parse(m).code == 7)"
        " window.name = 'cookies at logout: ' + document.cookie; send(m); }; })()");
    m_client->page->eval("$('#logout').click()");
    QVERIFY(m_client->page->waitFor("location.href == 'qrc:/html/login_en.html'"));
    // The login page's own start-up follows the logout, once its channel is up.
    QTRY_COMPARE(m_client->messages.last().first, 8);
    QVERIFY(m_client->codes().contains("7"));
    const QString atLogout = m_client->page->eval("window.name").toString();
    QVERIFY2(atLogout.startsWith("cookies at logout: "), qPrintable(atLogout));
    QVERIFY2(!atLogout.contains("demo"), qPrintable(atLogout));
    QCOMPARE(m_client->page->eval("$('.page-sidebar-menu li.active').length").toInt(), 0);
}

void TestPages::publicIpWarning_data()
{
    QTest::addColumn<QString>("country");
    QTest::addColumn<bool>("warned");
    QTest::newRow("US only stores the IP") << "US" << false;
    QTest::newRow("CN warns") << "CN" << true;
}

void TestPages::publicIpWarning()
{
    QFETCH(QString, country);
    QFETCH(bool, warned);
    AccountFixture fixture = ClientSession::defaultFixture();
    fixture.geolocation.insert("countryCode", country);
    fixture.geolocation.insert("query", "198.51.100.77");
    start("_en", false, fixture);
    signIn("_en");
    QVERIFY(m_client->page->waitFor("pararms && pararms.query == '198.51.100.77'"));
    if (warned) {
        QVERIFY(m_client->page->waitFor("$('.nz-msgbox:visible').length == 1"));
        QVERIFY(m_client->page->eval("$('.nz-msgbox').text()")
                    .toString()
                    .contains("Your current IP: 198.51.100.77It does not meet the usage scenario"));
    } else {
        QCOMPARE(m_client->page->eval("$('.nz-msgbox:visible').length").toInt(), 0);
    }
}

void TestPages::versionNoticeOpensTheDownload()
{
    AccountFixture fixture = ClientSession::defaultFixture();
    fixture.version =
        QJsonDocument::fromJson(
            R"({"code":"1","result":{"versionNo":"1.1.0","exeUrl":"https://example.com/Vexalo-1.1.0.exe"}})")
            .object();
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("https", &recorder, "open");
    start("_cn", false, fixture);
    signIn("_cn");
    QVERIFY(m_client->page->waitFor(
        "$('.nz-msgbox:visible').text().indexOf('注意当前版本过低，请立即更新') >= 0"));
    m_client->page->eval("$('.nz-msgbox:visible .nz-msgbox-ok').click()");
    QTRY_VERIFY(m_client->codes().contains("9"));
    QDesktopServices::unsetUrlHandler("https");
    QCOMPARE(m_client->messages.last().second.value("url").toString(),
             QString("https://example.com/Vexalo-1.1.0.exe"));
    QCOMPARE(recorder.opened, QList<QUrl>{QUrl("https://example.com/Vexalo-1.1.0.exe")});
}

void TestPages::localApiRequestFetchesAndStartsAProxy()
{
    start("_en", false);
    signIn("_en");
    QVERIFY(m_client->page->waitFor("myObject && pararms && pararms.i18nLang && baseuser"));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, HTTP_SERVICE_PORT);
    QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
    client.write("GET /api/get_ip?proxyType=2&contry=JP&proxy=60011&gender=1 HTTP/1.1\r\n"
                 "Host: 127.0.0.1:9584\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(m_client->codes().contains("3"), 15000);

    const AccountRequest fetch = [this] {
        for (const AccountRequest &r : m_client->service->requests())
            if (r.path == "/v1/get_data" && r.method == "GET")
                return r;
        return AccountRequest();
    }();
    QCOMPARE(fetch.path, QString("/v1/get_data"));
    QCOMPARE(fetch.queryItem("proxyType"), QString("2"));
    QCOMPARE(fetch.queryItem("country"), QString("")); // the API link names no country
    QCOMPARE(fetch.header("Authorization"),
             "Basic " + QByteArray(QByteArray(demoUser) + ":" + demoPassword).toBase64());
    const QJsonObject start = m_client->messages.last().second;
    QCOMPARE(start.value("local_port").toInt(), 60011);
    QCOMPARE(start.value("counrtyList").toString(), QString("JP"));
    QCOMPARE(start.value("gender").toBool(), true);
    QCOMPARE(start.value("API").toString(), QString("true"));
    QCOMPARE(start.value("username").toString(), QString("vx_demo"));
}

void TestPages::countryListInFileOrder()
{
    start("_en", false);
    signIn("_en");
    QVERIFY(m_client->page->waitFor("pararms && pararms.i18nLang"));
    // The proxy list, the first content page, fills its country drop-down from the table.
    QVERIFY(m_client->page->waitFor("$('#counrtyList option').length == 113"));
    QCOMPARE(m_client->page
                 ->eval("$('#counrtyList option').eq(1).val() + '|' + $('#counrtyList "
                        "option').eq(1).text()")
                 .toString(),
             QString("AF|AFGHANISTAN(AF)"));
    QCOMPARE(m_client->page->eval("$('#counrtyList option[value=IQ]').text()").toString(),
             QString("IRAQ (IQ)"));
    QCOMPARE(m_client->page->eval("$('#counrtyList option').last().text()").toString(),
             QString("ISRAEL(IL)"));
}

void TestPages::serviceFaultLeavesThePageUsable_data()
{
    QTest::addColumn<ClientSession::ServiceFault>("fault");
    QTest::newRow("gone") << ClientSession::ServiceFault::Gone;
    QTest::newRow("garbage") << ClientSession::ServiceFault::Garbage;
    QTest::newRow("cut short") << ClientSession::ServiceFault::CutShort;
}

void TestPages::serviceFaultLeavesThePageUsable()
{
    QFETCH(ClientSession::ServiceFault, fault);
    start("_en", false);
    QVERIFY(m_client->page->waitFor("pararms && pararms.i18nLang"));
    m_client->breakService(fault);
    const QString submit = "$('#username').val('demo@vexalo.test'); $('#password').val('demo1234');"
                           " $('.login-form').submit();";
    m_client->page->eval(submit);
    QVERIFY(m_client->page->waitFor("$('.nz-msgbox:visible').length == 1"));
    QCOMPARE(m_client->faultyServiceRequests() > 0, fault != ClientSession::ServiceFault::Gone);
    QVERIFY(m_client->page->eval("$('.nz-msgbox').text()")
                .toString()
                .contains("Please contact the administrator!"));
    QCOMPARE(m_client->page->eval("$('.loading-overlay').length").toInt(), 0);
    m_client->page->eval("$('.nz-msgbox .nz-msgbox-ok').click()");
    QVERIFY(m_client->page->waitFor("$('.nz-msgbox:visible').length == 0"));
    QCOMPARE(m_client->page->eval("$('#username').val()").toString(), QString("demo@vexalo.test"));

    // Once the service answers again, the same form signs in.
    QVERIFY(m_client->restoreService());
    m_client->page->eval(submit);
    QVERIFY(m_client->page->waitFor(
        "$('.nz-msgbox:visible').text().indexOf('login successfully') >= 0"));
}

void TestPages::messageBoxShowsServerTextAsText()
{
    start("_en", false);
    QVERIFY(m_client->page->waitFor("$.NZ_MsgBox && $.NZ_MsgBox.alert"));
    m_client->page->eval("$.NZ_MsgBox.alert({title: '<b>t</b>', content: '<img src=x "
                         "onerror=\\\"window.pwned=1\\\">', type: 'error'})");
    QVERIFY(m_client->page->waitFor("$('.nz-msgbox:visible').length == 1"));
    QCOMPARE(m_client->page->eval("$('.nz-msgbox img, .nz-msgbox b').length").toInt(), 0);
    QVERIFY(m_client->page->eval("$('.nz-msgbox').text()").toString().contains("<img src=x"));
    QCOMPARE(m_client->page->eval("window.pwned === undefined").toBool(), true);
}

VEXALO_TEST_MAIN(TestPages)
#include "tst_pages.moc"
