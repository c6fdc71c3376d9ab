#include "accountfixture.h"
#include "accountservice.h"
#include "bridge/mainchannel.h"
#include "support/clientsession.h"
#include "support/testmain.h"
#include "support/urlrecorder.h"

#include <QDesktopServices>
#include <QSettings>
#include <QWebEngineView>

// The login document and the index shell in the real window and web view, against the
// stand-in account service on the address the client is built with.
class TestPages : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { m_client.reset(); }

    void loginValidation();
    void enterBeforeParametersDoesNothing();
    void failedLoginsLeaveTheFormUsable();
    void signInThenLogoutClearsCookiesFirst();
    void indexWithoutCookiesReturnsToLogin();
    void publicIpInChinaWarns();
    void versionNoticeOpensTheDownload();
    void messageBoxShowsServerTextAsText();
    void menuIconTurnsOnlyWhileInUse();
    void publicIpShownOnceKnown();

private:
    PageDriver &start(const QString &language, bool signedIn,
                      const AccountFixture &fixture = ClientSession::defaultFixture());

    std::unique_ptr<ClientSession> m_client;
};

namespace {

const char demoUser[] = "demo@vexalo.test";
const char demoPassword[] = "demo1234";
const char visibleBox[] = "$('.nz-msgbox:visible').text()";

} // namespace

PageDriver &TestPages::start(const QString &language, bool signedIn, const AccountFixture &fixture)
{
    m_client.reset(new ClientSession(language, signedIn, fixture));
    if (!m_client->error.isEmpty())
        QTest::qFail(qPrintable(m_client->error), __FILE__, __LINE__);
    return *m_client->page;
}

// The texts come from the language's table, which the Chinese sign-in below loads too.
void TestPages::loginValidation()
{
    const struct
    {
        const char *username, *password, *field, *message;
    } cases[] = {
        {"", "secret1", "username", "Please enter the email"},
        {"a@b.c", "secret1", "username", "Must consist of 6 letters"},
        {"abcdefg", "secret1", "username", "Please enter the email format"},
        {"ann@example.com", "abcd", "password",
         "The password length should not be less than 5 letters"},
    };
    PageDriver &page = start("_en", false);
    QVERIFY(page.waitFor("pararms && pararms.i18nLang"));
    for (const auto &c : cases) {
        page.eval(
            QString("$('#username').val(%1); $('#password').val(%2); $('.login-form').submit()")
                .arg(PageDriver::quoted(c.username), PageDriver::quoted(c.password)));
        QVERIFY2(
            page.waitFor(QString("$('#%1-error:visible').text() == '%2'").arg(c.field, c.message)),
            c.username);
    }
    for (const AccountRequest &request : m_client->service->requests())
        QVERIFY2(request.path != "/public/login", "an invalid form reached the service");
}

void TestPages::enterBeforeParametersDoesNothing()
{
    PageDriver &page = start("_en", false);
    // The program never answers the page's first message, so its parameters never arrive.
    QObject::disconnect(m_client->window->findChild<MainChannel *>(), &MainChannel::sigPararms,
                        nullptr, nullptr);
    QVERIFY(page.waitFor("myObject && $('.login-form').length == 1"));
    const QVariant opened = page.eval(
        "(function () { try { var n = 0; var open = XMLHttpRequest.prototype.open;"
        " XMLHttpRequest.prototype.open = function () { n++; return open.apply(this, arguments); };"
        " $('#username').val('demo@vexalo.test'); $('#password').val('demo1234');"
        " $('#password').trigger($.Event('keydown', {which: 13, keyCode: 13}));"
        " $('.login-form').submit(); return n; } catch (e) { return 'error: ' + e; } })()",
        15000);
    QCOMPARE(opened.toString(), QString("0"));
    QVERIFY(page.eval("pararms === null").toBool());
    QCOMPARE(page.url(), QString("qrc:/html/login_en.html"));
}

