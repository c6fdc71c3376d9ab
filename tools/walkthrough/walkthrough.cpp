#include "walkthrough.h"

#include "accountservice.h"
#include "app/mainwindow.h"
#include "core/configstore.h"
#include "core/configurl.h"
#include "pagedriver.h"
#include "residentialgateway.h"
#include "util/commconutils.h"
#include "util/constants.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QWebEngineView>

#include <functional>
#include <iterator>

namespace {

const QString demoEmail = QStringLiteral("demo@vexalo.test");
const QString demoPassword = QStringLiteral("demo1234");

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs a program to its end without blocking the event loop: the client's local service,
// the stand-ins and the core's configuration all answer from this thread.
bool runProgram(const QString &program, const QStringList &arguments, QByteArray *output,
                QString *error, int timeoutMs = 15000)
{
    QProcess process;
    QEventLoop loop;
    QObject::connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    process.start(program, arguments);
    loop.exec();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(1000);
        *error = program + QStringLiteral(" did not finish in time");
        return false;
    }
    *output = process.readAllStandardOutput().trimmed();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = QString::fromLocal8Bit(process.readAllStandardError().trimmed());
        if (error->isEmpty())
            *error = process.errorString();
        return false;
    }
    return true;
}

bool portRefuses(quint16 port)
{
    QTcpSocket socket;
    QEventLoop loop;
    QObject::connect(&socket, &QTcpSocket::connected, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QAbstractSocket::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(2000, &loop, &QEventLoop::quit);
    socket.connectToHost(QHostAddress::LocalHost, port);
    loop.exec();
    return socket.error() == QAbstractSocket::ConnectionRefusedError;
}

QString shortened(QString text, int length = 110)
{
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.size() > length ? text.left(length - 3) + QStringLiteral("...") : text;
}

// The core processes this process started that are still alive.
QStringList runningCores()
{
    QStringList found;
#ifdef Q_OS_LINUX
    const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : entries) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...: the name may hold spaces, so read from its last ')'.
        const QByteArray line = stat.readAll();
        const int nameEnd = line.lastIndexOf(')');
        const QList<QByteArray> rest = line.mid(nameEnd + 2).split(' ');
        if (rest.size() > 1 && rest.at(1) == self && line.contains("(corvane"))
            found << pid;
    }
#endif
    return found;
}

} // namespace

Walkthrough::Walkthrough(const QString &folder, const QString &core, QObject *parent)
    : QObject(parent)
    , m_folder(QDir(folder).absolutePath())
    , m_core(core)
    , m_out(stdout)
{}

Walkthrough::~Walkthrough()
{
    shutDown();
}

int Walkthrough::run()
{
    static const Step steps[] = {
        {"start", "start the stand-ins and the client", &Walkthrough::startUp},
        {"sign-in", "sign in as demo@vexalo.test", &Walkthrough::signIn},
        {"residential-page", "open the Residential Proxy page", &Walkthrough::openResidentialPage},
        {"start-proxy", "start a sticky US proxy on port 60003", &Walkthrough::startStickyProxy},
        {"request", "send a request through 127.0.0.1:60003", &Walkthrough::requestThroughProxy},
        {"run-list", "open the run list", &Walkthrough::openRunList},
        {"remove", "remove the proxy", &Walkthrough::removeProxy},
        {"api-link", "build the API link", &Walkthrough::buildApiLink},
        {"api-call", "call the API link with wait=1", &Walkthrough::callApi},
        {"api-request", "send a request through 127.0.0.1:60005",
         &Walkthrough::requestThroughApiPort},
        {"english", "switch to English", &Walkthrough::switchToEnglish},
        {"log-out", "log out", &Walkthrough::logOut},
        {"quit", "quit the client", &Walkthrough::quitClient},
    };
    const int count = int(std::size(steps));
    m_out << "walkthrough: the client runs in " << m_folder << "/client, screenshots go to "
          << m_folder << "/shots" << Qt::endl;
    for (int i = 0; i < count; ++i) {
        m_outcome.clear();
        // Through std::invoke: GCC's bounds sanitizer misreads a ->* call on this table.
        const bool ok = std::invoke(steps[i].run, this);
        m_out << QStringLiteral("%1/%2 %3 %4 %5")
                     .arg(i + 1, 2)
                     .arg(count)
                     .arg(QString::fromLatin1(steps[i].title), -40)
                     .arg(ok ? QStringLiteral("ok    ") : QStringLiteral("FAILED"), m_outcome)
              << Qt::endl;
        screenshot(i + 1, steps[i].name);
        if (!ok) {
            shutDown();
            m_out << "walkthrough: stopped at step " << i + 1 << "; the client's log is in "
                  << m_folder << "/client.log" << Qt::endl;
            return 1;
        }
    }
    m_out << "walkthrough: every step passed; the client's log is in " << m_folder << "/client.log"
          << Qt::endl;
    return 0;
}

