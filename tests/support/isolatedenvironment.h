#pragma once

#include <QString>
#include <QTemporaryDir>

// Gives the test process a fresh HOME, XDG folders and TMPDIR, so that the web engine's
// cookies and caches and QSettings defaults of one test never reach another test or the
// developer's own client. Create it before the application. The single-instance guard and
// the client's ports are not files: they are kept apart by a network namespace (nsrun).
class IsolatedEnvironment
{
public:
    IsolatedEnvironment();

    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};
