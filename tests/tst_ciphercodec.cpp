#include "app/constants.h"
#include "util/ciphercodec.h"

#include <QLoggingCategory>
#include <QtTest>

#include <openssl/evp.h>

// The stored configuration must read back with any correct implementation of its layers,
// so each direction is checked against one built on OpenSSL.
class TestCipherCodec : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void storedForm_data();
    void storedForm();
    void damagedInputGivesNothing_data();
    void damagedInputGivesNothing();
};

namespace {

QByteArray aes256Ecb(bool encrypt, const QByteArray &input)
{
    auto u = [](const QByteArray &a) {
        return reinterpret_cast<const unsigned char *>(a.data());
    };
    QByteArray out(input.size() + 16, '\0');
    int length = 0;
    int tail = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const bool ok =
        EVP_CipherInit_ex(ctx, EVP_aes_256_ecb(), nullptr, u(AES_KEY), nullptr, encrypt) &&
        EVP_CIPHER_CTX_set_padding(ctx, 0) &&
        EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()), &length, u(input),
                         input.size()) &&
        EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char *>(out.data()) + length, &tail);
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        return QByteArray("OpenSSL refused");
    out.resize(length + tail);
    return out;
}

QByteArray referenceEncode(const QByteArray &utf8)
{
    QByteArray inner = utf8.toBase64();
    if (inner.size() % 16)
        inner += char(0x80) + QByteArray(15 - inner.size() % 16, '\0');
    return aes256Ecb(true, inner).toBase64();
}

QByteArray referenceDecode(const QByteArray &stored)
{
    QByteArray inner = aes256Ecb(false, QByteArray::fromBase64(stored));
    // Base64 text never holds 0x00 or 0x80, so the padding is found without ambiguity.
    int end = inner.size();
    while (end > 0 && inner.at(end - 1) == '\0')
        --end;
    if (end > 0 && inner.at(end - 1) == char(0x80))
        inner.truncate(end - 1);
    return QByteArray::fromBase64(inner, QByteArray::AbortOnBase64DecodingErrors);
}

} // namespace

void TestCipherCodec::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

void TestCipherCodec::storedForm_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("empty") << QString();
    QTest::newRow("JSON") << QStringLiteral("{\n    \"inbounds\": [\n    ],\n    \"log\": {}\n}\n");
    QTest::newRow("non-ASCII") << QStringLiteral("代理 60003 – naïve 🚀");
    // 12 bytes make 16 Base64 characters: the inner text gets no padding at all.
    QTest::newRow("inner text a whole block") << QStringLiteral("abcdefghijkl");
    QTest::newRow("inner text one block less one") << QStringLiteral("abcdefghijk");
    QTest::newRow("long") << QString(QStringLiteral("proxy_60001 ")).repeated(500);
}

void TestCipherCodec::storedForm()
{
    QFETCH(QString, text);
    const QByteArray utf8 = text.toUtf8();
    CipherCodec codec;

    const QByteArray stored = codec.encryptText(text);
    QCOMPARE(referenceDecode(stored), utf8);
    QCOMPARE(codec.decryptText(referenceEncode(utf8)), utf8);
}

void TestCipherCodec::damagedInputGivesNothing_data()
{
    QTest::addColumn<QByteArray>("data");

    const QByteArray stored = CipherCodec().encryptText(QStringLiteral("{\"inbounds\": []}"));
    QTest::newRow("last characters lost") << stored.left(stored.size() - 4);
    QTest::newRow("one byte too many") << (QByteArray::fromBase64(stored) + 'x').toBase64();
    QTest::newRow("plain JSON instead") << QByteArray("{\"inbounds\": []}");
}

void TestCipherCodec::damagedInputGivesNothing()
{
    QFETCH(QByteArray, data);
    QCOMPARE(CipherCodec().decryptText(data), QByteArray());
}

QTEST_APPLESS_MAIN(TestCipherCodec)
#include "tst_ciphercodec.moc"