void Walkthrough::abandon()
{
    shutDown();
    m_out << "walkthrough: interrupted; the core is stopped, the configuration reset and the "
             "stand-ins closed"
          << Qt::endl;
}

bool Walkthrough::fail(const QString &reason)
{
    m_outcome = reason;
    return false;
}

bool Walkthrough::startUp()
{
    // The client's own port is checked first: with it taken, the local API would answer
    // from whoever holds it.
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::Any, HTTP_SERVICE_PORT))
            return fail(QStringLiteral("port %1 is taken (is the client already running?)")
                            .arg(HTTP_SERVICE_PORT));
    }
    const QString client = m_folder + QStringLiteral("/client");
    if (!QDir().mkpath(client + QStringLiteral("/run")))
        return fail(QStringLiteral("cannot create %1/run").arg(client));
    if (!QFile::link(m_core, client + QStringLiteral("/run/corvane")))
        return fail(QStringLiteral("cannot link %1/run/corvane to %2").arg(client, m_core));
    if (!QDir::setCurrent(client))
        return fail(QStringLiteral("cannot enter %1").arg(client));

    QString error;
    const std::optional<AccountFixture> fixture =
        AccountFixture::load(AccountFixture::defaultPath(), &error);
    if (!fixture)
        return fail(error);
    m_gateway = new ResidentialGateway(this);
    for (const AccountFixture::Account &account : fixture->accounts) {
        if (!account.proxyUser.isEmpty())
            m_gateway->addAccount(account.proxyUser, account.proxyAuthKey);
    }
    if (!m_gateway->listenHttp(QHostAddress::LocalHost))
        return fail(QStringLiteral("gateway: ") + m_gateway->errorString());
    m_service = new AccountService(*fixture, this);
    m_service->setGateway(QStringLiteral("127.0.0.1"), m_gateway->httpPort());
    const QUrl website(WEBSITE_URL);
    if (!m_service->listen(QHostAddress(website.host()), quint16(website.port())))
        return fail(QStringLiteral("account service on %1: %2 (is scripts/run's stand-in running?)")
                        .arg(website.authority(), m_service->errorString()));

    m_window = new MainWindow;
    m_window->show();
    m_page = std::make_unique<PageDriver>(m_window->findChild<QWebEngineView *>()->page());
    if (!m_page->waitFor(QStringLiteral("location.href == 'qrc:/html/login_cn.html' && pararms && "
                                        "pararms.i18nLang")))
        return fail(QStringLiteral("the login page did not load; shown: ") + m_page->url());
    m_outcome = QStringLiteral("account service %1, gateway 127.0.0.1:%2, core %3; login page %4")
                    .arg(m_service->url())
                    .arg(m_gateway->httpPort())
                    .arg(m_core, m_page->url());
    return true;
}

