#include "accountservice.h"
#include "app/mainwindow.h"
#include "bridge/mainchannel.h"
#include "core/configstore.h"
#include "pagedriver.h"
#include "residentialgateway.h"
#include "support/clientsession.h"
#include "support/relayprobe.h"
#include "support/runtimefolder.h"
#include "support/testmain.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>
#include <QWebEngineView>

#include <functional>

Q_DECLARE_METATYPE(AccountService::Release)

// The content pages in the real web view, signed in against the stand-in account service,
// with the real core behind the residential-proxy and run-list pages.
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
    void residentialFigures_data();
    void residentialFigures();
    void randomStartLetsTheProgramChoose();
    void stickyProxyRelaysListsAndGoes();
    void failedStartLeavesThePageUsable();
    void serviceFaultDuringStartLeavesThePageUsable_data();
    void serviceFaultDuringStartLeavesThePageUsable();
    void failedRemovalKeepsTheRow();
    void removalOverlaySurvivesOtherFailures_data();
    void removalOverlaySurvivesOtherFailures();
    void runListShowsFailedLookups_data();
    void runListShowsFailedLookups();
    void unreadableRunListShowsTheBox_data();
    void unreadableRunListShowsTheBox();
    void apiLinkFollowsTheChoices();
    void languageChoiceSurvivesARestart();

private:
    void signIn(const QString &email, const QString &password = "test1234",
                const QString &language = "_en");
    QList<AccountRequest> requests(const QString &path) const;
    void startProxyDirectly(const QString &ip, int localPort);

    std::unique_ptr<RuntimeFolder> m_folder;
    ClientSession *m_client = nullptr;
};

void TestContentPages::init()
{
    m_folder.reset(new RuntimeFolder);
    QVERIFY2(m_folder->isValid(), qPrintable(m_folder->error()));
    QWebEngineProfile::defaultProfile()->cookieStore()->deleteAllCookies();
}

void TestContentPages::cleanup()
{
    delete m_client;
    m_client = nullptr;
    m_folder.reset();
}

void TestContentPages::signIn(const QString &email, const QString &password,
                              const QString &language)
{
    m_client = new ClientSession(language, false);
    QVERIFY2(m_client->error().isEmpty(), qPrintable(m_client->error()));
    QVERIFY(m_client->signIn(email, password, language));
}

namespace {

// The proxy list's rows as the table holds them (the table only renders the visible ones).
const char listedRows[] = "$('#example').DataTable().rows().count()";
const char listedCountries[] = "$('#example').DataTable().column(2).data().toArray().join(',')";
const char toBottom[] =
    "var b = $('.dataTables_scrollBody'); b.scrollTop(b[0].scrollHeight).trigger('scroll');";

std::function<bool(const AccountRequest &)> iplist(const QString &country,
                                                   const QString &pageNo = QString())
{
    return [country, pageNo](const AccountRequest &request) {
        return request.path == "/v1/iplist" && request.formItem("countryCode") == country &&
               (pageNo.isNull() || request.formItem("pageNo") == pageNo);
    };
}

} // namespace

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
    const QJsonObject proxy{{"ip", ip},
                            {"port", ip == "127.0.0.1" ? m_client->gateway->httpPort() : 8080},
                            {"proxyType", "HTTP"},
                            {"local_port", localPort},
                            {"username", "u"},
                            {"password", "p"}};
    m_client->window->findChild<MainChannel *>()->sendMsg(
        QJsonDocument(QJsonObject{{"code", 6}, {"data", proxy}}).toJson());
}

