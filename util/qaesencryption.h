#pragma once

#include <QByteArray>
#include <QObject>

#include <array>

// AES (FIPS-197) over QByteArray with a choice of key size, block mode and padding.
// An object is meant for one operation: build it on the stack, use it, drop it.
// Failures give an empty array.
class QAESEncryption : public QObject
{
    Q_OBJECT

public:
    // Fixed underlying types, so that a value read from elsewhere that lies outside the
    // listed ones is still a valid enum value and takes the documented fallback.
    enum KeySize : int { AES128 = 0, AES192 = 1, AES256 = 2 };
    enum Mode : int { ECB = 0, CBC = 1, CFB = 2, OFB = 3 };
    enum Padding : int { Zero = 0, PKCS7 = 1, ISO7816 = 2 };

    QAESEncryption(KeySize size, Mode mode, Padding padding);

    // The IV is ignored in ECB mode; every other mode needs exactly 16 bytes.
    QByteArray encrypt(const QByteArray &plain, const QByteArray &key, const QByteArray &iv);
    // The padding is left in the result: it has the length of the input.
    QByteArray decrypt(const QByteArray &cipher, const QByteArray &key, const QByteArray &iv);

    // The processor's AES instructions are used where present; tests turn them off to check
    // the portable code as well.
    static void setHardwareAllowed(bool allowed);

private:
    // Large enough for AES256: 60 words.
    using ExpandedKey = std::array<quint8, 240>;
    using Block = std::array<quint8, 16>;

    static bool useHardware();
    static bool s_hardwareAllowed;

    bool keyAndIvFit(const QByteArray &key, const QByteArray &iv) const;
    ExpandedKey expandKey(const QByteArray &key) const;
    QByteArray padding(int length) const;
    QByteArray ofbKeystream(const ExpandedKey &roundKeys, const QByteArray &iv, int length);
    static QByteArray byteXor(const QByteArray &a, const QByteArray &b);

    void cipher(const ExpandedKey &roundKeys, quint8 *block);
    void invCipher(const ExpandedKey &roundKeys, quint8 *block);
    void addRoundKey(const ExpandedKey &roundKeys, int round);
    void subBytes();
    void invSubBytes();
    void shiftRows();
    void invShiftRows();
    void mixColumns();
    void invMixColumns();

    const int m_nb = 4;
    const int m_blocklen = 16;
    KeySize m_level;
    Mode m_mode;
    int m_nk;
    int m_keyLen;
    int m_nr;
    Padding m_padding;
    quint8 *m_state = nullptr;
    std::array<quint8, 256> m_sbox;
    std::array<quint8, 256> m_invSbox;
    std::array<quint8, 14> m_rcon;
};
