#include "accountservice.h"
#include "bridge/mainchannel.h"
#include "core/configstore.h"
#include "support/clientsession.h"
#include "support/testmain.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <functional>

Q_DECLARE_METATYPE(AccountService::Release)

// The content pages in the real web view, signed in as the demo account against the
// stand-in account service. No core runs: the journey test relays through the real one.
class TestContentPages : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_client.reset(); }

    void proxyListPagesByCountry();
    void proxyListDropsAnswersOfAnEarlierChoice();
    void failedProxyListPageIsAskedAgain_data();
    void failedProxyListPageIsAskedAgain();
    void unansweredRequestsEndAtTheTimeLimit();
    void overlaysTakeOnlyTheirOwnResizeHandlers();
    void residentialFigures();
    void startsListAndRemovals();
    void removalOverlaySurvivesALateFailure();
    void runListShowsWhatItCan();
    void runListShowsTheLatestListingOnly();

private:
    QList<AccountRequest> requests(const QString &path) const;
    void startProxyDirectly(const QString &ip, int localPort);
    // Ends the one held request that way and closes the box it brings.
    void failHeld(AccountService::Release how, const QString &box);

    std::unique_ptr<ClientSession> m_client;
    PageDriver *page = nullptr;
};

namespace {

// The proxy list's rows as the table holds them (the table only renders the visible ones).
const char listedRows[] = "$('#example').DataTable().rows().count()";
const char listedCountries[] = "$('#example').DataTable().column(2).data().toArray().join(',')";
const char toBottom[] =
    "var b = $('.dataTables_scrollBody'); b.scrollTop(b[0].scrollHeight).trigger('scroll');";
const char bothLists[] = "$('#proxyList option').length == 21 && "
                         "$('#counrtyList option').length == 113";

// Requests for that path, and for that country and page when given.
std::function<bool(const AccountRequest &)> asking(const QString &path, const QString &country = {},
                                                   const QString &pageNo = {})
{
    return [=](const AccountRequest &request) {
        return request.path == path &&
               (country.isNull() || request.formItem("countryCode") == country) &&
               (pageNo.isNull() || request.formItem("pageNo") == pageNo);
    };
}

} // namespace

void TestContentPages::init()
{
    m_client.reset(new ClientSession("_en", false));
    QVERIFY2(m_client->error.isEmpty(), qPrintable(m_client->error));
    page = m_client->page.get();
    QVERIFY(page->signIn("demo@vexalo.test", "demo1234", "_en"));
}

QList<AccountRequest> TestContentPages::requests(const QString &path) const
{
    QList<AccountRequest> found;
    for (const AccountRequest &request : m_client->service->requests())
        if (request.path == path && request.method != "OPTIONS")
            found << request;
    return found;
}

// A proxy started through the bridge as the residential-proxy page would start it, once the
// program has answered that it runs.
void TestContentPages::startProxyDirectly(const QString &ip, int localPort)
{
    const QJsonObject proxy{
        {"ip", ip},        {"port", 8080},   {"proxyType", "HTTP"}, {"local_port", localPort},
        {"username", "u"}, {"password", "p"}};
    page->eval("window.started = false; sigSendMessageToJS = function () { started = true; }");
    m_client->window->findChild<MainChannel *>()->sendMsg(
        QJsonDocument(QJsonObject{{"code", 6}, {"data", proxy}}).toJson());
    QVERIFY(page->waitFor("started", 30000));
}

void TestContentPages::failHeld(AccountService::Release how, const QString &box)
{
    AccountService &service = *m_client->service;
    QTRY_COMPARE(service.heldCount(), 1);
    service.holdAnswers({});
    QCOMPARE(service.releaseHeld(how), 1);
    m_client->dismissBox(box);
}