void TestContentPages::proxyListPagesByCountry()
{
    signIn("demo@vexalo.test", "demo1234");
    PageDriver &page = *m_client->page;
    QVERIFY(m_client->openMenu(
        "proxyIndex", "$('#example').length == 1 && $('#counrtyList option').length == 113"));
    QVERIFY(
        page.waitFor(QString("$('.localIp').text() == '%1'")
                         .arg(m_client->service->fixture().geolocation.value("query").toString())));
    QCOMPARE(requests("/v1/iplist").size(), 0); // nothing until a country is chosen

    page.eval("$('#counrtyList').val('JP').trigger('change')");
    QVERIFY(page.waitFor("$('#example tbody tr td.dataTables_empty').length == 0 && $('#example "
                         "tbody tr').length >= 10"));
    const AccountRequest first = requests("/v1/iplist").first();
    QCOMPARE(first.formItem("pageNo"), QString("1"));
    QCOMPARE(first.formItem("pageSize"), QString("10"));
    QCOMPARE(first.formItem("countryCode"), QString("JP"));
    QVERIFY(first.header("Authorization").startsWith("Basic "));

    // Scrolling to the bottom fetches the next pages until the service reports the end.
    const QString toBottom =
        "var b = $('.dataTables_scrollBody'); b.scrollTop(b[0].scrollHeight).trigger('scroll');";
    for (int expected = 2; expected <= 4; ++expected) {
        page.eval(toBottom);
        QTRY_VERIFY(requests("/v1/iplist").size() >= expected);
    }
    QVERIFY(page.waitFor("$('#example tbody tr').length == 25"));
    const int atEnd = requests("/v1/iplist").size();
    QCOMPARE(requests("/v1/iplist").last().formItem("pageNo"), QString::number(atEnd));
    // The scroll handler sends synchronously, so counting the requests it opens is exact.
    QTRY_COMPARE(page.eval("(function () { var n = 0, open = XMLHttpRequest.prototype.open;"
                           " XMLHttpRequest.prototype.open = function () { n++; return "
                           "open.apply(this, arguments); };"
                           " " +
                           toBottom + " XMLHttpRequest.prototype.open = open; return n; })()")
                     .toInt(),
                 0);

    const QString isps = page.eval("$('#example .truncate-text').map(function () { return "
                                   "$(this).text(); }).get().join('|')")
                             .toString();
    QVERIFY2(isps.split('|').contains("Sakura Fiber Network"), qPrintable(isps));
    QVERIFY2(isps.split('|').contains("Sakura Fiber Network..."), qPrintable(isps));

    // A scroll of the check above may still have a JP page in flight, so the request of the
    // new choice is awaited rather than counted.
    page.eval("$('#counrtyList').val('').trigger('change')");
    QTRY_COMPARE(requests("/v1/iplist").last().formItem("countryCode"), QString(""));
}

