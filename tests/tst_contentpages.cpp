#include "accountservice.h"
#include "app/mainwindow.h"
#include "bridge/mainchannel.h"
#include "core/configstore.h"
#include "pagedriver.h"
#include "support/clientsession.h"
#include "support/runtimefolder.h"
#include "support/testmain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>

#include <functional>

Q_DECLARE_METATYPE(AccountService::Release)

// The content pages in the real web view, signed in as the demo account against the
// stand-in account service. No core runs: the journey test relays through the real one.
class TestContentPages : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void proxyListPagesByCountry();
    void proxyListDropsAnswersOfAnEarlierChoice();
    void failedProxyListPageIsAskedAgain_data();
    void failedProxyListPageIsAskedAgain();
    void residentialFigures();
    void startsListAndRemovals();
    void failedStartsLeaveThePageUsable();
    void removalOverlaySurvivesALateFailure();
    void runListShowsWhatItCan();
    void apiLinkFollowsTheChoices();

private:
    PageDriver &signIn();
    QList<AccountRequest> requests(const QString &path) const;
    void startProxyDirectly(const QString &ip, int localPort);
    void dismissBox(const QString &text);

    std::unique_ptr<RuntimeFolder> m_folder;
    ClientSession *m_client = nullptr;
};

namespace {

// The proxy list's rows as the table holds them (the table only renders the visible ones).
const char listedRows[] = "$('#example').DataTable().rows().count()";
const char listedCountries[] = "$('#example').DataTable().column(2).data().toArray().join(',')";
const char toBottom[] =
    "var b = $('.dataTables_scrollBody'); b.scrollTop(b[0].scrollHeight).trigger('scroll');";
const char bothLists[] = "$('#proxyList option').length == 21 && "
                         "$('#counrtyList option').length == 113";

std::function<bool(const AccountRequest &)> iplist(const QString &country,
                                                   const QString &pageNo = QString())
{
    return [country, pageNo](const AccountRequest &request) {
        return request.path == "/v1/iplist" && request.formItem("countryCode") == country &&
               (pageNo.isNull() || request.formItem("pageNo") == pageNo);
    };
}

std::function<bool(const AccountRequest &)> path(const QString &path)
{
    return [path](const AccountRequest &request) {
        return request.path == path;
    };
}

} // namespace

void TestContentPages::init()
{
    m_folder.reset(new RuntimeFolder(RuntimeFolder::WithoutCore));
    QVERIFY2(m_folder->isValid(), qPrintable(m_folder->error()));
    QWebEngineProfile::defaultProfile()->cookieStore()->deleteAllCookies();
}

void TestContentPages::cleanup()
{
    delete m_client;
    m_client = nullptr;
    m_folder.reset();
}

PageDriver &TestContentPages::signIn()
{
    m_client = new ClientSession("_en", false);
    if (!m_client->error().isEmpty())
        QTest::qFail(qPrintable(m_client->error()), __FILE__, __LINE__);
    else if (!m_client->page->signIn("demo@vexalo.test", "demo1234", "_en"))
        QTest::qFail("not signed in", __FILE__, __LINE__);
    return *m_client->page;
}

QList<AccountRequest> TestContentPages::requests(const QString &path) const
{
    QList<AccountRequest> found;
    for (const AccountRequest &request : m_client->service->requests())
        if (request.path == path && request.method != "OPTIONS")
            found << request;
    return found;
}

// A proxy started through the bridge as the residential-proxy page would start it.
void TestContentPages::startProxyDirectly(const QString &ip, int localPort)
{
    const QJsonObject proxy{
        {"ip", ip},        {"port", 8080},   {"proxyType", "HTTP"}, {"local_port", localPort},
        {"username", "u"}, {"password", "p"}};
    m_client->window->findChild<MainChannel *>()->sendMsg(
        QJsonDocument(QJsonObject{{"code", 6}, {"data", proxy}}).toJson());
}