void TestContentPages::proxyListPagesByCountry()
{
    QVERIFY(page->openMenu("proxyIndex",
                           "$('#example').length == 1 && $('#counrtyList option').length == 113"));
    QVERIFY(page->waitFor("$('.localIp').text() == '203.0.113.7'"));
    QCOMPARE(page->eval("$('#counrtyList option[value=JP]').text()").toString(),
             QString("JAPAN(JP)"));
    QCOMPARE(requests("/v1/iplist").size(), 0); // nothing until a country is chosen

    page->eval("$('#counrtyList').val('JP').trigger('change')");
    QVERIFY(page->waitFor(QString("%1 >= 10").arg(listedRows)));
    const AccountRequest first = requests("/v1/iplist").first();
    QCOMPARE((QStringList{first.formItem("pageNo"), first.formItem("pageSize"),
                          first.formItem("countryCode")}),
             (QStringList{"1", "10", "JP"}));

    // Scrolling to the bottom fetches the next pages until the service reports the end.
    QVERIFY(page->waitFor(QString("(function () { %1 return pageStatus; })() && %2 == 25")
                              .arg(toBottom, listedRows)));
    const int atEnd = requests("/v1/iplist").size();
    QCOMPARE(requests("/v1/iplist").last().formItem("pageNo"), QString::number(atEnd));
    // The scroll handler sends synchronously, so counting the requests it opens is exact.
    QCOMPARE(page->eval(QString("(function () { var n = 0, open = XMLHttpRequest.prototype.open;"
                                " XMLHttpRequest.prototype.open = function () { n++; return "
                                "open.apply(this, arguments); }; %1"
                                " XMLHttpRequest.prototype.open = open; return n; })()")
                            .arg(toBottom))
                 .toString(),
             QString("0"));
    const QStringList isps = page->eval("$('#example .truncate-text').map(function () { return "
                                        "$(this).text(); }).get().join('|')")
                                 .toString()
                                 .split('|');
    QVERIFY2(isps.contains("Sakura Fiber Network") && isps.contains("Sakura Fiber Network..."),
             qPrintable(isps.join('|')));
}

void TestContentPages::proxyListDropsAnswersOfAnEarlierChoice()
{
    QVERIFY(page->openMenu("proxyIndex", "$('#counrtyList option').length == 113"));
    m_client->service->holdAnswers(asking("/v1/iplist", "JP"));
    page->eval("$('#counrtyList').val('JP').trigger('change')");
    QTRY_COMPARE(m_client->service->heldCount(), 1);
    page->eval("$('#counrtyList').val('DE').trigger('change')");
    QVERIFY(page->waitFor(QString("pageStatus && %1 == 5").arg(listedRows)));

    page->eval("window.iplistDone = 0; $(document).on('ajaxComplete', function (e, x, s) {"
               " if (s.url.indexOf('/v1/iplist') >= 0) window.iplistDone++; })");
    QCOMPARE(m_client->service->releaseHeld(), 1);
    QVERIFY(page->waitFor("window.iplistDone == 1"));
    QCOMPARE(page->eval(listedCountries).toString(), QString("DE,DE,DE,DE,DE"));
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
    QVERIFY(page->openMenu("proxyIndex", "$('#counrtyList option').length == 113"));
    m_client->service->holdAnswers(asking("/v1/iplist", "JP", "2"));
    page->eval("$('#counrtyList').val('JP').trigger('change')");
    QVERIFY(page->waitFor(QString("%1 >= 10").arg(listedRows)));
    page->eval(toBottom);
    failHeld(failure, box);
    // The next scroll asks for page 2 again, whatever pages went on meanwhile: scrolling on
    // reaches the end with every row once.
    QVERIFY(page->waitFor(QString("(function () { %1 return pageStatus; })() && %2 == 25")
                              .arg(toBottom, listedRows)));
    QCOMPARE(
        page->eval("new Set($('#example').DataTable().column(0).data().toArray()).size").toInt(),
        25);

    // A first page that fails leaves nothing to scroll: confirming its box asks once more,
    // and once that has failed too, choosing the same country again in the drop-down, which
    // then sends no change event, asks again.
    AccountService &service = *m_client->service;
    service.holdAnswers(asking("/v1/iplist", "DE"));
    page->eval("$('#counrtyList').val('DE').trigger('change')");
    QTRY_COMPARE(service.heldCount(), 1);
    QCOMPARE(service.releaseHeld(failure), 1);
    m_client->dismissBox(box);
    failHeld(failure, box);
    QCOMPARE(page->eval("$.active").toInt(), 0); // the second box asked nothing
    page->eval("$('button[data-id=counrtyList]').click();"
               " $('.bootstrap-select .inner li a:contains(\"(DE)\")').click()");
    QVERIFY(page->waitFor(QString("pageStatus && %1 == 5").arg(listedRows)));
    QCOMPARE(page->eval(listedCountries).toString(), QString("DE,DE,DE,DE,DE"));
    int firstPagesOfDe = 0;
    for (const AccountRequest &request : requests("/v1/iplist"))
        firstPagesOfDe += asking("/v1/iplist", "DE", "1")(request) ? 1 : 0;
    QCOMPARE(firstPagesOfDe, 3);
}