void TestContentPages::proxyListDropsAnswersOfAnEarlierChoice()
{
    signIn("demo@vexalo.test", "demo1234");
    PageDriver &page = *m_client->page;
    QVERIFY(m_client->openMenu("proxyIndex", "$('#counrtyList option').length == 113"));
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
    signIn("demo@vexalo.test", "demo1234");
    PageDriver &page = *m_client->page;
    AccountService &service = *m_client->service;
    QVERIFY(m_client->openMenu("proxyIndex", "$('#counrtyList option').length == 113"));
    const auto failOnce = [&] {
        QTRY_COMPARE(service.heldCount(), 1);
        service.holdAnswers({});
        QCOMPARE(service.releaseHeld(failure), 1);
        QVERIFY(page.waitFor("$('.nz-msgbox:visible').length == 1"));
        QVERIFY(page.eval("$('.nz-msgbox').text()").toString().contains(box));
        page.eval("$('.nz-msgbox .nz-msgbox-ok').click()");
        QVERIFY(page.waitFor("$('.nz-msgbox:visible').length == 0"));
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

void TestContentPages::residentialFigures_data()
{
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("residual");
    QTest::addColumn<QString>("warning");
    QTest::newRow("999.5 MB") << "low@vexalo.test"
                              << "999.500 MB"
                              << "";
    QTest::newRow("1000 MB") << "even@vexalo.test"
                             << "1.000 GB"
                             << "";
    QTest::newRow("2500 MB") << "demo@vexalo.test"
                             << "2.500 GB"
                             << "";
    QTest::newRow("plan unknown") << "broken@vexalo.test"
                                  << "0"
                                  << "Please contact the administrator!";
    QTest::newRow("no plan wins over a balance") << "noplan@vexalo.test"
                                                 << "0"
                                                 << "Please purchase a data plan";
    QTest::newRow("used up") << "empty@vexalo.test"
                             << "0"
                             << " traffic is used up";
}

void TestContentPages::residentialFigures()
{
    QFETCH(QString, email);
    QFETCH(QString, residual);
    QFETCH(QString, warning);
    signIn(email, email.startsWith("demo") ? "demo1234" : "test1234");
    QVERIFY(m_client->openMenu(
        "rotatingagent", "$('.residual').length == 1 && $('#proxyList option').length == 21"));
    QTRY_VERIFY(!requests("/v1/querySubUser").isEmpty());
    if (warning.isEmpty()) {
        QVERIFY(m_client->page->waitFor(QString("$('.residual').text() == '%1'").arg(residual)));
    } else {
        QVERIFY(m_client->page->waitFor("$('.nz-msgbox:visible').length == 1"));
        QVERIFY(
            m_client->page->eval("$('.nz-msgbox:visible').text()").toString().contains(warning));
        QCOMPARE(m_client->page->eval("$('.residual').text()").toString(), residual);
    }
}

void TestContentPages::randomStartLetsTheProgramChoose()
{
    signIn("demo@vexalo.test", "demo1234");
    QVERIFY(m_client->openMenu(
        "rotatingagent",
        "$('#proxyList option').length == 21 && $('#counrtyList option').length == 113"));
    QVERIFY(m_client->page->waitFor("$('.residual').text() == '2.500 GB'"));
    m_client->page->eval("$('#fromsubmit').submit()");
    QVERIFY(
        m_client->page->waitFor("$('.nz-msgbox:visible').text().indexOf('prot :') >= 0", 30000));
    QCOMPARE(m_client->messages.last().first, 6);
    const QJsonObject start = m_client->messages.last().second;
    QVERIFY(start.value("local_port").isNull());
    QCOMPARE(start.value("counrtyList").toString(), QString(""));
    QCOMPARE(start.value("gender").toBool(true), false);

    const QString box = m_client->page->eval("$('.nz-msgbox:visible').text()").toString();
    const QJsonObject stored =
        QJsonDocument::fromJson(ConfigStore("run/config.json").readPlain()).object();
    const int chosen = stored.value("inbounds").toArray().first().toObject().value("port").toInt();
    QVERIFY(chosen > 0);
    QVERIFY2(box.contains("IP: 127.0.0.1") && box.contains(QString("prot :%1").arg(chosen)),
             qPrintable(box));
    QCOMPARE(m_client->page->eval("$('.loading-overlay').length").toInt(), 0);
}

void TestContentPages::stickyProxyRelaysListsAndGoes()
{
    signIn("demo@vexalo.test", "demo1234");
    PageDriver &page = *m_client->page;
    QVERIFY(m_client->openMenu(
        "rotatingagent",
        "$('#proxyList option').length == 21 && $('#counrtyList option').length == 113"));
    page.eval("$('#counrtyList').val('US').trigger('change'); "
              "$('#proxyList').val('60003').trigger('change');"
              " $('#gender').prop('checked', true); $('#fromsubmit').submit()");
    QVERIFY(page.waitFor("$('.nz-msgbox:visible').text().indexOf('prot :60003') >= 0", 30000));

    TargetServer target;
    QVERIFY(waitUntilRelays(60003, target));
    const GatewayConnection seen = m_client->gateway->connections().last();
    QCOMPARE(seen.user, QString("vx_demo"));
    QCOMPARE(seen.basePassword, QString("k3yS3cret"));
    QCOMPARE(seen.country, QString("US"));
    QCOMPARE(seen.session.size(), 8);

    // Opened several times, the run list still sends one removal per click.
    page.eval("$('.nz-msgbox .nz-msgbox-ok').click()");
    for (int i = 0; i < 3; ++i)
        QVERIFY(m_client->openMenu("runlist", "$('.iptbody tr[t_data=60003]').length == 1"));
    QCOMPARE(page.eval("$('.iptbody tr[t_data=60003] td').eq(0).text()").toString(),
             QString("Residential Proxy"));
    QCOMPARE(page.eval("$('.iptbody tr[t_data=60003] td').eq(1).text()").toString(),
             QString("60003"));
    page.eval("$('.iptbody .delRow[t_data=60003]').click()");
    QVERIFY(page.waitFor("$('.iptbody tr[t_data=60003]').length == 0", 30000));
    QCOMPARE(m_client->codes().count("5"), 1);
    QCOMPARE(fetchThroughSocks(60003, target.serverPort(), 1000), QByteArray());
}

void TestContentPages::failedStartLeavesThePageUsable()
{
    signIn("demo@vexalo.test", "demo1234");
    QVERIFY(m_client->openMenu("rotatingagent", "$('#proxyList option').length == 21"));
    // A damaged stored configuration makes the program refuse the start with errormsg.
    QFile stored("run/config.json");
    QVERIFY(stored.open(QIODevice::WriteOnly));
    stored.write("damaged");
    stored.close();
    m_client->page->eval("$('#fromsubmit').submit()");
    QVERIFY(
        m_client->page->waitFor("$('.nz-msgbox:visible').text().indexOf('开启错误') >= 0", 30000));
    QCOMPARE(m_client->page->eval("$('.loading-overlay').length").toInt(), 0);
    m_client->page->eval("$('.nz-msgbox .nz-msgbox-ok').click()");
    QVERIFY(m_client->page->waitFor("$('.nz-msgbox:visible').length == 0"));
}

void TestContentPages::serviceFaultDuringStartLeavesThePageUsable_data()
{
    QTest::addColumn<ClientSession::ServiceFault>("fault");
    QTest::newRow("gone") << ClientSession::ServiceFault::Gone;
    QTest::newRow("garbage") << ClientSession::ServiceFault::Garbage;
    QTest::newRow("cut short") << ClientSession::ServiceFault::CutShort;
}

void TestContentPages::serviceFaultDuringStartLeavesThePageUsable()
{
    QFETCH(ClientSession::ServiceFault, fault);
    signIn("demo@vexalo.test", "demo1234");
    PageDriver &page = *m_client->page;
    QVERIFY(m_client->openMenu("rotatingagent", "$('#proxyList option').length == 21"));
    QVERIFY(page.waitFor("$('.residual').text() == '2.500 GB'"));
    m_client->breakService(fault);
    page.eval("$('#proxyList').val('60004').trigger('change'); $('#fromsubmit').submit()");
    QVERIFY(page.waitFor("$('.nz-msgbox:visible').length == 1"));
    QCOMPARE(m_client->faultyServiceRequests() > 0, fault != ClientSession::ServiceFault::Gone);
    QVERIFY(page.eval("$('.nz-msgbox').text()").toString().contains("contact the administrator"));
    QCOMPARE(page.eval("$('.loading-overlay').length").toInt(), 0);
    QVERIFY(!m_client->codes().contains("6"));

    page.eval("$('.nz-msgbox .nz-msgbox-ok').click()");
    QVERIFY(page.waitFor("$('.nz-msgbox:visible').length == 0"));
    QVERIFY(m_client->restoreService());
    page.eval("$('#fromsubmit').submit()");
    QVERIFY(page.waitFor("$('.nz-msgbox:visible').text().indexOf('prot :60004') >= 0", 30000));
}

void TestContentPages::failedRemovalKeepsTheRow()
{
    signIn("demo@vexalo.test", "demo1234");
    startProxyDirectly("127.0.0.1", 60008);
    QVERIFY(m_client->openMenu("runlist", "$('.iptbody tr[t_data=60008]').length == 1"));
    // A damaged stored configuration makes the removal fail while the proxy goes on running.
    QFile stored("run/config.json");
    QVERIFY(stored.open(QIODevice::WriteOnly));
    stored.write("damaged");
    stored.close();
    m_client->page->eval("$('.iptbody .delRow[t_data=60008]').click()");
    QVERIFY(m_client->page->waitFor("$('.nz-msgbox:visible').text().indexOf('删除失败') >= 0"));
    QCOMPARE(m_client->page->eval("$('.loading-overlay').length").toInt(), 0);
    QCOMPARE(m_client->page->eval("$('.iptbody tr[t_data=60008]').length").toInt(), 1);
}

void TestContentPages::removalOverlaySurvivesOtherFailures_data()
{
    QTest::addColumn<bool>("fromProxyList");
    QTest::newRow("local-API fetch") << false;
    QTest::newRow("proxy-list page") << true;
}

void TestContentPages::removalOverlaySurvivesOtherFailures()
{
    QFETCH(bool, fromProxyList);
    signIn("demo@vexalo.test", "demo1234");
    PageDriver &page = *m_client->page;
    AccountService &service = *m_client->service;
    startProxyDirectly("127.0.0.1", 60008);
    if (fromProxyList) {
        // A page is still on its way when the user moves on to the run list.
        QVERIFY(m_client->openMenu("proxyIndex", "$('#counrtyList option').length == 113"));
        service.holdAnswers(iplist("JP"));
        page.eval("$('#counrtyList').val('JP').trigger('change')");
    } else {
        service.holdAnswers(
            [](const AccountRequest &request) { return request.path == "/v1/get_data"; });
    }
    QVERIFY(m_client->openMenu("runlist", "$('.iptbody tr[t_data=60008]').length == 1"));
    if (!fromProxyList)
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

void TestContentPages::runListShowsFailedLookups_data()
{
    QTest::addColumn<bool>("answered");
    QTest::newRow("refused") << true;
    QTest::newRow("no answer") << false;
}

void TestContentPages::runListShowsFailedLookups()
{
    QFETCH(bool, answered);
    signIn("demo@vexalo.test", "demo1234");
    // A proxy at an address the service cannot locate, started as the pages would.
    startProxyDirectly("192.0.2.250", 60007);
    if (!answered)
        m_client->service->holdAnswers(
            [](const AccountRequest &request) { return request.path == "/v1/getip"; });
    QVERIFY(m_client->openMenu("runlist", "$('.iptbody').length == 1"));
    if (!answered) {
        QTRY_COMPARE(m_client->service->heldCount(), 1);
        QCOMPARE(m_client->service->releaseHeld(AccountService::Release::Cut), 1);
    }
    QVERIFY(m_client->page->waitFor("$('.iptbody tr[t_data=60007]').length == 1"));
    const QString cells = m_client->page
                              ->eval("$('.iptbody tr[t_data=60007] td').map(function () { return "
                                     "$(this).text(); }).get().join('|')")
                              .toString();
    QVERIFY2(cells.startsWith("192.0.2.250|60007||||||"), qPrintable(cells));
    // A refusal is an answer; only a lookup that got none is worth telling.
    QCOMPARE(m_client->page->eval("$('.nz-msgbox:visible').text()")
                 .toString()
                 .contains("Please contact the administrator!"),
             !answered);
}

void TestContentPages::unreadableRunListShowsTheBox_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("argument");
    QTest::newRow("not JSON") << QByteArray(R"({"outbounds": [)") << QString();
    QTest::newRow("not an object") << QByteArray("[]") << QString();
    QTest::newRow("not Base64") << QByteArray() << QString("not base64!");
}

void TestContentPages::unreadableRunListShowsTheBox()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, argument);
    signIn("demo@vexalo.test", "demo1234");
    if (!stored.isNull())
        QVERIFY(ConfigStore("run/config.json").storePlain(stored));
    QVERIFY(m_client->openMenu("runlist", "$('.iptbody').length == 1"));
    if (!argument.isNull())
        m_client->page->eval(QString("sigSendRunProxyList(%1)").arg(PageDriver::quoted(argument)));
    QVERIFY(m_client->page->waitFor(
        "$('.nz-msgbox:visible').text().indexOf('Please contact the administrator!') >= 0"));
}

