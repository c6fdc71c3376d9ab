// Hosts the proxy runtime as the client does (HTTP service on 9584, core started after an
// add) so that a test can kill this process with SIGKILL and look for an orphaned core.
// Usage: corehost RUNTIME_DIR LOCAL_PORT UPSTREAM_PORT
#include "core/configurl.h"
#include "core/v2raymanager.h"
#include "http/httpservice.h"
#include "util/constants.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonObject>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4 || !QDir::setCurrent(args.at(1)))
        return 2;

    V2RayManager manager;
    HttpService service(manager.configStore());
    if (!service.listen(QHostAddress::LocalHost, HTTP_SERVICE_PORT))
        return 3;
    const QJsonObject request{{"ip", "127.0.0.1"},     {"port", args.at(3).toInt()},
                              {"username", "vx_demo"}, {"password", "k3yS3cret"},
                              {"proxyType", "HTTP"},   {"local_port", args.at(2).toInt()},
                              {"counrtyList", "US"},   {"gender", false}};
    if (manager.addProxyEntry(request) == 0)
        return 4;
    manager.startV2Ray();
    QTextStream(stdout) << "core " << manager.coreProcessId() << Qt::endl;
    return app.exec();
}
