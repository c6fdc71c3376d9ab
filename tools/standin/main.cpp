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
    const QCommandLineOption user(QStringLiteral("user"), QStringLiteral("Account user name."),
                                  QStringLiteral("NAME"), QStringLiteral("vx_demo"));
    const QCommandLineOption password(QStringLiteral("password"),
                                      QStringLiteral("Account base password."),
                                      QStringLiteral("BASE"), QStringLiteral("k3yS3cret"));
    parser.addOptions({listen, httpPort, socksPort, user, password});
    parser.process(app);

    QHostAddress address;
    if (!address.setAddress(parser.value(listen)))
        return fail(QStringLiteral("--listen %1 is not an IP address").arg(parser.value(listen)));
    quint16 ports[2] = {};
    const QCommandLineOption *portOptions[2] = {&httpPort, &socksPort};
    for (int i = 0; i < 2; ++i) {
        bool ok = false;
        ports[i] = parser.value(*portOptions[i]).toUShort(&ok);
        if (!ok)
            return fail(
                QStringLiteral("--%1 %2 is not a port number")
                    .arg(portOptions[i]->names().constFirst(), parser.value(*portOptions[i])));
    }

    ResidentialGateway gateway;
    gateway.addAccount(parser.value(user), parser.value(password));
    QTextStream out(stdout);
    if (!gateway.listenHttp(address, ports[0]))
        return fail(gateway.errorString());
    out << "gateway http listening on " << endpoint(address, gateway.httpPort()) << Qt::endl;
    if (!gateway.listenSocks(address, ports[1]))
        return fail(gateway.errorString());
    out << "gateway socks5 listening on " << endpoint(address, gateway.socksPort()) << Qt::endl;

    // The base password is left out: these lines end up in test and demo logs.
    QObject::connect(&gateway, &ResidentialGateway::connectionAccepted,
                     [&out](const GatewayConnection &c) {
                         out << "gateway accepted " << c.protocol << " user=" << c.user
                             << " country=" << c.country << " session=" << c.session
                             << " target=" << c.targetHost << ':' << c.targetPort << Qt::endl;
                     });
    return app.exec();
}