// Each kind of request: its own error path, without overlay, once the page's time limit
// (lowered here) has passed.
void TestContentPages::unansweredRequestsEndAtTheTimeLimit()
{
    startProxyDirectly("127.0.0.1", 60008);
    const struct
    {
        const char *path, *menu, *ready, *action;
    } cases[] = {
        {"/v1/iplist", "proxyIndex", "$('#counrtyList option').length == 113",
         "$('#counrtyList').val('JP').trigger('change')"},
        {"/v1/queryViewTxsIP", "rotatingagent", bothLists, "$('.refreshRemainingTraffic').click()"},
        {"/v1/getip", "runlist", "$('.iptbody tr').length == 1",
         "$('.page-sidebar-menu a[ahref*=runlist]').click()"},
        {"/v1/get_data", "runlist", "true", "sigIshttpProxy(Base64.encode('{}'))"},
    };
    AccountService &service = *m_client->service;
    for (const auto &c : cases) {
        QVERIFY2(page->openMenu(c.menu, c.ready), c.path);
        service.holdAnswers(asking(c.path));
        page->eval(QString("serviceTimeoutMs = 1000; %1").arg(c.action));
        QTRY_COMPARE(service.heldCount(), 1);
        m_client->dismissBox("Please contact the administrator!");
        if (QTest::currentTestFailed())
            QFAIL(c.path);
        service.holdAnswers({});
        service.releaseHeld();
        page->eval("serviceTimeoutMs = 20000");
    }
}

void TestContentPages::overlaysTakeOnlyTheirOwnResizeHandlers()
{
    const char handlers[] = "$._data(window, 'events').resize.length";
    QVERIFY(page->waitFor("$('#counrtyList option').length == 113"));
    page->eval("$(window).on('resize.probe', function () { window.resized = true; })");
    const int before = page->eval(handlers).toInt();
    page->eval("for (var i = 0; i < 20; i++) lowerOverlay(raiseOverlay());"
               " raiseOverlay(); window.overlay = raiseOverlay()");
    QCOMPARE(page->eval(handlers).toInt(), before + 1);
    page->eval("lowerOverlay(overlay); $(window).trigger('resize')");
    QCOMPARE(page->eval(handlers).toInt(), before);
    QCOMPARE(page->eval("window.resized").toBool(), true);
}

// One page shows each account of the fixture's edge cases in turn, by asking with its
// credentials.
void TestContentPages::residentialFigures()
{
    QVERIFY(page->openMenu("rotatingagent", bothLists));
    QVERIFY(page->waitFor("$('.residual').text() == '2.500 GB'"));
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
        page->eval(QString("baseuser = Base64.encode('%1:test1234'); $('.refreshTraffic').click()")
                       .arg(account.email));
        if (account.warning) {
            m_client->dismissBox(account.warning);
            QCOMPARE(page->eval("$('.residual').text()").toString(), QString("2.500 GB"));
        } else {
            QVERIFY2(page->waitFor(QString("$('.residual').text() == '%1'").arg(account.residual)),
                     account.email);
        }
    }
}

