#include "qaesencryption.h"

#include "util/aesni.h"

#include <QDebug>

#include <algorithm>
#include <cstring>

namespace {

quint8 xtime(quint8 x)
{
    return quint8((x << 1) ^ ((x >> 7) * 0x1b));
}

quint8 rotl8(quint8 x, int shift)
{
    return quint8((x << shift) | (x >> (8 - shift)));
}

struct Tables
{
    std::array<quint8, 256> sbox;
    std::array<quint8, 256> invSbox;
    std::array<quint8, 14> rcon;
};

// Derived rather than typed in: the S-box is the multiplicative inverse in GF(2^8) followed
// by the affine map, and a derived table cannot carry a typing error.
Tables buildTables()
{
    // Powers and logarithms of the generator 0x03 make inverses a table lookup.
    std::array<quint8, 256> power{};
    std::array<quint8, 256> log{};
    quint8 x = 1;
    for (int i = 0; i < 255; ++i) {
        power[i] = x;
        log[x] = quint8(i);
        x = quint8(x ^ xtime(x));
    }

    Tables t{};
    for (int a = 0; a < 256; ++a) {
        const quint8 inverse = a == 0 ? 0 : power[(255 - log[a]) % 255];
        const quint8 s = inverse ^ rotl8(inverse, 1) ^ rotl8(inverse, 2) ^ rotl8(inverse, 3) ^
                         rotl8(inverse, 4) ^ 0x63;
        t.sbox[a] = s;
        t.invSbox[s] = quint8(a);
    }

    // Entry j is x^(j-1); entry 0 is x^-1, never used by the key schedule.
    t.rcon[0] = 0x8d;
    quint8 r = 1;
    for (size_t j = 1; j < t.rcon.size(); ++j) {
        t.rcon[j] = r;
        r = xtime(r);
    }
    return t;
}

const Tables &tables()
{
    static const Tables t = buildTables();
    return t;
}

void xorInto(quint8 *target, const quint8 *source, int length)
{
    for (int i = 0; i < length; ++i)
        target[i] ^= source[i];
}

quint8 *bytes(QByteArray &array)
{
    return reinterpret_cast<quint8 *>(array.data());
}

const quint8 *bytes(const QByteArray &array)
{
    return reinterpret_cast<const quint8 *>(array.constData());
}

} // namespace

QAESEncryption::QAESEncryption(KeySize size, Mode mode, Padding padding)
    : m_level(size)
    , m_mode(mode)
    , m_padding(padding)
{
    switch (size) {
    case AES192:
        m_nk = 6;
        m_nr = 12;
        break;
    case AES256:
        m_nk = 8;
        m_nr = 14;
        break;
    default:
        m_nk = 4;
        m_nr = 10;
        break;
    }
    m_keyLen = m_nk * 4;

    const Tables &t = tables();
    m_sbox = t.sbox;
    m_invSbox = t.invSbox;
    m_rcon = t.rcon;
}

QByteArray QAESEncryption::encrypt(const QByteArray &plain, const QByteArray &key,
                                   const QByteArray &iv)
{
    qDebug() << m_blocklen << " " << iv.size();
    qDebug() << m_keyLen << " " << key.size();
    if (!keyAndIvFit(key, iv))
        return {};

    const ExpandedKey roundKeys = expandKey(key);
    QByteArray out = plain + padding(plain.size());
    quint8 *data = bytes(out);
    const int length = out.size();

    switch (m_mode) {
    case ECB:
        if (useHardware()) {
            AesNi::encryptBlocks(roundKeys.data(), m_nr, data, length / m_blocklen);
            return out;
        }
        for (int i = 0; i < length; i += m_blocklen)
            cipher(roundKeys, data + i);
        return out;
    case CBC: {
        const quint8 *feedback = bytes(iv);
        for (int i = 0; i < length; i += m_blocklen) {
            xorInto(data + i, feedback, m_blocklen);
            cipher(roundKeys, data + i);
            feedback = data + i;
        }
        return out;
    }
    case CFB: {
        Block stream;
        std::memcpy(stream.data(), iv.constData(), stream.size());
        for (int i = 0; i < length; i += m_blocklen) {
            cipher(roundKeys, stream.data());
            xorInto(data + i, stream.data(), m_blocklen);
            std::memcpy(stream.data(), data + i, stream.size());
        }
        return out;
    }
    case OFB:
        return byteXor(out, ofbKeystream(roundKeys, iv, length));
    }
    return {};
}