// Waits for the message box with that text, checks that no overlay is left and closes it.
void TestContentPages::dismissBox(const QString &text)
{
    PageDriver &page = *m_client->page;
    QVERIFY2(page.waitFor(QString("$('.nz-msgbox:visible').text().indexOf(%1) >= 0")
                              .arg(PageDriver::quoted(text)),
                          30000),
             qPrintable(page.eval("$('.nz-msgbox:visible').text()").toString()));
    QCOMPARE(page.eval("$('.loading-overlay').length").toInt(), 0);
    page.eval("$('.nz-msgbox .nz-msgbox-ok').click()");
    QVERIFY(page.waitFor("$('.nz-msgbox:visible').length == 0"));
}

void TestContentPages::proxyListPagesByCountry()
{
    PageDriver &page = signIn();
    QVERIFY(page.openMenu("proxyIndex",
                          "$('#example').length == 1 && $('#counrtyList option').length == 113"));
    QVERIFY(page.waitFor("$('.localIp').text() == '203.0.113.7'"));
    QCOMPARE(page.eval("$('#counrtyList option[value=JP]').text()").toString(),
             QString("JAPAN(JP)"));
    QCOMPARE(requests("/v1/iplist").size(), 0); // nothing until a country is chosen

    page.eval("$('#counrtyList').val('JP').trigger('change')");
    QVERIFY(page.waitFor(QString("%1 >= 10").arg(listedRows)));
    const AccountRequest first = requests("/v1/iplist").first();
    QCOMPARE(first.formItem("pageNo"), QString("1"));
    QCOMPARE(first.formItem("pageSize"), QString("10"));
    QCOMPARE(first.formItem("countryCode"), QString("JP"));

    // Scrolling to the bottom fetches the next pages until the service reports the end.
    QVERIFY(page.waitFor(QString("(function () { %1 return pageStatus; })() && %2 == 25")
                             .arg(toBottom, listedRows)));
    const int atEnd = requests("/v1/iplist").size();
    QCOMPARE(requests("/v1/iplist").last().formItem("pageNo"), QString::number(atEnd));
    // The scroll handler sends synchronously, so counting the requests it opens is exact.
    QCOMPARE(page.eval(QString("(function () { var n = 0, open = XMLHttpRequest.prototype.open;"
                               " XMLHttpRequest.prototype.open = function () { n++; return "
                               "open.apply(this, arguments); }; %1"
                               " XMLHttpRequest.prototype.open = open; return n; })()")
                           .arg(toBottom))
                 .toInt(),
             0);
    const QStringList isps = page.eval("$('#example .truncate-text').map(function () { return "
                                       "$(this).text(); }).get().join('|')")
                                 .toString()
                                 .split('|');
    QVERIFY2(isps.contains("Sakura Fiber Network"), qPrintable(isps.join('|')));
    QVERIFY2(isps.contains("Sakura Fiber Network..."), qPrintable(isps.join('|')));
}

void TestContentPages::proxyListDropsAnswersOfAnEarlierChoice()
{
    PageDriver &page = signIn();
    QVERIFY(page.openMenu("proxyIndex", "$('#counrtyList option').length == 113"));
    m_client->service->holdAnswers(iplist("JP"));
    page.eval("$('#counrtyList').val('JP').trigger('change')");
    QTRY_COMPARE(m_client->service->heldCount(), 1);
    page.eval("$('#counrtyList').val('DE').trigger('change')");
    QVERIFY(page.waitFor(QString("pageStatus && %1 == 5").arg(listedRows)));

    page.eval("window.iplistDone = 0; $(document).on('ajaxComplete', function (e, x, s) {"
              " if (s.url.indexOf('/v1/iplist') >= 0) window.iplistDone++; })");
    QCOMPARE(m_client->service->releaseHeld(), 1);
    QVERIFY(page.waitFor("window.iplistDone == 1"));
    QCOMPARE(page.eval(listedCountries).toString(), QString("DE,DE,DE,DE,DE"));
}

