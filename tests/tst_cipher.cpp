#include "util/base64.h"
#include "util/ciphercodec.h"
#include "util/qaesencryption.h"

#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QtTest>

#include <openssl/evp.h>

// OpenSSL is the reference for every key size, mode and padding, and for the stored form of
// the configuration, which must read back with any correct implementation of its layers.
class TestCipher : public QObject
{
    Q_OBJECT

private slots:
    void matchesOpenSsl_data();
    void matchesOpenSsl();
    void refusals();
    void storedFormIsTheReleasedOne();
    void base64AgreesWithQtOrRefuses();
};

namespace {

using Aes = QAESEncryption;

QByteArray openSsl(bool encrypt, int keySize, int mode, const QByteArray &key, const QByteArray &iv,
                   const QByteArray &input)
{
    using Make = const EVP_CIPHER *(*)();
    static const Make ciphers[3][4] = {
        {EVP_aes_128_ecb, EVP_aes_128_cbc, EVP_aes_128_cfb128, EVP_aes_128_ofb},
        {EVP_aes_192_ecb, EVP_aes_192_cbc, EVP_aes_192_cfb128, EVP_aes_192_ofb},
        {EVP_aes_256_ecb, EVP_aes_256_cbc, EVP_aes_256_cfb128, EVP_aes_256_ofb}};
    const auto u = [](const QByteArray &a) {
        return reinterpret_cast<const uchar *>(a.data());
    };
    QByteArray out(input.size() + 16, '\0');
    auto *o = reinterpret_cast<uchar *>(out.data());
    int length = 0, tail = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const bool ok = EVP_CipherInit_ex(ctx, ciphers[keySize][mode](), nullptr, u(key),
                                      mode == Aes::ECB ? nullptr : u(iv), encrypt) &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) &&
                    EVP_CipherUpdate(ctx, o, &length, u(input), input.size()) &&
                    EVP_CipherFinal_ex(ctx, o + length, &tail);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(length + tail);
    return ok ? out : QByteArray(); // null, which no successful call returns
}

QByteArray padded(const QByteArray &plain, int padding)
{
    const int missing = (16 - plain.size() % 16) % 16;
    if (padding == Aes::PKCS7)
        return plain + QByteArray(missing ? missing : 16, char(missing ? missing : 16));
    if (padding == Aes::ISO7816 && missing)
        return plain + char(0x80) + QByteArray(missing - 1, '\0');
    return plain + QByteArray(missing, '\0');
}

QByteArray randomBytes(QRandomGenerator &rng, int length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (char &b : bytes)
        b = char(rng.bounded(256));
    return bytes;
}

} // namespace

void TestCipher::matchesOpenSsl_data()
{
    QTest::addColumn<int>("keySize");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("padding");

    const char *sizes[] = {"128", "192", "256"}, *modes[] = {"ECB", "CBC", "CFB", "OFB"},
               *paddings[] = {"Zero", "PKCS7", "ISO7816"};
    for (int k = 0; k < 3; ++k)
        for (int m = 0; m < 4; ++m)
            for (int p = 0; p < 3; ++p)
                QTest::addRow("AES-%s %s %s", sizes[k], modes[m], paddings[p]) << k << m << p;
}

void TestCipher::matchesOpenSsl()
{
    QFETCH(int, keySize);
    QFETCH(int, mode);
    QFETCH(int, padding);
    QRandomGenerator rng(quint32(keySize * 100 + mode * 10 + padding));
    // encrypt logs two lines per call; thousands of them would bury a failure.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    // The processor's AES instructions and the portable code must agree with OpenSSL alike;
    // 64, 65 and 257 bytes cover the hardware path's groups of four blocks and the rest.
    const auto restore = qScopeGuard([] { Aes::setHardwareAllowed(true); });
    for (bool hardware : {true, false})
        for (int length : {0, 1, 15, 16, 17, 31, 32, 33, 64, 65, 100, 257}) {
            Aes::setHardwareAllowed(hardware);
            const QByteArray key = randomBytes(rng, 16 + 8 * keySize);
            const QByteArray iv = randomBytes(rng, 16);
            const QByteArray plain = randomBytes(rng, length);
            const QByteArray aligned = padded(plain, padding);
            const QByteArray expected = openSsl(true, keySize, mode, key, iv, aligned);
            QVERIFY(!expected.isNull());

            Aes aes{Aes::KeySize(keySize), Aes::Mode(mode), Aes::Padding(padding)};
            QCOMPARE(aes.encrypt(plain, key, iv).toHex(), expected.toHex());
            // Decrypt on its own: ciphertext that was never produced by our encrypt.
            const QByteArray foreign = randomBytes(rng, aligned.size());
            QCOMPARE(aes.decrypt(foreign, key, iv).toHex(),
                     openSsl(false, keySize, mode, key, iv, foreign).toHex());
        }
}