QByteArray QAESEncryption::decrypt(const QByteArray &cipherText, const QByteArray &key,
                                   const QByteArray &iv)
{
    if (!keyAndIvFit(key, iv) || cipherText.size() % m_blocklen != 0)
        return {};

    const ExpandedKey roundKeys = expandKey(key);
    QByteArray out = cipherText;
    quint8 *data = bytes(out);
    const int length = out.size();

    switch (m_mode) {
    case ECB:
        if (useHardware()) {
            AesNi::decryptBlocks(roundKeys.data(), m_nr, data, length / m_blocklen);
            return out;
        }
        for (int i = 0; i < length; i += m_blocklen)
            invCipher(roundKeys, data + i);
        return out;
    case CBC: {
        Block feedback;
        Block next;
        std::memcpy(feedback.data(), iv.constData(), feedback.size());
        for (int i = 0; i < length; i += m_blocklen) {
            std::memcpy(next.data(), data + i, next.size());
            invCipher(roundKeys, data + i);
            xorInto(data + i, feedback.data(), m_blocklen);
            feedback = next;
        }
        return out;
    }
    case CFB: {
        // The input is the feedback, and it is read before being overwritten in place.
        Block stream;
        std::memcpy(stream.data(), iv.constData(), stream.size());
        for (int i = 0; i < length; i += m_blocklen) {
            cipher(roundKeys, stream.data());
            Block next;
            std::memcpy(next.data(), data + i, next.size());
            xorInto(data + i, stream.data(), m_blocklen);
            stream = next;
        }
        return out;
    }
    case OFB:
        return byteXor(out, ofbKeystream(roundKeys, iv, length));
    }
    return {};
}

bool QAESEncryption::keyAndIvFit(const QByteArray &key, const QByteArray &iv) const
{
    if (m_mode != ECB && iv.size() != m_blocklen)
        return false;
    return key.size() == m_keyLen;
}

QAESEncryption::ExpandedKey QAESEncryption::expandKey(const QByteArray &key) const
{
    ExpandedKey w{};
    const int words = m_nb * (m_nr + 1);
    std::memcpy(w.data(), key.constData(), size_t(m_keyLen));

    for (int i = m_nk; i < words; ++i) {
        quint8 temp[4];
        std::memcpy(temp, &w[size_t(4 * (i - 1))], 4);
        if (i % m_nk == 0) {
            const quint8 first = temp[0];
            temp[0] = m_sbox[temp[1]] ^ m_rcon[size_t(i / m_nk)];
            temp[1] = m_sbox[temp[2]];
            temp[2] = m_sbox[temp[3]];
            temp[3] = m_sbox[first];
        } else if (m_nk > 6 && i % m_nk == 4) {
            for (quint8 &b : temp)
                b = m_sbox[b];
        }
        for (int j = 0; j < 4; ++j)
            w[size_t(4 * i + j)] = w[size_t(4 * (i - m_nk) + j)] ^ temp[j];
    }
    return w;
}

QByteArray QAESEncryption::padding(int length) const
{
    int count = (m_blocklen - length % m_blocklen) % m_blocklen;
    switch (m_padding) {
    case PKCS7:
        if (count == 0)
            count = m_blocklen;
        return QByteArray(count, char(count));
    case ISO7816:
        if (count == 0)
            return {};
        return char(0x80) + QByteArray(count - 1, '\0');
    default:
        return QByteArray(count, '\0');
    }
}

QByteArray QAESEncryption::ofbKeystream(const ExpandedKey &roundKeys, const QByteArray &iv,
                                        int length)
{
    QByteArray stream(length, Qt::Uninitialized);
    quint8 *data = bytes(stream);
    const quint8 *previous = bytes(iv);
    for (int i = 0; i < length; i += m_blocklen) {
        std::memcpy(data + i, previous, size_t(m_blocklen));
        cipher(roundKeys, data + i);
        previous = data + i;
    }
    return stream;
}

