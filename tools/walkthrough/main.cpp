#include "app/quitsignals.h"
#include "util/commconutils.h"
#include "util/renderer.h"
#include "walkthrough.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

const char marker[] = ".vexalo-walkthrough";

QFile *logFile = nullptr;

// The client's log goes to a file, so that the printed lines are the journey's alone.
void writeLog(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (logFile) {
        logFile->write(message.toUtf8() + '\n');
        logFile->flush();
    }
}

int fail(const QString &message)
{
    QTextStream(stderr) << "walkthrough: " << message << '\n';
    return 2;
}

// A folder of an earlier walkthrough is emptied; any other folder with something in it is
// left alone.
bool prepareFolder(const QString &path, QString *error)
{
    QDir folder(path);
    if (folder.exists() && !folder.isEmpty()) {
        if (!folder.exists(QLatin1String(marker))) {
            *error = path + QStringLiteral(" is not empty and not an earlier walkthrough's folder");
            return false;
        }
        if (!folder.removeRecursively()) {
            *error = QStringLiteral("cannot empty ") + path;
            return false;
        }
    }
    QFile stamp(path + QLatin1Char('/') + QLatin1String(marker));
    if (!QDir().mkpath(path) || !stamp.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot create ") + path;
        return false;
    }
    return true;
}

// The web engine's cookies and caches, and QSettings defaults, stay in the folder: the
// journey neither sees nor changes the user's own client.
void isolate(const QString &path)
{
    const struct
    {
        const char *variable;
        const char *folder;
    } folders[] = {
        {"HOME", "home"},
        {"XDG_CONFIG_HOME", "home/.config"},
        {"XDG_DATA_HOME", "home/.local/share"},
        {"XDG_CACHE_HOME", "home/.cache"},
    };
    for (const auto &folder : folders) {
        const QString full = path + QLatin1Char('/') + QLatin1String(folder.folder);
        QDir().mkpath(full);
        qputenv(folder.variable, QFile::encodeName(full));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QString folder = QStringLiteral("walkthrough");
    QString core = QStringLiteral(VEXALO_CORE_EXECUTABLE);
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if ((argument == QLatin1String("--dir") || argument == QLatin1String("--core")) &&
            i + 1 < argc) {
            (argument == QLatin1String("--dir") ? folder : core) =
                QString::fromLocal8Bit(argv[++i]);
        } else {
            return fail(QStringLiteral("usage: vexalo-walkthrough [--dir FOLDER] [--core PATH]\n"
                                       "Walks the client's whole journey under an X display "
                                       "(xvfb-run -a) and saves a screenshot per step."));
        }
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return fail(QStringLiteral("needs an X display; run it under xvfb-run -a"));
    if (core.isEmpty() || !QFile::exists(core))
        core = QStandardPaths::findExecutable(QStringLiteral("v2ray"));
    if (core.isEmpty() || !QFile::exists(core))
        return fail(QStringLiteral("the proxy core (v2ray) is not installed; run scripts/setup"));
    folder = QDir(folder).absolutePath();
    QString error;
    if (!prepareFolder(folder, &error))
        return fail(error);
    isolate(folder);
    QFile log(folder + QStringLiteral("/client.log"));
    if (!log.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write ") + log.fileName());
    logFile = &log;
    qInstallMessageHandler(writeLog);

    // Chromium's own messages would mix with the printed steps.
    if (!qEnvironmentVariableIsSet("QTWEBENGINE_CHROMIUM_FLAGS"))
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--log-level=3");
    CommconUtils::initApplication(true);
    QApplication app(argc, argv);
    Renderer::chooseForWebView();
    QuitSignals quitSignals;
    Walkthrough walkthrough(folder, core);
    // Ctrl-C may come in the middle of a step, inside its waits: clean up there and end.
    QObject::connect(&quitSignals, &QuitSignals::received, &walkthrough, [&walkthrough] {
        walkthrough.abandon();
        std::fflush(stdout);
        std::_Exit(130);
    });
    int result = 1;
    QTimer::singleShot(0, &walkthrough, [&] {
        result = walkthrough.run();
        QCoreApplication::exit(result);
    });
    app.exec();
    qInstallMessageHandler(nullptr);
    logFile = nullptr;
    return result;
}
