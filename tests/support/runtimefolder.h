#pragma once

#include <QString>
#include <QTemporaryDir>

// A fresh folder laid out as the client runs in (run/, with Debian's v2ray linked in as the
// core unless asked not to), made the current folder while it lives; config.ini and
// run/config.json are then the test's own.
class RuntimeFolder
{
public:
    enum Core { WithCore, WithoutCore };
    explicit RuntimeFolder(Core core = WithCore);
    ~RuntimeFolder();

    // False when the folder could not be set up; the reason is in error().
    bool isValid() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    QString path() const { return m_dir.path(); }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }
    bool linkCore() const;

private:
    QTemporaryDir m_dir;
    QString m_previous;
    QString m_error;
};
