#include "ciphercodec.h"

#include "app/constants.h"
#include "util/qaesencryption.h"

QByteArray CipherCodec::encryptText(const QString &text)
{
    QAESEncryption aes(QAESEncryption::AES256, QAESEncryption::ECB, QAESEncryption::ISO7816);
    return aes.encrypt(text.toUtf8().toBase64(), AES_KEY, AES_IV).toBase64();
}

QByteArray CipherCodec::decryptText(const QByteArray &data)
{
    QAESEncryption aes(QAESEncryption::AES256, QAESEncryption::ECB, QAESEncryption::ISO7816);
    const QByteArray padded = aes.decrypt(QByteArray::fromBase64(data), AES_KEY, AES_IV);
    // The padding is not stripped: this decoding skips bytes outside the Base64 alphabet,
    // so the 0x80 and 0x00 bytes after the text fall away on their own.
    return QByteArray::fromBase64(padded);
}