QByteArray QAESEncryption::byteXor(const QByteArray &a, const QByteArray &b)
{
    QByteArray out = a.left(std::min(a.size(), b.size()));
    xorInto(bytes(out), bytes(b), out.size());
    return out;
}

bool QAESEncryption::s_hardwareAllowed = true;

void QAESEncryption::setHardwareAllowed(bool allowed)
{
    s_hardwareAllowed = allowed;
}

bool QAESEncryption::useHardware()
{
    return s_hardwareAllowed && AesNi::available();
}

void QAESEncryption::cipher(const ExpandedKey &roundKeys, quint8 *block)
{
    if (useHardware()) {
        AesNi::encryptBlocks(roundKeys.data(), m_nr, block, 1);
        return;
    }
    m_state = block;
    addRoundKey(roundKeys, 0);
    for (int round = 1; round < m_nr; ++round) {
        subBytes();
        shiftRows();
        mixColumns();
        addRoundKey(roundKeys, round);
    }
    subBytes();
    shiftRows();
    addRoundKey(roundKeys, m_nr);
}

void QAESEncryption::invCipher(const ExpandedKey &roundKeys, quint8 *block)
{
    if (useHardware()) {
        AesNi::decryptBlocks(roundKeys.data(), m_nr, block, 1);
        return;
    }
    m_state = block;
    addRoundKey(roundKeys, m_nr);
    for (int round = m_nr - 1; round > 0; --round) {
        invShiftRows();
        invSubBytes();
        addRoundKey(roundKeys, round);
        invMixColumns();
    }
    invShiftRows();
    invSubBytes();
    addRoundKey(roundKeys, 0);
}

// The state is the block itself, column by column: row r of column c is byte r + 4c.

void QAESEncryption::addRoundKey(const ExpandedKey &roundKeys, int round)
{
    xorInto(m_state, roundKeys.data() + round * m_blocklen, m_blocklen);
}

void QAESEncryption::subBytes()
{
    for (int i = 0; i < m_blocklen; ++i)
        m_state[i] = m_sbox[m_state[i]];
}

void QAESEncryption::invSubBytes()
{
    for (int i = 0; i < m_blocklen; ++i)
        m_state[i] = m_invSbox[m_state[i]];
}

void QAESEncryption::shiftRows()
{
    quint8 *s = m_state;
    quint8 t = s[1];
    s[1] = s[5];
    s[5] = s[9];
    s[9] = s[13];
    s[13] = t;

    std::swap(s[2], s[10]);
    std::swap(s[6], s[14]);

    t = s[15];
    s[15] = s[11];
    s[11] = s[7];
    s[7] = s[3];
    s[3] = t;
}

void QAESEncryption::invShiftRows()
{
    quint8 *s = m_state;
    quint8 t = s[13];
    s[13] = s[9];
    s[9] = s[5];
    s[5] = s[1];
    s[1] = t;

    std::swap(s[2], s[10]);
    std::swap(s[6], s[14]);

    t = s[3];
    s[3] = s[7];
    s[7] = s[11];
    s[11] = s[15];
    s[15] = t;
}

void QAESEncryption::mixColumns()
{
    for (int c = 0; c < 4; ++c) {
        quint8 *col = m_state + 4 * c;
        const quint8 a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        const quint8 all = a0 ^ a1 ^ a2 ^ a3;
        col[0] = a0 ^ all ^ xtime(a0 ^ a1);
        col[1] = a1 ^ all ^ xtime(a1 ^ a2);
        col[2] = a2 ^ all ^ xtime(a2 ^ a3);
        col[3] = a3 ^ all ^ xtime(a3 ^ a0);
    }
}

void QAESEncryption::invMixColumns()
{
    // The inverse matrix {0e 0b 0d 09} is the forward one times {05 00 04 00}, so a cheap
    // premultiplication turns the inverse into the forward step.
    for (int c = 0; c < 4; ++c) {
        quint8 *col = m_state + 4 * c;
        const quint8 u = xtime(xtime(col[0] ^ col[2]));
        const quint8 v = xtime(xtime(col[1] ^ col[3]));
        col[0] ^= u;
        col[1] ^= v;
        col[2] ^= u;
        col[3] ^= v;
    }
    mixColumns();
}
