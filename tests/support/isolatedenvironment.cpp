#include "isolatedenvironment.h"

#include <QDir>
#include <QFile>

IsolatedEnvironment::IsolatedEnvironment()
{
    const QString root = m_dir.path();
    const struct
    {
        const char *variable;
        const char *folder;
    } folders[] = {
        {"HOME", "home"},
        {"XDG_CONFIG_HOME", "home/.config"},
        {"XDG_DATA_HOME", "home/.local/share"},
        {"XDG_CACHE_HOME", "home/.cache"},
        {"XDG_RUNTIME_DIR", "runtime"},
        {"TMPDIR", "tmp"},
    };
    for (const auto &folder : folders) {
        const QString path = root + QLatin1Char('/') + QLatin1String(folder.folder);
        QDir().mkpath(path);
        qputenv(folder.variable, QFile::encodeName(path));
    }
    QFile::setPermissions(root + QLatin1String("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}