void TestContentPages::startsListAndRemovals()
{
    QStringList &codes = m_client->codes;
    QVERIFY(page->openMenu("rotatingagent", bothLists));
    m_client->service->holdAnswers(asking("/v1/rotatingIP"));
    page->eval("$('#fromsubmit').submit()");
    failHeld(AccountService::Release::Cut, "Please contact the administrator!");
    QVERIFY(!codes.contains("6"));

    // Nothing chosen: the program picks the port.
    page->eval("$('#fromsubmit').submit()");
    QVERIFY(page->waitFor("$('.nz-msgbox:visible').text().indexOf('prot :') >= 0", 30000));
    const QJsonObject random = m_client->data.last();
    QCOMPARE(codes.last(), QString("6"));
    QVERIFY(random.value("local_port").isNull());
    QCOMPARE(random.value("counrtyList").toString(), QString(""));
    QCOMPARE(random.value("gender").toBool(true), false);
    ConfigStore store("run/config.json");
    const QJsonObject stored = QJsonDocument::fromJson(store.readPlain()).object();
    const int chosen = stored.value("inbounds").toArray().first().toObject().value("port").toInt();
    m_client->dismissBox(QString("prot :%1").arg(chosen));

    page->eval("$('#counrtyList').val('US').trigger('change'); "
               "$('#proxyList').val('60003').trigger('change');"
               " $('#gender').prop('checked', true); $('#fromsubmit').submit()");
    m_client->dismissBox("prot :60003");
    const QJsonObject sticky = m_client->data.last();
    QCOMPARE(sticky.value("local_port").toInt(), 60003);
    QCOMPARE(sticky.value("counrtyList").toString(), QString("US"));
    QCOMPARE(sticky.value("gender").toBool(), true);
    QCOMPARE(
        (QStringList{sticky.value("username").toString(), sticky.value("password").toString()}),
        (QStringList{"vx_demo", "k3yS3cret"}));

    // A damaged stored configuration: the program refuses the start, and later the removal.
    const QByteArray good = store.readPlain();
    QVERIFY(store.storePlain("damaged"));
    page->eval("$('#fromsubmit').submit()");
    m_client->dismissBox("开启错误");
    QCOMPARE(codes.count("6"), 3);
    QVERIFY(store.storePlain(good));

    // Opened several times, the run list still sends one removal per click.
    for (int i = 0; i < 3; ++i)
        QVERIFY(page->openMenu("runlist", "$('.iptbody tr[t_data=60003]').length == 1"));
    QCOMPARE(page->eval("$('.iptbody tr[t_data=60003] td').slice(0, 2).text()").toString(),
             QString("Residential Proxy60003"));
    QVERIFY(store.storePlain("damaged"));
    page->eval("$('.iptbody .delRow[t_data=60003]').click()");
    m_client->dismissBox("删除失败");
    QCOMPARE(page->eval("$('.iptbody tr[t_data=60003]').length").toInt(), 1);
    QCOMPARE(codes.count("5"), 1);

    QVERIFY(store.storePlain(good));
    page->eval("$('.iptbody .delRow[t_data=60003]').click()");
    QVERIFY(page->waitFor("$('.iptbody tr[t_data=60003]').length == 0", 30000));
    QCOMPARE(page->eval("$('.loading-overlay').length").toInt(), 0);
    QCOMPARE(codes.count("5"), 2);
}

// A late failure of another request (here a local-API fetch) leaves a removal's overlay up.
void TestContentPages::removalOverlaySurvivesALateFailure()
{
    AccountService &service = *m_client->service;
    startProxyDirectly("127.0.0.1", 60008);
    service.holdAnswers(asking("/v1/get_data"));
    QVERIFY(page->openMenu("runlist", "$('.iptbody tr[t_data=60008]').length == 1"));
    page->eval("sigIshttpProxy(Base64.encode(JSON.stringify({proxyType: '2', country: '',"
               " local_port: 60009, counrtyList: '', gender: true, API: 'true'})))");
    QTRY_COMPARE(service.heldCount(), 1);

    // The removal waits under its overlay; its message is kept back until the failure is in.
    page->eval("window.keptBack = []; window.sendKeptBack = myObject.sendMsg;"
               " myObject.sendMsg = function (m) { keptBack.push(m); }");
    page->eval("$('.iptbody .delRow[t_data=60008]').click()");
    QVERIFY(page->waitFor("keptBack.length == 1 && $('.loading-overlay').length == 1"));
    QCOMPARE(service.releaseHeld(AccountService::Release::Cut), 1);
    QVERIFY(
        page->waitFor("$('.nz-msgbox:visible').text().indexOf('contact the administrator') >= 0"));
    QCOMPARE(page->eval("$('.loading-overlay').length").toInt(), 1);

    page->eval("$('.nz-msgbox .nz-msgbox-ok').click(); myObject.sendMsg = sendKeptBack;"
               " sendKeptBack(keptBack[0])");
    QVERIFY(page->waitFor("$('.iptbody tr[t_data=60008]').length == 0", 30000));
    QCOMPARE(page->eval("$('.loading-overlay').length").toInt(), 0);
}

