#include "owneronly.h"

#include <QDebug>
#include <QDir>
#include <QFileDevice>

namespace OwnerOnly {

bool folder(const QString &path)
{
    if (!QDir().mkpath(path)) {
        qDebug() << "Failed to create folder:" << path;
        return false;
    }
    if (!QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                         QFileDevice::ExeOwner)) {
        qDebug() << "Failed to restrict folder to its owner:" << path;
        return false;
    }
    return true;
}

bool file(QFileDevice &file)
{
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        qDebug() << "Failed to restrict file to its owner:" << file.fileName()
                 << file.errorString();
        return false;
    }
    return true;
}

} // namespace OwnerOnly
