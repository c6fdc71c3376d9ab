#include "core/configurl.h"
#include "util/base64.h"
#include "util/ciphercodec.h"
#include "util/constants.h"
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
    void initTestCase();
    void fipsExamples_data();
    void fipsExamples();
    void matchesOpenSsl_data();
    void matchesOpenSsl();
    void padding_data();
    void padding();
    void refusals_data();
    void refusals();
    void storedFormMatchesOpenSsl_data();
    void storedFormMatchesOpenSsl();
    void damagedStoredFormGivesNothing_data();
    void damagedStoredFormGivesNothing();
    void base64AgreesWithQt();
    void base64RefusesWhatIsNotWellFormed();
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
    auto u = [](const QByteArray &a) {
        return reinterpret_cast<const unsigned char *>(a.data());
    };

    QByteArray out(input.size() + 16, '\0');
    int length = 0;
    int tail = 0;
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const bool ok =
        EVP_CipherInit_ex(ctx, ciphers[keySize][mode](), nullptr, u(key),
                          mode == Aes::ECB ? nullptr : u(iv), encrypt ? 1 : 0) &&
        EVP_CIPHER_CTX_set_padding(ctx, 0) &&
        EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()), &length, u(input),
                         input.size()) &&
        EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char *>(out.data()) + length, &tail);
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        return QByteArray(); // null, which no successful call returns
    out.resize(length + tail);
    return out;
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

const QByteArray key16 = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f");
const QByteArray iv16 = QByteArray::fromHex("f0e1d2c3b4a5968778695a4b3c2d1e0f");

} // namespace

void TestCipher::initTestCase()
{
    // encrypt logs two lines per call; thousands of them would bury a failure.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

void TestCipher::fipsExamples_data()
{
    QTest::addColumn<int>("keySize");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("cipher");

    QTest::newRow("AES-128") << int(Aes::AES128) << key16
                             << QByteArray::fromHex("69c4e0d86a7b0430d8cdb78070b4c55a");
    QTest::newRow("AES-192") << int(Aes::AES192)
                             << QByteArray::fromHex(
                                    "000102030405060708090a0b0c0d0e0f1011121314151617")
                             << QByteArray::fromHex("dda97ca4864cdfe06eaf70a0ec0d7191");
    QTest::newRow("AES-256") << int(Aes::AES256)
                             << QByteArray::fromHex("000102030405060708090a0b0c0d0e0f"
                                                    "101112131415161718191a1b1c1d1e1f")
                             << QByteArray::fromHex("8ea2b7ca516745bfeafc49904b496089");
}

void TestCipher::fipsExamples()
{
    QFETCH(int, keySize);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, cipher);
    const QByteArray plain = QByteArray::fromHex("00112233445566778899aabbccddeeff");

    for (bool hardware : {true, false}) {
        Aes::setHardwareAllowed(hardware);
        for (Aes::Padding padding : {Aes::Zero, Aes::ISO7816}) {
            Aes aes(Aes::KeySize(keySize), Aes::ECB, padding);
            QCOMPARE(aes.encrypt(plain, key, QByteArray()).toHex(), cipher.toHex());
            QCOMPARE(aes.decrypt(cipher, key, QByteArray()).toHex(), plain.toHex());
        }
    }
    Aes::setHardwareAllowed(true);
}

void TestCipher::matchesOpenSsl_data()
{
    QTest::addColumn<int>("keySize");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("padding");

    const char *sizes[] = {"128", "192", "256"};
    const char *modes[] = {"ECB", "CBC", "CFB", "OFB"};
    const char *paddings[] = {"Zero", "PKCS7", "ISO7816"};
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
            QCOMPARE(aes.decrypt(expected, key, iv).toHex(), aligned.toHex());
        }
}

void TestCipher::padding_data()
{
    QTest::addColumn<int>("padding");
    QTest::addColumn<int>("length");
    QTest::addColumn<QByteArray>("added");

    QTest::newRow("ISO7816, empty: nothing") << int(Aes::ISO7816) << 0 << QByteArray();
    QTest::newRow("PKCS7, empty: a whole block") << int(Aes::PKCS7) << 0 << QByteArray(16, 0x10);
    QTest::newRow("ISO7816, 16: nothing") << int(Aes::ISO7816) << 16 << QByteArray();
    QTest::newRow("PKCS7, 16: a whole block") << int(Aes::PKCS7) << 16 << QByteArray(16, 0x10);
    QTest::newRow("ISO7816, 17") << int(Aes::ISO7816) << 17 << char(0x80) + QByteArray(14, 0);
    QTest::newRow("Zero, 17") << int(Aes::Zero) << 17 << QByteArray(15, 0);
}

void TestCipher::padding()
{
    QFETCH(int, padding);
    QFETCH(int, length);
    QFETCH(QByteArray, added);
    const QByteArray plain(length, 'a');

    Aes aes(Aes::AES128, Aes::CBC, Aes::Padding(padding));
    const QByteArray cipher = aes.encrypt(plain, key16, iv16);
    QCOMPARE(cipher.size(), length + added.size());
    // Decrypt leaves the padding in.
    QCOMPARE(aes.decrypt(cipher, key16, iv16).toHex(), (plain + added).toHex());
}