void TestContentPages::runListShowsWhatItCan()
{
    // A proxy at an address the service cannot locate, started as the pages would.
    startProxyDirectly("192.0.2.250", 60007);
    const QString row = "$('.iptbody tr[t_data=60007] td').map(function () { return "
                        "$(this).text(); }).get().join('|')";
    // A refusal is an answer: the row goes without location, and nothing is worth telling.
    QVERIFY(page->openMenu("runlist", "$('.iptbody tr[t_data=60007]').length == 1"));
    QVERIFY2(page->eval(row).toString().startsWith("192.0.2.250|60007||||||"),
             qPrintable(page->eval(row).toString()));
    QCOMPARE(page->eval("$('.nz-msgbox:visible').length").toInt(), 0);

    // A lookup that got no answer lists the row just the same, and tells.
    m_client->service->holdAnswers(asking("/v1/getip"));
    QVERIFY(page->openMenu("runlist", "$('.iptbody').length == 1"));
    failHeld(AccountService::Release::Cut, "Please contact the administrator!");
    QVERIFY2(page->eval(row).toString().startsWith("192.0.2.250|60007||||||"),
             qPrintable(page->eval(row).toString()));

    // A list the page cannot read, whatever way it is broken, given for the page's request.
    page->eval("myObject.sendMsg = function () {}");
    for (const char *argument :
         {"Base64.encode('{\"outbounds\": [')", "Base64.encode('[]')", "'not base64!'"}) {
        QVERIFY(page->openMenu("runlist", "$('.iptbody').length == 1"));
        page->eval(QString("sigSendRunProxyList(%1)").arg(argument));
        m_client->dismissBox("Please contact the administrator!");
    }
}

// Two openings whose requests the program answers only after both: what the first listing
// shows would list the proxies twice, and bring back one removed since.
void TestContentPages::runListShowsTheLatestListingOnly()
{
    startProxyDirectly("127.0.0.1", 60008);
    startProxyDirectly("192.0.2.250", 60007);
    page->eval("window.kept = []; window.send = myObject.sendMsg;"
               " myObject.sendMsg = function (m) { kept.push(m); }");
    QVERIFY(page->openMenu("runlist", "kept.length == 1"));
    QVERIFY(page->openMenu("runlist", "kept.length == 2"));
    m_client->service->holdAnswers([](const AccountRequest &r) {
        return r.path == "/v1/getip" && r.formItem("ip") == "192.0.2.250";
    });
    page->eval("window.removed = false; var remove = sigSendDelRow;"
               " sigSendDelRow = function (port) { removed = true; remove(port); };"
               " send(kept[0]); send('{\"code\": 5, \"data\": 60007}')");
    QVERIFY(page->waitFor("removed"));
    page->eval("send(kept[1])");
    QVERIFY(page->waitFor("$('.iptbody tr[t_data=60008]').length == 1"));
    m_client->service->holdAnswers({});
    QCOMPARE(m_client->service->releaseHeld(), 0);
    QVERIFY(page->waitFor("$.active == 0"));
    QCOMPARE(page->eval("$('.iptbody tr').map(function () { return $(this).attr('t_data'); })"
                        ".get().join()")
                 .toString(),
             QString("60008"));
}

VEXALO_TEST_MAIN(TestContentPages)
#include "tst_contentpages.moc"