void TestContentPages::apiLinkFollowsTheChoices()
{
    signIn("demo@vexalo.test", "demo1234");
    PageDriver &page = *m_client->page;
    QVERIFY(m_client->openMenu(
        "api", "$('.api_url').length == 1 && $('#counrtyList option').length == 113"));
    QCOMPARE(page.eval("$('.api_url').val()").toString(),
             QString("http://127.0.0.1:9584/api/get_ip?proxyType=2&contry=&proxy=&gender=1"));
    page.eval("$('#proxyList').val('60003').trigger('change'); "
              "$('#counrtyList').val('US').trigger('change');"
              " $('.gender').val('2').trigger('change')");
    QVERIFY(page.waitFor(
        "$('.api_url').val().endsWith('?proxyType=2&contry=US&proxy=60003&gender=2')"));
    page.eval("$('#proxyList').val('').trigger('change')");
    QVERIFY(page.waitFor("$('.api_url').val().endsWith('?proxyType=2&contry=US&proxy=&gender=2')"));
}

void TestContentPages::languageChoiceSurvivesARestart()
{
    signIn("demo@vexalo.test", "demo1234", "_cn");
    QVERIFY(m_client->openMenu("settings", "$('select[name=Language]').val() == '_cn'"));
    m_client->page->eval("$('select[name=Language]').val('_en').trigger('change')");
    QVERIFY(m_client->page->waitFor("location.href == 'qrc:/html/index_en.html'"));
    delete m_client;
    m_client = nullptr;

    QSettings settings("config.ini", QSettings::IniFormat);
    QCOMPARE(settings.value("settings/language").toString(), QString("_en"));
    MainWindow restarted;
    QTRY_COMPARE(restarted.findChild<QWebEngineView *>()->url(), QUrl("qrc:/html/index_en.html"));
}

VEXALO_TEST_MAIN(TestContentPages)
#include "tst_contentpages.moc"