void TestPages::failedLoginsLeaveTheFormUsable()
{
    PageDriver &page = start("_cn", false);
    AccountService &service = *m_client->service;
    QVERIFY(page.waitFor("pararms && pararms.i18nLang"));
    const auto submit = [&page](const char *password) {
        page.eval(QString("$('#username').val('demo@vexalo.test'); $('#password').val('%1');"
                          " $('.login-form').submit()")
                      .arg(password));
    };

    submit("wrong-password");
    m_client->dismissBox("账户或密码错误");
    QCOMPARE(page.eval("document.cookie").toString(), QString());

    // No answer at all: the form stays as it was.
    const auto login = [](const AccountRequest &r) {
        return r.path == "/public/login";
    };
    service.holdAnswers(login);
    submit(demoPassword);
    QTRY_COMPARE(service.heldCount(), 1);
    service.holdAnswers({});
    QCOMPARE(service.releaseHeld(AccountService::Release::Cut), 1);
    m_client->dismissBox("错误了，请联系管理员!");
    QCOMPARE(page.eval("$('#username').val()").toString(), QString(demoUser));
    // Nor one in time: the page's time limit, lowered here, ends the wait the same way.
    service.holdAnswers(login);
    page.eval("serviceTimeoutMs = 1000");
    submit(demoPassword);
    QTRY_COMPARE(service.heldCount(), 1);
    m_client->dismissBox("错误了，请联系管理员!");
    service.holdAnswers({});
    page.eval("serviceTimeoutMs = 20000");

    submit(demoPassword);
    QVERIFY(page.waitFor(QString("%1.indexOf('登錄成功') >= 0").arg(visibleBox)));
}

void TestPages::signInThenLogoutClearsCookiesFirst()
{
    PageDriver &page = start("_en", false);
    QVERIFY(page.signIn(demoUser, demoPassword, "_en"));
    QVERIFY(page.waitFor("document.cookie.indexOf('username=') >= 0"));
    QTRY_VERIFY(m_client->codes.join(',').endsWith("1,11,8"));
    const QJsonObject account{{"username", demoUser}, {"password", demoPassword}};
    QCOMPARE(m_client->data.mid(m_client->data.size() - 3, 2),
             (QList<QJsonObject>{account, account}));
    QTRY_COMPARE(m_client->window->windowTitle(), QString("Vexalo v1.0.0   ") + demoUser);
    QSettings settings("config.ini", QSettings::IniFormat);
    QTRY_COMPARE((settings.sync(), settings.value("settings/login").toBool()), true);
    // An address outside China is kept for the pages and not warned about.
    QVERIFY(page.waitFor("pararms.query == '203.0.113.7'"));
    QCOMPARE(page.eval("$('.nz-msgbox:visible').length").toInt(), 0);

    // Note what the cookies were when the message left; window.name survives navigation.
    page.eval("(function () { var send = myObject.sendMsg;"
              " myObject.sendMsg = function (m) { if (JSON.parse(m).code == 7)"
              " window.name = 'cookies at logout: ' + document.cookie; send(m); }; })()");
    page.eval("$('#logout').click()");
    QVERIFY(page.waitFor("location.href == 'qrc:/html/login_en.html'"));
    // The login page's own start-up follows the logout, once its channel is up.
    QTRY_COMPARE(m_client->codes.last(), QString("8"));
    QVERIFY(m_client->codes.contains("7"));
    QCOMPARE(m_client->window->windowTitle(), QString("Vexalo v1.0.0 "));
    const QString atLogout = page.eval("window.name").toString();
    QVERIFY2(atLogout.startsWith("cookies at logout: ") && !atLogout.contains("demo"),
             qPrintable(atLogout));
}

void TestPages::indexWithoutCookiesReturnsToLogin()
{
    PageDriver &page = start("_en", true);
    QVERIFY(page.waitFor("location.href == 'qrc:/html/login_en.html'"));
    QVERIFY(m_client->codes.join(',').startsWith("1,11"));
    QCOMPARE(m_client->data.at(1), QJsonObject());
}

void TestPages::publicIpInChinaWarns()
{
    AccountFixture fixture = ClientSession::defaultFixture();
    fixture.geolocation.insert("countryCode", "CN");
    fixture.geolocation.insert("query", "198.51.100.77");
    PageDriver &page = start("_en", false, fixture);
    QVERIFY(page.signIn(demoUser, demoPassword, "_en"));
    QVERIFY(page.waitFor(
        QString("%1.indexOf('Your current IP: 198.51.100.77It does not meet the usage scenario')"
                " >= 0")
            .arg(visibleBox)));
}

