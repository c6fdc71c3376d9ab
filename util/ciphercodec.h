#pragma once

#include <QByteArray>
#include <QString>

// The stored form of the core configuration: Base64 of AES-256-ECB (ISO/IEC 7816-4 padding,
// shared key) of Base64 of the UTF-8 text. Both layers of Base64 keep the file plain ASCII.
class CipherCodec
{
public:
    QByteArray encryptText(const QString &text);
    // The same for text already in UTF-8, which saves two conversions of a large document.
    QByteArray encryptUtf8(const QByteArray &utf8);
    // Empty when the data is not the codec's output (wrong length after Base64 decoding).
    QByteArray decryptText(const QByteArray &data);
};
