#include "ciphercodec.h"

#include "util/base64.h"
#include "util/constants.h"
#include "util/qaesencryption.h"

QByteArray CipherCodec::encryptText(const QString &text)
{
    return encryptUtf8(text.toUtf8());
}

QByteArray CipherCodec::encryptUtf8(const QByteArray &utf8)
{
    QAESEncryption aes(QAESEncryption::AES256, QAESEncryption::ECB, QAESEncryption::ISO7816);
    return Base64::encode(aes.encrypt(Base64::encode(utf8), AES_KEY, AES_IV));
}

namespace {

// Well-formed text takes the fast path; anything else gets Qt's lenient decoding, which
// skips every byte outside the Base64 alphabet.
QByteArray decodeBase64(const QByteArray &text)
{
    QByteArray decoded;
    return Base64::decodeStrict(text, &decoded) ? decoded : QByteArray::fromBase64(text);
}

// The ISO/IEC 7816-4 padding: 0x80 then zero bytes, up to the block boundary.
QByteArray withoutPadding(const QByteArray &padded)
{
    int end = padded.size();
    const int blockStart = end - 16;
    while (end > 0 && end > blockStart && padded.at(end - 1) == '\0')
        --end;
    if (end > 0 && end > blockStart && padded.at(end - 1) == char(0x80))
        return padded.left(end - 1);
    return padded;
}

} // namespace

QByteArray CipherCodec::decryptText(const QByteArray &data)
{
    QAESEncryption aes(QAESEncryption::AES256, QAESEncryption::ECB, QAESEncryption::ISO7816);
    const QByteArray padded = aes.decrypt(decodeBase64(data), AES_KEY, AES_IV);
    // Lenient decoding would drop the padding bytes by itself; taking them off first lets
    // the text take the fast path.
    return decodeBase64(withoutPadding(padded));
}