void TestCipher::refusals_data()
{
    QTest::addColumn<int>("keySize");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("keyLength");
    QTest::addColumn<int>("ivLength");
    QTest::addColumn<int>("dataLength");
    QTest::addColumn<bool>("encryptRefuses");

    QTest::newRow("AES256 with a 16-byte key")
        << int(Aes::AES256) << int(Aes::ECB) << 16 << 16 << 32 << true;
    QTest::newRow("CBC, 15-byte IV") << int(Aes::AES128) << int(Aes::CBC) << 16 << 15 << 32 << true;
    QTest::newRow("OFB, 17-byte IV") << int(Aes::AES256) << int(Aes::OFB) << 32 << 17 << 32 << true;
    QTest::newRow("mode 4") << int(Aes::AES128) << 4 << 16 << 16 << 32 << true;
    QTest::newRow("decrypt ECB, 15 bytes, no IV needed")
        << int(Aes::AES128) << int(Aes::ECB) << 16 << 0 << 15 << false;
    QTest::newRow("decrypt CFB, 17 bytes")
        << int(Aes::AES128) << int(Aes::CFB) << 16 << 16 << 17 << false;
}

void TestCipher::refusals()
{
    QFETCH(int, keySize);
    QFETCH(int, mode);
    QFETCH(int, keyLength);
    QFETCH(int, ivLength);
    QFETCH(int, dataLength);
    QFETCH(bool, encryptRefuses);
    const QByteArray key(keyLength, 'k');
    const QByteArray iv(ivLength, 'i');
    const QByteArray data(dataLength, 'd');

    Aes aes(Aes::KeySize(keySize), Aes::Mode(mode), Aes::PKCS7);
    QCOMPARE(aes.encrypt(data, key, iv).isEmpty(), encryptRefuses);
    QCOMPARE(aes.decrypt(data, key, iv), QByteArray());
}

namespace {

// The stored form built from OpenSSL: Base64, AES-256-ECB with ISO/IEC 7816-4 padding under
// the shared key, Base64.
QByteArray referenceEncode(const QByteArray &utf8)
{
    QByteArray inner = utf8.toBase64();
    if (inner.size() % 16)
        inner += char(0x80) + QByteArray(15 - inner.size() % 16, '\0');
    return openSsl(true, Aes::AES256, Aes::ECB, AES_KEY, QByteArray(), inner).toBase64();
}

QByteArray referenceDecode(const QByteArray &stored)
{
    QByteArray inner = openSsl(false, Aes::AES256, Aes::ECB, AES_KEY, QByteArray(),
                               QByteArray::fromBase64(stored));
    // Base64 text never holds 0x00 or 0x80, so the padding is found without ambiguity.
    int end = inner.size();
    while (end > 0 && inner.at(end - 1) == '\0')
        --end;
    if (end > 0 && inner.at(end - 1) == char(0x80))
        inner.truncate(end - 1);
    return QByteArray::fromBase64(inner, QByteArray::AbortOnBase64DecodingErrors);
}

} // namespace

void TestCipher::storedFormMatchesOpenSsl_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("non-ASCII JSON") << QStringLiteral("{\n    \"city\": \"東京 – naïve 🚀\"\n}\n");
    // 12 bytes make 16 Base64 characters: the inner text gets no padding at all.
    QTest::newRow("inner text a whole block") << QStringLiteral("abcdefghijkl");
    QTest::newRow("long") << QString(QStringLiteral("proxy_60001 ")).repeated(500);
}

void TestCipher::storedFormMatchesOpenSsl()
{
    QFETCH(QString, text);
    const QByteArray utf8 = text.toUtf8();
    CipherCodec codec;
    QCOMPARE(referenceDecode(codec.encryptText(text)), utf8);
    QCOMPARE(codec.decryptText(referenceEncode(utf8)), utf8);
}

void TestCipher::damagedStoredFormGivesNothing_data()
{
    QTest::addColumn<QByteArray>("data");
    const QByteArray stored = CipherCodec().encryptText(QStringLiteral("{\"inbounds\": []}"));
    QTest::newRow("last characters lost") << stored.left(stored.size() - 4);
    QTest::newRow("one byte too many") << (QByteArray::fromBase64(stored) + 'x').toBase64();
    QTest::newRow("plain JSON instead") << QByteArray("{\"inbounds\": []}");
}

void TestCipher::damagedStoredFormGivesNothing()
{
    QFETCH(QByteArray, data);
    QCOMPARE(CipherCodec().decryptText(data), QByteArray());
}

// The fast Base64 must give exactly Qt's results, or refuse so that Qt's decoder runs.
void TestCipher::base64AgreesWithQt()
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
}

void TestCipher::base64RefusesWhatIsNotWellFormed()
{
    const QByteArray cases[] = {
        "QUJDRA", "QUJD\nREVG", "QQ==QUJD",
        "Q===",   "ab-_",       QByteArray("QUJD") + char(0x80) + QByteArray(3, '\0')};
    for (const QByteArray &text : cases) {
        QByteArray decoded("untouched");
        QVERIFY2(!Base64::decodeStrict(text, &decoded), text.constData());
        QCOMPARE(decoded, QByteArray("untouched"));
    }
}

QTEST_APPLESS_MAIN(TestCipher)
#include "tst_cipher.moc"