void TestCipher::refusals()
{
    // key size, mode, key, IV and data length, and whether encrypt refuses too
    const int cases[][6] = {
        {Aes::AES256, Aes::ECB, 16, 16, 32, true}, // a 16-byte key
        {Aes::AES128, Aes::CBC, 16, 15, 32, true}, // a 15-byte IV
        {Aes::AES128, 4, 16, 16, 32, true},        // no such mode
        {Aes::AES128, Aes::ECB, 16, 0, 15, false}, // ECB needs no IV, decrypt whole blocks
        {Aes::AES128, Aes::CFB, 16, 16, 17, false},
    };
    for (const auto &c : cases) {
        const QByteArray key(c[2], 'k'), iv(c[3], 'i'), data(c[4], 'd');
        Aes aes{Aes::KeySize(c[0]), Aes::Mode(c[1]), Aes::PKCS7};
        QCOMPARE(aes.encrypt(data, key, iv).isEmpty(), bool(c[5]));
        QCOMPARE(aes.decrypt(data, key, iv), QByteArray());
    }
}

// The stored form built from OpenSSL with the key of the released client (its ASCII
// characters as bytes): Base64, AES-256-ECB with ISO/IEC 7816-4 padding, Base64. Files it
// wrote must stay readable, and files written now must be the same bytes.
void TestCipher::storedFormIsTheReleasedOne()
{
    const QByteArray key = "e4a17c0b93d25f68a0c4e71b2d9f3865";
    // 12 bytes make 16 Base64 characters: the inner text gets no padding at all.
    const QString texts[] = {QString(), QStringLiteral("abcdefghijkl"),
                             QStringLiteral("{\n    \"city\": \"東京 – naïve 🚀\"\n}\n")};
    CipherCodec codec;
    for (const QString &text : texts) {
        QByteArray inner = text.toUtf8().toBase64();
        if (inner.size() % 16)
            inner += char(0x80) + QByteArray(15 - inner.size() % 16, '\0');
        const QByteArray stored =
            openSsl(true, Aes::AES256, Aes::ECB, key, QByteArray(), inner).toBase64();
        QCOMPARE(codec.encryptText(text), stored);
        QCOMPARE(codec.decryptText(stored), text.toUtf8());
    }
}

// The fast Base64 must give exactly Qt's results, or refuse so that Qt's decoder runs.
void TestCipher::base64AgreesWithQtOrRefuses()
{
    QRandomGenerator rng(7);
    for (int length = 0; length < 300; ++length) {
        const QByteArray data = randomBytes(rng, length);
        const QByteArray text = Base64::encode(data);
        QCOMPARE(text, data.toBase64());
        QByteArray decoded("stale");
        QVERIFY(Base64::decodeStrict(text, &decoded));
        QCOMPARE(decoded, data);
    }

    const QByteArray malformed[] = {
        "QUJDRA", "QUJD\nREVG", "QQ==QUJD",
        "Q===",   "ab-_",       QByteArray("QUJD") + char(0x80) + QByteArray(3, '\0')};
    for (const QByteArray &text : malformed) {
        QByteArray decoded("untouched");
        QVERIFY2(!Base64::decodeStrict(text, &decoded), text.constData());
        QCOMPARE(decoded, QByteArray("untouched"));
    }
}

QTEST_APPLESS_MAIN(TestCipher)
#include "tst_cipher.moc"
