#include "freshfolder.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace {

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

} // namespace

FreshFolder::FreshFolder(const QString &core)
{
    for (const auto &folder : folders)
        QDir().mkpath(m_root.filePath(QLatin1String(folder.folder)));
    QFile::setPermissions(m_root.filePath("runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QDir().mkpath(m_root.filePath("work/run"));
    QFile::link(core, m_root.filePath("work/run/corvane"));
}

void FreshFolder::prepare(QProcess &process) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const auto &folder : folders)
        environment.insert(QLatin1String(folder.variable),
                           m_root.filePath(QLatin1String(folder.folder)));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(m_root.filePath("work"));
}
