#include "base64.h"

#include <array>
#include <cstring>

namespace Base64 {

namespace {

const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr quint8 invalid = 0xff;

struct Tables
{
    std::array<quint16, 4096> pairs; // 12 bits to two characters, in memory order
    std::array<quint8, 256> values;
};

const Tables &tables()
{
    static const Tables t = [] {
        Tables t{};
        for (int i = 0; i < 4096; ++i) {
            const char chars[2] = {alphabet[i >> 6], alphabet[i & 63]};
            std::memcpy(&t.pairs[size_t(i)], chars, 2);
        }
        t.values.fill(invalid);
        for (int i = 0; i < 64; ++i)
            t.values[quint8(alphabet[i])] = quint8(i);
        return t;
    }();
    return t;
}

} // namespace

QByteArray encode(const QByteArray &data)
{
    const Tables &t = tables();
    const auto *in = reinterpret_cast<const quint8 *>(data.constData());
    const int length = data.size();
    QByteArray text((length + 2) / 3 * 4, Qt::Uninitialized);
    char *out = text.data();

    int i = 0;
    for (; i + 3 <= length; i += 3, out += 4) {
        const quint32 bits = (quint32(in[i]) << 16) | (quint32(in[i + 1]) << 8) | in[i + 2];
        std::memcpy(out, &t.pairs[bits >> 12], 2);
        std::memcpy(out + 2, &t.pairs[bits & 0xfff], 2);
    }
    if (length - i == 1) {
        const quint32 bits = quint32(in[i]) << 16;
        out[0] = alphabet[bits >> 18];
        out[1] = alphabet[(bits >> 12) & 63];
        out[2] = out[3] = '=';
    } else if (length - i == 2) {
        const quint32 bits = (quint32(in[i]) << 16) | (quint32(in[i + 1]) << 8);
        out[0] = alphabet[bits >> 18];
        out[1] = alphabet[(bits >> 12) & 63];
        out[2] = alphabet[(bits >> 6) & 63];
        out[3] = '=';
    }
    return text;
}

bool decodeStrict(const QByteArray &text, QByteArray *out)
{
    const int length = text.size();
    if (length % 4 != 0)
        return false;
    if (length == 0) {
        *out = QByteArray();
        return true;
    }
    const auto *in = reinterpret_cast<const quint8 *>(text.constData());
    const int padding = in[length - 1] != '=' ? 0 : in[length - 2] != '=' ? 1 : 2;
    const std::array<quint8, 256> &values = tables().values;

    QByteArray result(length / 4 * 3 - padding, Qt::Uninitialized);
    auto *dst = reinterpret_cast<quint8 *>(result.data());
    const int fullGroups = length / 4 - (padding ? 1 : 0);
    quint8 check = 0;
    for (int g = 0; g < fullGroups; ++g, in += 4, dst += 3) {
        const quint8 a = values[in[0]], b = values[in[1]], c = values[in[2]], d = values[in[3]];
        check |= a | b | c | d;
        const quint32 bits = (quint32(a) << 18) | (quint32(b) << 12) | (quint32(c) << 6) | d;
        dst[0] = quint8(bits >> 16);
        dst[1] = quint8(bits >> 8);
        dst[2] = quint8(bits);
    }
    // Any byte outside the alphabet, '=' included, sets the high bits.
    if (check & 0xc0)
        return false;
    if (padding) {
        const quint8 a = values[in[0]], b = values[in[1]];
        const quint8 c = padding == 1 ? values[in[2]] : 0;
        if ((a | b | c) & 0xc0)
            return false;
        const quint32 bits = (quint32(a) << 18) | (quint32(b) << 12) | (quint32(c) << 6);
        dst[0] = quint8(bits >> 16);
        if (padding == 1)
            dst[1] = quint8(bits >> 8);
    }
    *out = result;
    return true;
}

} // namespace Base64
