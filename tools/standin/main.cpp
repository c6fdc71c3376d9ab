#include "accountservice.h"
#include "app/quitsignals.h"
#include "residentialgateway.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

namespace {

QString endpoint(const QHostAddress &address, quint16 port)
{
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    return (v6 ? "[" + address.toString() + "]" : address.toString()) + ':' + QString::number(port);
}

int fail(const QString &message)
{
    QTextStream(stderr) << "vexalo-standin: " << message << '\n';
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vexalo-standin"));
    QuitSignals quitSignals;

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays the outside systems of the Vexalo client on this machine."));
    parser.addHelpOption();
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Address to listen on."),
                                    QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption httpPort(QStringLiteral("gateway-http-port"),
                                      QStringLiteral("Port of the gateway's HTTP proxy."),
                                      QStringLiteral("N"), QStringLiteral("18081"));
    const QCommandLineOption socksPort(QStringLiteral("gateway-socks-port"),
                                       QStringLiteral("Port of the gateway's SOCKS5 proxy."),
                                       QStringLiteral("N"), QStringLiteral("18082"));
    const QCommandLineOption servicePort(QStringLiteral("service-port"),
                                         QStringLiteral("Port of the account service."),
                                         QStringLiteral("N"), QStringLiteral("18080"));
    const QCommandLineOption gatewayHost(
        QStringLiteral("gateway-host"),
        QStringLiteral("Host name of the gateway in the service's proxy descriptions."),
        QStringLiteral("HOST"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption fixturePath(QStringLiteral("fixture"),
                                         QStringLiteral("The account service's data, a JSON file."),
                                         QStringLiteral("FILE"), AccountFixture::defaultPath());
    parser.addOptions({listen, servicePort, httpPort, socksPort, gatewayHost, fixturePath});
    parser.process(app);

    QHostAddress address;
    if (!address.setAddress(parser.value(listen)))
        return fail(QStringLiteral("--listen %1 is not an IP address").arg(parser.value(listen)));
    quint16 ports[3] = {};
    const QCommandLineOption *portOptions[3] = {&servicePort, &httpPort, &socksPort};
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        ports[i] = parser.value(*portOptions[i]).toUShort(&ok);
        if (!ok)
            return fail(
                QStringLiteral("--%1 %2 is not a port number")
                    .arg(portOptions[i]->names().constFirst(), parser.value(*portOptions[i])));
    }
    QString error;
    std::optional<AccountFixture> fixture = AccountFixture::load(parser.value(fixturePath), &error);
    if (!fixture)
        return fail(error);

    ResidentialGateway gateway;
    for (const AccountFixture::Account &account : fixture->accounts) {
        if (!account.proxyUser.isEmpty())
            gateway.addAccount(account.proxyUser, account.proxyAuthKey);
    }
    AccountService service(std::move(*fixture));
    QTextStream out(stdout);
    if (!service.listen(address, ports[0]))
        return fail(service.errorString());
    out << "account service listening on http://" << endpoint(address, service.port()) << Qt::endl;
    if (!gateway.listenHttp(address, ports[1]))
        return fail(gateway.errorString());
    out << "gateway http listening on " << endpoint(address, gateway.httpPort()) << Qt::endl;
    if (!gateway.listenSocks(address, ports[2]))
        return fail(gateway.errorString());
    out << "gateway socks5 listening on " << endpoint(address, gateway.socksPort()) << Qt::endl;
    service.setGateway(parser.value(gatewayHost), gateway.httpPort());

    // Only the method and path: the login's form and the Authorization field hold passwords,
    // and these lines, like the gateway's below, end up in test and demo logs.
    QObject::connect(&service, &AccountService::requestReceived, [&out](const AccountRequest &r) {
        out << "account service " << r.method << ' ' << r.path << Qt::endl;
    });
    QObject::connect(&gateway, &ResidentialGateway::connectionAccepted,
                     [&out](const GatewayConnection &c) {
                         out << "gateway accepted " << c.protocol << " user=" << c.user
                             << " country=" << c.country << " session=" << c.session
                             << " target=" << c.targetHost << ':' << c.targetPort << Qt::endl;
                     });
    return app.exec();
}
