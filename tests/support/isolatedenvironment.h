#pragma once

#include <QString>
#include <QTemporaryDir>

// Gives the test process a fresh HOME, XDG folders and TMPDIR, so that the web engine's
// cookies and caches, QSettings defaults and the single-instance key of one test never
// reach another test or the developer's own client. Create it before the application.
class IsolatedEnvironment
{
public:
    IsolatedEnvironment();

    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};
