#pragma once

#include <QString>
#include <QTemporaryDir>

class QProcess;

// A fresh folder for one run of a program: a HOME, XDG folders and TMPDIR of its own, so that
// no web profile, cookie or cache carries over, and the folder the client runs in, prepared
// as build/runtime is, with run/corvane linked to the core.
class FreshFolder
{
public:
    explicit FreshFolder(const QString &core);

    // Has the process start there, with that environment.
    void prepare(QProcess &process) const;

private:
    QTemporaryDir m_root;
};