void TestPages::versionNoticeOpensTheDownload()
{
    AccountFixture fixture = ClientSession::defaultFixture();
    const QString download = "https://example.com/Vexalo-1.1.0.exe";
    fixture.version = {{"code", "1"},
                       {"result", QJsonObject{{"versionNo", "1.1.0"}, {"exeUrl", download}}}};
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("https", &recorder, "open");
    PageDriver &page = start("_cn", false, fixture);
    QVERIFY(page.signIn(demoUser, demoPassword, "_cn"));
    QVERIFY(
        page.waitFor(QString("%1.indexOf('注意当前版本过低，请立即更新') >= 0").arg(visibleBox)));
    page.eval("$('.nz-msgbox:visible .nz-msgbox-ok').click()");
    QTRY_VERIFY(m_client->codes.contains("9"));
    QDesktopServices::unsetUrlHandler("https");
    QCOMPARE(recorder.opened, QList<QUrl>{QUrl(download)});
}

void TestPages::messageBoxShowsServerTextAsText()
{
    PageDriver &page = start("_en", false);
    QVERIFY(page.waitFor("$.NZ_MsgBox && $.NZ_MsgBox.alert"));
    page.eval("$.NZ_MsgBox.alert({title: '<b>t</b>', content: '<img src=x "
              "onerror=\\\"window.pwned=1\\\">', type: 'error'})");
    QVERIFY(page.waitFor("$('.nz-msgbox:visible').length == 1"));
    QCOMPARE(page.eval("$('.nz-msgbox img, .nz-msgbox b').length").toInt(), 0);
    QVERIFY(page.eval("$('.nz-msgbox').text()").toString().contains("<img src=x"));
    QCOMPARE(page.eval("window.pwned === undefined").toBool(), true);
}

// The icon turns from where it stood after an input, rests once the user is quiet and at once
// when the window is minimized, whose page the program hides.
void TestPages::menuIconTurnsOnlyWhileInUse()
{
    PageDriver &page = start("_en", false);
    MainWindow &window = *m_client->window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(page.signIn(demoUser, demoPassword, "_en"));
    page.eval("window.turn = $('.page-sidebar-menu .fa-spin')[0].getAnimations()[0]");
    QCOMPARE(page.eval("turn.playState").toString(), QString("running")); // signed in just now
    page.eval("iconRestAfterMs = 1000; letIconRest(); window.stoodAt = turn.currentTime");
    QCOMPARE(page.eval("turn.playState").toString(), QString("paused"));

    QWidget *view = window.findChild<QWebEngineView *>()->focusProxy();
    auto input = [view, moves = 0]() mutable {
        QTest::mouseMove(view, QPoint(400 + 10 * (++moves % 2), 300));
    };
    input();
    QTRY_COMPARE(page.eval("turn.playState").toString(), QString("running"));
    QTRY_VERIFY(page.eval("turn.currentTime > stoodAt").toBool());
    QTRY_COMPARE(page.eval("turn.playState").toString(), QString("paused"));

    input();
    QTRY_COMPARE(page.eval("turn.playState").toString(), QString("running"));
    window.showMinimized();
    QTRY_COMPARE(page.eval("document.visibilityState").toString(), QString("hidden"));
    QCOMPARE(page.eval("turn.playState").toString(), QString("paused"));
    window.showNormal();
    QTRY_COMPARE(page.eval("document.visibilityState").toString(), QString("visible"));
    input();
    QTRY_COMPARE(page.eval("turn.playState").toString(), QString("running"));
}

// The proxy list shows the public address also when the program's check answers after the
// page opened.
void TestPages::publicIpShownOnceKnown()
{
    PageDriver &page = start("_en", false);
    AccountService &service = *m_client->service;
    service.holdAnswers([](const AccountRequest &request) { return request.path == "/json"; });
    QVERIFY(page.signIn(demoUser, demoPassword, "_en"));
    QVERIFY(page.waitFor("$('.localIp').length == 1 && $('#counrtyList option').length > 1"));
    QTRY_COMPARE(service.heldCount(), 2); // the login page's check and the index page's
    QCOMPARE(page.eval("$('.localIp').text()").toString(), QString());
    service.holdAnswers({});
    service.releaseHeld();
    QVERIFY(page.waitFor("$('.localIp').text() == '203.0.113.7'"));
}

VEXALO_TEST_MAIN(TestPages)
#include "tst_pages.moc"