void TestContentPages::failedProxyListPageIsAskedAgain_data()
{
    QTest::addColumn<AccountService::Release>("failure");
    QTest::addColumn<QString>("box");
    QTest::newRow("refused") << AccountService::Release::Refuse << "refused on purpose";
    QTest::newRow("no answer") << AccountService::Release::Cut
                               << "Please contact the administrator!";
}

void TestContentPages::failedProxyListPageIsAskedAgain()
{
    QFETCH(AccountService::Release, failure);
    QFETCH(QString, box);
    PageDriver &page = signIn();
    AccountService &service = *m_client->service;
    QVERIFY(page.openMenu("proxyIndex", "$('#counrtyList option').length == 113"));
    const auto failOnce = [&] {
        QTRY_COMPARE(service.heldCount(), 1);
        service.holdAnswers({});
        QCOMPARE(service.releaseHeld(failure), 1);
        dismissBox(box);
    };

    service.holdAnswers(iplist("JP", "2"));
    page.eval("$('#counrtyList').val('JP').trigger('change')");
    QVERIFY(page.waitFor(QString("%1 >= 10").arg(listedRows)));
    page.eval(toBottom);
    failOnce();
    if (QTest::currentTestFailed())
        return;
    // The next scroll asks for page 2 again, whatever pages went on meanwhile: scrolling on
    // reaches the end with every row once.
    QVERIFY(page.waitFor(QString("(function () { %1 return pageStatus; })() && %2 == 25")
                             .arg(toBottom, listedRows)));
    QCOMPARE(
        page.eval("new Set($('#example').DataTable().column(0).data().toArray()).size").toInt(),
        25);

    // A first page that fails leaves nothing to scroll; choosing a country starts afresh.
    service.holdAnswers(iplist("DE"));
    page.eval("$('#counrtyList').val('DE').trigger('change')");
    failOnce();
    if (QTest::currentTestFailed())
        return;
    page.eval("$('#counrtyList').val('GB').trigger('change')");
    QVERIFY(page.waitFor(QString("pageStatus && %1 == 4").arg(listedRows)));
    QCOMPARE(page.eval(listedCountries).toString(), QString("GB,GB,GB,GB"));
}

// One page shows each account of the fixture's edge cases in turn, by asking with its
// credentials.
void TestContentPages::residentialFigures()
{
    PageDriver &page = signIn();
    QVERIFY(page.openMenu("rotatingagent", bothLists));
    QVERIFY(page.waitFor("$('.residual').text() == '2.500 GB'"));
    const struct
    {
        const char *email, *residual, *warning;
    } accounts[] = {
        {"broken@vexalo.test", nullptr, "Please contact the administrator!"},
        {"noplan@vexalo.test", nullptr, "Please purchase a data plan"}, // though it has a balance
        {"empty@vexalo.test", nullptr, " traffic is used up"},
        {"low@vexalo.test", "999.500 MB", nullptr},
        {"even@vexalo.test", "1.000 GB", nullptr},
    };
    for (const auto &account : accounts) {
        page.eval(QString("baseuser = Base64.encode('%1:test1234'); $('.refreshTraffic').click()")
                      .arg(account.email));
        if (account.warning) {
            dismissBox(account.warning);
            QCOMPARE(page.eval("$('.residual').text()").toString(), QString("2.500 GB"));
        } else {
            QVERIFY2(page.waitFor(QString("$('.residual').text() == '%1'").arg(account.residual)),
                     account.email);
        }
    }
}