bool Walkthrough::signIn()
{
    if (!m_page->signIn(demoEmail, demoPassword, QStringLiteral("_cn")))
        return fail(QStringLiteral("not signed in; shown: ") + m_page->url());
    m_outcome =
        QStringLiteral("%1, window title \"%2\"").arg(m_page->url(), m_window->windowTitle());
    return true;
}

bool Walkthrough::openResidentialPage()
{
    if (!m_page->openMenu(QStringLiteral("rotatingagent"),
                          QStringLiteral("$('#proxyList option').length == 21 && "
                                         "$('#counrtyList option').length == 113")))
        return fail(QStringLiteral("the page or its lists did not load"));
    if (!m_page->waitFor(QStringLiteral("/\\d/.test($('.residual').text())")))
        return fail(QStringLiteral("the traffic left was not shown"));
    m_outcome = QStringLiteral("%1 left; 112 countries and ports 60001-60020 to choose from")
                    .arg(m_page->eval(QStringLiteral("$('.residual').text()")).toString());
    return true;
}

bool Walkthrough::startStickyProxy()
{
    m_page->eval(QStringLiteral("$('#counrtyList').val('US').trigger('change');"
                                " $('#proxyList').val('%1').trigger('change');"
                                " $('#gender').prop('checked', true); $('#fromsubmit').submit()")
                     .arg(m_stickyPort));
    if (!m_page->waitFor(QStringLiteral("$('.nz-msgbox:visible').text().indexOf('prot :%1') >= 0")
                             .arg(m_stickyPort),
                         30000))
        return fail(QStringLiteral("no answer box; shown: ") +
                    m_page->eval(QStringLiteral("$('.nz-msgbox:visible').text()")).toString());
    m_outcome = QStringLiteral("the page says \"%1\"")
                    .arg(m_page
                             ->eval(QStringLiteral("$('.nz-msgbox:visible .nz-msgbox-title').text()"
                                                   " + ': ' + $('.nz-msgbox:visible "
                                                   ".nz-msgbox-content').text()"))
                             .toString()
                             .simplified());
    return true;
}

bool Walkthrough::relays(quint16 port)
{
    // The core restarts after every change, so the port may take a moment to open.
    const QString target = m_service->url() + QStringLiteral("/json");
    const QDeadlineTimer deadline(20000);
    QByteArray answer;
    QString error;
    while (!deadline.hasExpired()) {
        if (runProgram(QStringLiteral("curl"),
                       {QStringLiteral("-sS"), QStringLiteral("--max-time"), QStringLiteral("5"),
                        QStringLiteral("--socks5-hostname"),
                        QStringLiteral("127.0.0.1:%1").arg(port), target},
                       &answer, &error)) {
            m_outcome = QStringLiteral("curl --socks5-hostname 127.0.0.1:%1 %2 answered %3; %4")
                            .arg(port)
                            .arg(target, shortened(QString::fromUtf8(answer), 60), gatewaySaw());
            return true;
        }
        pause(200);
    }
    return fail(QStringLiteral("nothing came back through 127.0.0.1:%1: %2").arg(port).arg(error));
}

QString Walkthrough::gatewaySaw() const
{
    const QList<GatewayConnection> seen = m_gateway->connections();
    if (seen.isEmpty())
        return QStringLiteral("the gateway saw nothing");
    const GatewayConnection &last = seen.last();
    return QStringLiteral("the gateway saw user %1, country %2, session %3")
        .arg(last.user, last.country.isEmpty() ? QStringLiteral("any") : last.country,
             last.session.isEmpty() ? QStringLiteral("none") : last.session);
}

bool Walkthrough::requestThroughProxy()
{
    m_page->eval(QStringLiteral("$('.nz-msgbox .nz-msgbox-ok').click()"));
    return relays(m_stickyPort);
}

