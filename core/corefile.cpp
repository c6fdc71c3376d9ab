#include "corefile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// mkostemp() fills in the six characters from [A-Za-z0-9].
const QRegularExpression staleCopy(QStringLiteral("^\\..+-run\\.[A-Za-z0-9]{6}$"));

#ifdef Q_OS_LINUX
QString copyPathOf(const QString &corePath)
{
    const QFileInfo core(corePath);
    return core.absolutePath() + QStringLiteral("/.") + core.fileName() + QStringLiteral("-run");
}

QString failure(const QString &what, const QString &path, int error)
{
    return QStringLiteral("%1 %2: %3")
        .arg(what, QDir::toNativeSeparators(path), qt_error_string(error));
}

// Compared to the nanosecond, as futimens() keeps it; also redone when someone else made
// the copy or opened it up to other users.
bool isCopyOf(const struct stat &core, const QByteArray &copyPath)
{
    struct stat copy;
    return lstat(copyPath.constData(), &copy) == 0 && S_ISREG(copy.st_mode) &&
           copy.st_uid == geteuid() && (copy.st_mode & 07777) == 0700 &&
           copy.st_size == core.st_size && copy.st_mtim.tv_sec == core.st_mtim.tv_sec &&
           copy.st_mtim.tv_nsec == core.st_mtim.tv_nsec;
}

bool copyBytes(int from, int to)
{
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(from, buffer, sizeof buffer);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(to, buffer + done, size_t(got - done));
            if (put > 0)
                done += put;
            else if (put == 0 || errno != EINTR)
                return false;
        }
    }
}

// The copy is written under a temporary name and renamed over the old one: a core still
// running from the old copy keeps its file, which writing in place would not be allowed to
// change (ETXTBSY), and the copy's name never stands for a half-written file.
bool writeCopy(int core, const struct stat &coreInfo, const QByteArray &copyPath, QString *error)
{
    QByteArray temporary = copyPath + ".XXXXXX";
    const int copy = mkostemp(temporary.data(), O_CLOEXEC); // 0600 whatever the umask
    if (copy < 0) {
        *error = failure(QStringLiteral("Cannot write the core's copy in"),
                         QFileInfo(QFile::decodeName(copyPath)).absolutePath(), errno);
        return false;
    }
    // The modification time is set last, as any write would change it.
    const struct timespec times[2] = {{0, UTIME_OMIT}, coreInfo.st_mtim};
    bool written = fchmod(copy, 0700) == 0 && copyBytes(core, copy) && futimens(copy, times) == 0 &&
                   fsync(copy) == 0;
    int saved = errno;
    if (close(copy) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (written && rename(temporary.constData(), copyPath.constData()) != 0) {
        written = false;
        saved = errno;
    }
    if (!written) {
        unlink(temporary.constData());
        *error = failure(QStringLiteral("Cannot write the core's copy"),
                         QFile::decodeName(copyPath), saved);
    } else {
        qDebug() << "Core copied to" << QFile::decodeName(copyPath);
    }
    return written;
}
#endif

} // namespace

namespace CoreFile {

QString runnableCopy(const QString &corePath, QString *error)
{
#ifndef Q_OS_LINUX
    // File capabilities and what they do to the core are Linux's.
    Q_UNUSED(error)
    return corePath;
#else
    const QByteArray path = QFile::encodeName(corePath);
    const QByteArray copyPath = QFile::encodeName(copyPathOf(corePath));
    // Size and time come from the opened file, so that they describe the bytes copied even
    // when the core is replaced meanwhile.
    const int core = open(path.constData(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (core < 0 || fstat(core, &info) != 0) {
        *error = failure(QStringLiteral("Cannot read the core"), corePath, errno);
        if (core >= 0)
            close(core);
        return QString();
    }
    QString result;
    if (!S_ISREG(info.st_mode) || access(path.constData(), X_OK) != 0)
        *error = QStringLiteral("The core %1 is not an executable file")
                     .arg(QDir::toNativeSeparators(corePath));
    else if (isCopyOf(info, copyPath) || writeCopy(core, info, copyPath, error))
        result = QFile::decodeName(copyPath);
    close(core);
    return result;
#endif
}

void removeStale(const QString &runFolder)
{
    const QDir folder(runFolder);
    const QStringList names = folder.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        if (staleCopy.match(name).hasMatch() && QFile::remove(folder.filePath(name)))
            qDebug() << "Removed an interrupted copy of the core:" << name;
    }
}

} // namespace CoreFile
