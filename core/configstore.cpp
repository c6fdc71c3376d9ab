#include "configstore.h"

#include "core/proxyentries.h"
#include "util/ciphercodec.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

ConfigStore::ConfigStore(const QString &path)
    : m_path(path)
{}

// The file's bytes; a missing file reads as empty. Null (and logged) when it cannot be read.
QByteArray ConfigStore::readStored(bool *ok) const
{
    *ok = false;
    QFile file(m_path);
    if (!file.exists()) {
        *ok = true;
        return QByteArray();
    }
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "Failed to open file: " << file.errorString();
        return QByteArray();
    }
    *ok = true;
    return file.readAll();
}

// What the file's bytes hold: the template for an empty file, what this store wrote for
// exactly the bytes it wrote last (with the document, where it wrote one), the deciphered
// text otherwise.
QByteArray ConfigStore::plainOf(const QByteArray &stored, QJsonObject *written) const
{
    if (stored.trimmed().isEmpty())
        return ProxyEntries::templateText();
    if (!m_written.stored.isEmpty() && stored == m_written.stored) {
        if (written && m_written.hasRoot)
            *written = m_written.root;
        return m_written.plain;
    }
    return CipherCodec().decryptText(stored);
}

QByteArray ConfigStore::readPlain(bool *ok) const
{
    const QMutexLocker lock(&m_mutex);
    bool read = false;
    const QByteArray stored = readStored(&read);
    if (ok)
        *ok = read;
    return read ? plainOf(stored, nullptr) : QByteArray();
}

bool ConfigStore::load(QJsonObject *root) const
{
    const QMutexLocker lock(&m_mutex);
    bool read = false;
    const QByteArray stored = readStored(&read);
    if (!read)
        return false;
    QJsonObject written;
    const QByteArray plain = plainOf(stored, &written);
    if (!written.isEmpty()) {
        *root = written;
        return true;
    }

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(plain, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qDebug() << "Failed to parse JSON: "
                 << (error.error != QJsonParseError::NoError ? error.errorString()
                                                             : QStringLiteral("not an object"));
        return false;
    }
    *root = document.object();
    return true;
}

bool ConfigStore::store(const QJsonObject &root, const std::function<void()> &beforeCommit) const
{
    return write(QJsonDocument(root).toJson(QJsonDocument::Indented), &root, beforeCommit);
}

bool ConfigStore::storePlain(const QByteArray &json) const
{
    return write(json, nullptr, {});
}

bool ConfigStore::write(const QByteArray &json, const QJsonObject *root,
                        const std::function<void()> &beforeCommit) const
{
    CipherCodec codec;
    const QByteArray stored = codec.encryptUtf8(json);
    const QMutexLocker lock(&m_mutex);
    // Whatever the outcome, the file may no longer hold what was written before.
    m_written = Written();
    QSaveFile file(m_path);
    // Unbuffered: a buffered write fails only in the flush inside commit(), which this Qt
    // does not report, and a truncated file would replace the good one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        qDebug() << "Failed to open file: " << file.errorString();
        return false;
    }
    if (file.write(stored) != stored.size()) {
        qDebug() << "Failed to write file: " << file.errorString();
        return false;
    }
    if (beforeCommit)
        beforeCommit();
    if (!file.commit()) {
        qDebug() << "Failed to write file: " << file.errorString();
        return false;
    }
    m_written.stored = stored;
    m_written.plain = json;
    if (root) {
        m_written.root = *root;
        m_written.hasRoot = true;
    }
    return true;
}
