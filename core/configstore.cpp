#include "configstore.h"

#include "core/proxyentries.h"
#include "util/ciphercodec.h"
#include "util/owneronly.h"

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
    return commit(prepare(root), beforeCommit);
}

bool ConfigStore::storePlain(const QByteArray &json) const
{
    return commit(prepareBytes(json, nullptr));
}

std::unique_ptr<ConfigStore::Pending> ConfigStore::prepare(const QJsonObject &root) const
{
    return prepareBytes(QJsonDocument(root).toJson(QJsonDocument::Indented), &root);
}

std::unique_ptr<ConfigStore::Pending> ConfigStore::prepareBytes(const QByteArray &json,
                                                                const QJsonObject *root) const
{
    auto pending = std::make_unique<Pending>(m_path);
    pending->stored = CipherCodec().encryptUtf8(json);
    pending->plain = json;
    if (root) {
        pending->root = *root;
        pending->hasRoot = true;
    }
    const QMutexLocker lock(&m_mutex);
    // Unbuffered: a buffered write fails only in the flush inside commit(), which this Qt
    // does not report, and a truncated file would replace the good one.
    if (!pending->file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        qDebug() << "Failed to open file: " << pending->file.errorString();
        return nullptr;
    }
    // The new file takes an existing file's mode: a wider one is narrowed here.
    if (!OwnerOnly::file(pending->file))
        return nullptr;
    if (pending->file.write(pending->stored) != pending->stored.size()) {
        qDebug() << "Failed to write file: " << pending->file.errorString();
        return nullptr;
    }
    return pending;
}

bool ConfigStore::commit(std::unique_ptr<Pending> pending,
                         const std::function<void()> &beforeCommit) const
{
    if (!pending)
        return false;
    const QMutexLocker lock(&m_mutex);
    // Whatever the outcome, the file may no longer hold what was written before.
    m_written = Written();
    if (beforeCommit)
        beforeCommit();
    if (!pending->file.commit()) {
        qDebug() << "Failed to write file: " << pending->file.errorString();
        return false;
    }
    m_written.stored = pending->stored;
    m_written.plain = pending->plain;
    m_written.root = pending->root;
    m_written.hasRoot = pending->hasRoot;
    return true;
}
