#include "runtimefolder.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

RuntimeFolder::RuntimeFolder(Core core)
    : m_previous(QDir::currentPath())
{
    if (!m_dir.isValid() || !QDir(m_dir.path()).mkdir(QStringLiteral("run")))
        m_error = QStringLiteral("cannot make a temporary folder");
    else if (core == WithCore && !linkCore())
        m_error = QStringLiteral("the v2ray core is not installed (scripts/setup installs it)");
    else if (!QDir::setCurrent(m_dir.path()))
        m_error = QStringLiteral("cannot change into the temporary folder");
}

RuntimeFolder::~RuntimeFolder()
{
    QDir::setCurrent(m_previous);
}

bool RuntimeFolder::linkCore() const
{
    const QString core = QStandardPaths::findExecutable(QStringLiteral("v2ray"));
    return !core.isEmpty() && QFile::link(core, m_dir.filePath(QStringLiteral("run/corvane")));
}
