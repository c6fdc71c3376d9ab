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

QByteArray ConfigStore::readPlain(bool *ok) const
{
    if (ok)
        *ok = false;
    QFile file(m_path);
    if (!file.exists()) {
        if (ok)
            *ok = true;
        return ProxyEntries::templateText();
    }
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug() << "Failed to open file: " << file.errorString();
        return QByteArray();
    }
    const QByteArray stored = file.readAll();
    if (ok)
        *ok = true;
    if (stored.trimmed().isEmpty())
        return ProxyEntries::templateText();
    CipherCodec codec;
    return codec.decryptText(stored);
}

bool ConfigStore::load(QJsonObject *root) const
{
    bool ok = false;
    const QByteArray plain = readPlain(&ok);
    if (!ok)
        return false;
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

bool ConfigStore::store(const QJsonObject &root) const
{
    return storePlain(QJsonDocument(root).toJson(QJsonDocument::Indented));
}

bool ConfigStore::storePlain(const QByteArray &json) const
{
    CipherCodec codec;
    const QByteArray stored = codec.encryptUtf8(json);
    QSaveFile file(m_path);
    // Unbuffered: a buffered write fails only in the flush inside commit(), which this Qt
    // does not report, and a truncated file would replace the good one.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        qDebug() << "Failed to open file: " << file.errorString();
        return false;
    }
    if (file.write(stored) != stored.size())
        file.cancelWriting();
    if (!file.commit()) {
        qDebug() << "Failed to write file: " << file.errorString();
        return false;
    }
    return true;
}