bool Walkthrough::openRunList()
{
    const QString row = QStringLiteral(".iptbody tr[t_data=%1]").arg(m_stickyPort);
    if (!m_page->openMenu(QStringLiteral("runlist"),
                          QStringLiteral("$('%1').length == 1").arg(row)))
        return fail(QStringLiteral("no row for port %1").arg(m_stickyPort));
    const QString cells =
        m_page
            ->eval(QStringLiteral("$('%1 td').map(function () { return $(this).text(); })"
                                  ".get().filter(function (t) { return t; }).join(' | ')")
                       .arg(row))
            .toString();
    m_outcome = QStringLiteral("row: ") + cells;
    return true;
}

bool Walkthrough::waitUntilClosed(quint16 port)
{
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (portRefuses(port))
            return true;
        pause(100);
    }
    return false;
}

bool Walkthrough::removeProxy()
{
    m_page->eval(QStringLiteral("$('.iptbody .delRow[t_data=%1]').click()").arg(m_stickyPort));
    if (!m_page->waitFor(
            QStringLiteral("$('.iptbody tr[t_data=%1]').length == 0").arg(m_stickyPort), 30000))
        return fail(QStringLiteral("the row stayed"));
    if (!waitUntilClosed(m_stickyPort))
        return fail(QStringLiteral("the row went, but 127.0.0.1:%1 still accepts connections")
                        .arg(m_stickyPort));
    m_outcome =
        QStringLiteral("the row is gone and 127.0.0.1:%1 refuses connections").arg(m_stickyPort);
    return true;
}

bool Walkthrough::buildApiLink()
{
    if (!m_page->openMenu(QStringLiteral("api"),
                          QStringLiteral("$('.api_url').length == 1 && "
                                         "$('#counrtyList option').length == 113")))
        return fail(QStringLiteral("the API page did not load"));
    m_page->eval(QStringLiteral("$('#counrtyList').val('US').trigger('change');"
                                " $('#proxyList').val('%1').trigger('change');"
                                " $('.gender').val('1').trigger('change')")
                     .arg(m_apiPort));
    if (!m_page->waitFor(
            QStringLiteral("$('.api_url').val().indexOf('contry=US&proxy=%1&gender=1') "
                           ">= 0")
                .arg(m_apiPort)))
        return fail(QStringLiteral("the link did not follow the choices: ") +
                    m_page->eval(QStringLiteral("$('.api_url').val()")).toString());
    m_apiLink = m_page->eval(QStringLiteral("$('.api_url').val()")).toString();
    m_outcome = m_apiLink;
    return true;
}

bool Walkthrough::callApi()
{
    QByteArray answer;
    QString error;
    // Answered once the port accepts connections, which the next step then uses at once.
    const QString link = m_apiLink + QStringLiteral("&wait=1");
    if (!runProgram(QStringLiteral("curl"), {QStringLiteral("-sS"), link}, &answer, &error, 40000))
        return fail(QStringLiteral("curl failed: ") + error);
    const QByteArray expected = "127.0.0.1:" + QByteArray::number(m_apiPort);
    if (answer != expected)
        return fail(QStringLiteral("curl answered \"%1\", not %2")
                        .arg(QString::fromUtf8(answer), QString::fromLatin1(expected)));
    if (!CommconUtils::portAccepts(m_apiPort))
        return fail(QStringLiteral("curl was answered before port %1 accepted").arg(m_apiPort));
    m_outcome = QStringLiteral("curl '%1' answered %2").arg(link, QString::fromUtf8(answer));
    return true;
}

bool Walkthrough::requestThroughApiPort()
{
    return relays(m_apiPort);
}

bool Walkthrough::switchToEnglish()
{
    if (!m_page->openMenu(QStringLiteral("settings"),
                          QStringLiteral("$('select[name=Language]').val() == '_cn'")))
        return fail(QStringLiteral("the settings page did not load"));
    m_page->eval(QStringLiteral("$('select[name=Language]').val('_en').trigger('change')"));
    if (!m_page->waitFor(QStringLiteral("location.href == 'qrc:/html/index_en.html' && baseuser")))
        return fail(QStringLiteral("still shown: ") + m_page->url());
    const QString menu =
        m_page
            ->eval(QStringLiteral("$('.page-sidebar-menu .title').map(function () { return "
                                  "$(this).text(); }).get().join(', ')"))
            .toString();
    QSettings settings(QStringLiteral("config.ini"), QSettings::IniFormat);
    m_outcome = QStringLiteral("%1, menu: %2; stored language %3")
                    .arg(m_page->url(), menu,
                         settings.value(QStringLiteral("settings/language")).toString());
    return true;
}

