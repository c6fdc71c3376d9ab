// Cost of one proxy change (add, then remove) on the enciphered configuration, against the
// same read-modify-write of plain JSON without the cipher. Run by hand:
//   build/bench/bench_edit [repetitions]
#include "core/proxyentries.h"
#include "core/v2raymanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <vector>

namespace {

QJsonObject request(int localPort)
{
    return QJsonObject{{"ip", "gw.example.net"},  {"port", 7777},        {"username", "vx_demo"},
                       {"password", "k3yS3cret"}, {"proxyType", "HTTP"}, {"sid", 1},
                       {"local_port", localPort}, {"counrtyList", "US"}, {"gender", true}};
}

QJsonObject documentWith(int entries)
{
    QJsonObject root = QJsonDocument::fromJson(ProxyEntries::templateText()).object();
    for (int i = 0; i < entries; ++i) {
        const QJsonObject req = request(20000 + i);
        ProxyEntries::appendEntry(
            root, 20000 + i, ProxyEntries::server(req, [] { return QString("abcdefgh"); }).object,
            req);
    }
    return root;
}

// The baseline: the same edit of plain JSON, written the same safe way.
void plainEdit(const QString &path, int port, bool add)
{
    QFile in(path);
    in.open(QIODevice::ReadOnly);
    QJsonObject root = QJsonDocument::fromJson(in.readAll()).object();
    in.close();
    if (add) {
        const QJsonObject req = request(port);
        ProxyEntries::appendEntry(
            root, port,
            ProxyEntries::server(req, [] { return ProxyEntries::randomString(8); }).object, req);
    } else {
        ProxyEntries::removeEntry(root, port);
    }
    QSaveFile out(path);
    out.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    out.write(QJsonDocument(root).toJson());
    out.commit();
}

double medianMs(std::vector<qint64> nanos)
{
    std::sort(nanos.begin(), nanos.end());
    return nanos[nanos.size() / 2] / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(3, atoi(argv[1])) : 15;
    // The cipher's own debug lines would dominate the measurement.
    qSetMessagePattern("%{if-debug}%{endif}");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type != QtDebugMsg)
            fprintf(stderr, "%s\n", qPrintable(msg));
    });

    QTextStream out(stdout);
    out << "entries  enciphered(ms)  plain(ms)  ratio   (median of " << repetitions
        << " add+remove pairs)\n";
    for (int entries : {20, 200, 2000}) {
        QTemporaryDir dir;
        QDir(dir.path()).mkdir("run");
        QDir::setCurrent(dir.path());
        const QJsonObject root = documentWith(entries);
        const QString plainPath = dir.filePath("plain.json");
        {
            QFile plain(plainPath);
            plain.open(QIODevice::WriteOnly);
            plain.write(QJsonDocument(root).toJson());
        }

        V2RayManager manager;
        ConfigStore(dir.filePath("run/config.json")).store(root);

        std::vector<qint64> enciphered, plain;
        QElapsedTimer timer;
        for (int i = 0; i < repetitions; ++i) {
            // Alternate the two so that both see the same machine state.
            timer.start();
            manager.addProxyEntry(request(60001));
            manager.removeProxyEntry(60001);
            enciphered.push_back(timer.nsecsElapsed());

            timer.start();
            plainEdit(plainPath, 60001, true);
            plainEdit(plainPath, 60001, false);
            plain.push_back(timer.nsecsElapsed());
        }
        const double e = medianMs(enciphered);
        const double p = medianMs(plain);
        out << QString("%1  %2  %3  %4\n")
                   .arg(entries, 7)
                   .arg(e, 14, 'f', 2)
                   .arg(p, 9, 'f', 2)
                   .arg(e / p, 5, 'f', 2);
        out.flush();
    }
    return 0;
}