void TestContentPages::startsListAndRemovals()
{
    PageDriver &page = signIn();
    QVERIFY(page.openMenu("rotatingagent", bothLists));
    // Nothing chosen: the program picks the port.
    page.eval("$('#fromsubmit').submit()");
    QVERIFY(page.waitFor("$('.nz-msgbox:visible').text().indexOf('prot :') >= 0", 30000));
    QCOMPARE(m_client->messages.last().first, 6);
    const QJsonObject random = m_client->messages.last().second;
    QVERIFY(random.value("local_port").isNull());
    QCOMPARE(random.value("counrtyList").toString(), QString(""));
    QCOMPARE(random.value("gender").toBool(true), false);
    const QJsonObject stored =
        QJsonDocument::fromJson(ConfigStore("run/config.json").readPlain()).object();
    const int chosen = stored.value("inbounds").toArray().first().toObject().value("port").toInt();
    dismissBox(QString("prot :%1").arg(chosen));

    page.eval("$('#counrtyList').val('US').trigger('change'); "
              "$('#proxyList').val('60003').trigger('change');"
              " $('#gender').prop('checked', true); $('#fromsubmit').submit()");
    dismissBox("prot :60003");
    const QJsonObject sticky = m_client->messages.last().second;
    QCOMPARE(sticky.value("local_port").toInt(), 60003);
    QCOMPARE(sticky.value("counrtyList").toString(), QString("US"));
    QCOMPARE(sticky.value("gender").toBool(), true);
    QCOMPARE(sticky.value("username").toString(), QString("vx_demo"));
    QCOMPARE(sticky.value("password").toString(), QString("k3yS3cret"));

    // Opened several times, the run list still sends one removal per click.
    for (int i = 0; i < 3; ++i)
        QVERIFY(page.openMenu("runlist", "$('.iptbody tr[t_data=60003]').length == 1"));
    QCOMPARE(page.eval("$('.iptbody tr[t_data=60003] td').slice(0, 2).text()").toString(),
             QString("Residential Proxy60003"));
    // A damaged stored configuration makes the removal fail: the row stays.
    ConfigStore store("run/config.json");
    const QByteArray good = store.readPlain();
    QVERIFY(store.storePlain("damaged"));
    page.eval("$('.iptbody .delRow[t_data=60003]').click()");
    dismissBox("删除失败");
    QCOMPARE(page.eval("$('.iptbody tr[t_data=60003]').length").toInt(), 1);
    QCOMPARE(m_client->codes().count("5"), 1);

    QVERIFY(store.storePlain(good));
    page.eval("$('.iptbody .delRow[t_data=60003]').click()");
    QVERIFY(page.waitFor("$('.iptbody tr[t_data=60003]').length == 0", 30000));
    QCOMPARE(page.eval("$('.loading-overlay').length").toInt(), 0);
    QCOMPARE(m_client->codes().count("5"), 2);
}

void TestContentPages::failedStartsLeaveThePageUsable()
{
    PageDriver &page = signIn();
    AccountService &service = *m_client->service;
    QVERIFY(page.openMenu("rotatingagent", bothLists));
    service.holdAnswers(path("/v1/rotatingIP"));
    page.eval("$('#fromsubmit').submit()");
    QTRY_COMPARE(service.heldCount(), 1);
    service.holdAnswers({});
    QCOMPARE(service.releaseHeld(AccountService::Release::Cut), 1);
    dismissBox("Please contact the administrator!");
    QVERIFY(!m_client->codes().contains("6"));

    // The program refuses a start it cannot store.
    QVERIFY(ConfigStore("run/config.json").storePlain("damaged"));
    page.eval("$('#fromsubmit').submit()");
    dismissBox("开启错误");
    QVERIFY(m_client->codes().contains("6"));
}