bool Walkthrough::logOut()
{
    m_page->eval(QStringLiteral("$('#logout').click()"));
    if (!m_page->waitFor(QStringLiteral("location.href == 'qrc:/html/login_en.html'")))
        return fail(QStringLiteral("still shown: ") + m_page->url());
    QJsonObject stored;
    if (!ConfigStore(QStringLiteral("run/config.json")).load(&stored))
        return fail(QStringLiteral("run/config.json cannot be read"));
    const int entries = stored.value(QStringLiteral("inbounds")).toArray().size();
    if (entries != 0)
        return fail(QStringLiteral("run/config.json still holds %1 proxies").arg(entries));
    if (!waitUntilClosed(m_apiPort))
        return fail(QStringLiteral("127.0.0.1:%1 still accepts connections").arg(m_apiPort));
    m_outcome = QStringLiteral("%1; run/config.json holds no proxies, 127.0.0.1:%2 refuses "
                               "connections")
                    .arg(m_page->url())
                    .arg(m_apiPort);
    return true;
}

bool Walkthrough::quitClient()
{
    shutDown();
    const QStringList cores = runningCores();
    if (!cores.isEmpty())
        return fail(QStringLiteral("core processes left: ") + cores.join(QLatin1Char(' ')));
    QJsonObject stored;
    if (!ConfigStore(QStringLiteral("run/config.json")).load(&stored))
        return fail(QStringLiteral("run/config.json cannot be read"));
    const int entries = stored.value(QStringLiteral("inbounds")).toArray().size();
    if (entries != 0)
        return fail(QStringLiteral("run/config.json still holds %1 proxies").arg(entries));
    const QUrl website(WEBSITE_URL);
    if (!portRefuses(quint16(website.port())) || !portRefuses(HTTP_SERVICE_PORT))
        return fail(
            QStringLiteral("a port of the client or the stand-ins still accepts connections"));
    m_outcome = QStringLiteral("no core left running, run/config.json holds no proxies, ports %1 "
                               "and %2 closed")
                    .arg(HTTP_SERVICE_PORT)
                    .arg(website.port());
    return true;
}

void Walkthrough::screenshot(int number, const char *name)
{
    if (!m_window)
        return;
    QDir().mkpath(m_folder + QStringLiteral("/shots"));
    // The page paints its last change a frame or two later, and the screen shows it once
    // the compositor has passed it on.
    if (m_page) {
        m_page->eval(QStringLiteral("window.vxPainted = false; requestAnimationFrame(function () {"
                                    " requestAnimationFrame(function () { window.vxPainted = true; "
                                    "}); })"));
        m_page->waitFor(QStringLiteral("window.vxPainted"), 2000);
    }
    pause(150);
    // The X server's picture of the window: the web view draws through OpenGL, which a
    // widget grab does not always see.
    QScreen *screen = m_window->screen();
    const QPixmap shot = screen ? screen->grabWindow(m_window->winId()) : m_window->grab();
    shot.save(QStringLiteral("%1/shots/%2-%3.png")
                  .arg(m_folder)
                  .arg(number, 2, 10, QLatin1Char('0'))
                  .arg(QString::fromLatin1(name)));
}

void Walkthrough::shutDown()
{
    m_page.reset();
    if (m_window) {
        m_window->cleanup();
        delete m_window;
        m_window = nullptr;
    }
    delete m_service;
    m_service = nullptr;
    delete m_gateway;
    m_gateway = nullptr;
}