// A late failure of another request (here a local-API fetch) leaves a removal's overlay up.
void TestContentPages::removalOverlaySurvivesALateFailure()
{
    PageDriver &page = signIn();
    AccountService &service = *m_client->service;
    startProxyDirectly("127.0.0.1", 60008);
    service.holdAnswers(path("/v1/get_data"));
    QVERIFY(page.openMenu("runlist", "$('.iptbody tr[t_data=60008]').length == 1"));
    page.eval("sigIshttpProxy(Base64.encode(JSON.stringify({proxyType: '2', country: '',"
              " local_port: 60009, counrtyList: '', gender: true, API: 'true'})))");
    QTRY_COMPARE(service.heldCount(), 1);

    // The removal waits under its overlay; its message is kept back until the failure is in.
    page.eval("window.keptBack = []; window.sendKeptBack = myObject.sendMsg;"
              " myObject.sendMsg = function (m) { keptBack.push(m); }");
    page.eval("$('.iptbody .delRow[t_data=60008]').click()");
    QVERIFY(page.waitFor("keptBack.length == 1 && $('.loading-overlay').length == 1"));
    QCOMPARE(service.releaseHeld(AccountService::Release::Cut), 1);
    QVERIFY(
        page.waitFor("$('.nz-msgbox:visible').text().indexOf('contact the administrator') >= 0"));
    QCOMPARE(page.eval("$('.loading-overlay').length").toInt(), 1);

    page.eval("$('.nz-msgbox .nz-msgbox-ok').click(); myObject.sendMsg = sendKeptBack;"
              " sendKeptBack(keptBack[0])");
    QVERIFY(page.waitFor("$('.iptbody tr[t_data=60008]').length == 0", 30000));
    QCOMPARE(page.eval("$('.loading-overlay').length").toInt(), 0);
}

void TestContentPages::runListShowsWhatItCan()
{
    PageDriver &page = signIn();
    // A proxy at an address the service cannot locate, started as the pages would.
    startProxyDirectly("192.0.2.250", 60007);
    const QString row = "$('.iptbody tr[t_data=60007] td').map(function () { return "
                        "$(this).text(); }).get().join('|')";
    // A refusal is an answer: the row goes without location, and nothing is worth telling.
    QVERIFY(page.openMenu("runlist", "$('.iptbody tr[t_data=60007]').length == 1"));
    QVERIFY2(page.eval(row).toString().startsWith("192.0.2.250|60007||||||"),
             qPrintable(page.eval(row).toString()));
    QCOMPARE(page.eval("$('.nz-msgbox:visible').length").toInt(), 0);

    // A lookup that got no answer lists the row just the same, and tells.
    m_client->service->holdAnswers(path("/v1/getip"));
    QVERIFY(page.openMenu("runlist", "$('.iptbody').length == 1"));
    QTRY_COMPARE(m_client->service->heldCount(), 1);
    QCOMPARE(m_client->service->releaseHeld(AccountService::Release::Cut), 1);
    QVERIFY(page.waitFor("$('.iptbody tr[t_data=60007]').length == 1"));
    QVERIFY2(page.eval(row).toString().startsWith("192.0.2.250|60007||||||"),
             qPrintable(page.eval(row).toString()));
    dismissBox("Please contact the administrator!");

    // A list the page cannot read, whatever way it is broken.
    for (const char *argument :
         {"Base64.encode('{\"outbounds\": [')", "Base64.encode('[]')", "'not base64!'"}) {
        page.eval(QString("sigSendRunProxyList(%1)").arg(argument));
        dismissBox("Please contact the administrator!");
    }
}

void TestContentPages::apiLinkFollowsTheChoices()
{
    PageDriver &page = signIn();
    QVERIFY(
        page.openMenu("api", "$('.api_url').length == 1 && $('#proxyList option').length == 21"));
    const QString link = "http://127.0.0.1:9584/api/get_ip?proxyType=2&contry=&proxy=&gender=1";
    QCOMPARE(page.eval("$('.api_url').val()").toString(), link);
    page.eval(
        "$('#proxyList').val('60003').trigger('change'); $('.gender').val('2').trigger('change')");
    QVERIFY(page.waitFor("$('.api_url').val().endsWith('&proxy=60003&gender=2')"));
    page.eval("$('#proxyList').val('').trigger('change'); $('.gender').val('1').trigger('change')");
    QCOMPARE(page.eval("$('.api_url').val()").toString(), link);
}

VEXALO_TEST_MAIN(TestContentPages)
#include "tst_contentpages.moc"
