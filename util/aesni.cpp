#include "aesni.h"

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || defined(_M_IX86)
#define VEXALO_AESNI 1
#include <wmmintrin.h>
#ifdef _MSC_VER
#include <intrin.h>
#define AESNI_TARGET
#else
#define AESNI_TARGET __attribute__((target("aes,sse2")))
#endif
#endif

namespace AesNi {

#ifdef VEXALO_AESNI

namespace {

bool detect()
{
#ifdef _MSC_VER
    int info[4];
    __cpuid(info, 1);
    return (info[2] >> 25) & 1;
#else
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes");
#endif
}

AESNI_TARGET __m128i load(const quint8 *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

AESNI_TARGET void store(quint8 *p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
}

} // namespace

bool available()
{
    static const bool supported = detect();
    return supported;
}

AESNI_TARGET void encryptBlocks(const quint8 *roundKeys, int rounds, quint8 *data, int blocks)
{
    __m128i k[15];
    for (int r = 0; r <= rounds; ++r)
        k[r] = load(roundKeys + 16 * r);

    int b = 0;
    // Four independent blocks at a time keep the pipelined instruction busy.
    for (; b + 4 <= blocks; b += 4) {
        quint8 *p = data + 16 * b;
        __m128i s0 = _mm_xor_si128(load(p), k[0]);
        __m128i s1 = _mm_xor_si128(load(p + 16), k[0]);
        __m128i s2 = _mm_xor_si128(load(p + 32), k[0]);
        __m128i s3 = _mm_xor_si128(load(p + 48), k[0]);
        for (int r = 1; r < rounds; ++r) {
            s0 = _mm_aesenc_si128(s0, k[r]);
            s1 = _mm_aesenc_si128(s1, k[r]);
            s2 = _mm_aesenc_si128(s2, k[r]);
            s3 = _mm_aesenc_si128(s3, k[r]);
        }
        store(p, _mm_aesenclast_si128(s0, k[rounds]));
        store(p + 16, _mm_aesenclast_si128(s1, k[rounds]));
        store(p + 32, _mm_aesenclast_si128(s2, k[rounds]));
        store(p + 48, _mm_aesenclast_si128(s3, k[rounds]));
    }
    for (; b < blocks; ++b) {
        quint8 *p = data + 16 * b;
        __m128i s = _mm_xor_si128(load(p), k[0]);
        for (int r = 1; r < rounds; ++r)
            s = _mm_aesenc_si128(s, k[r]);
        store(p, _mm_aesenclast_si128(s, k[rounds]));
    }
}

AESNI_TARGET void decryptBlocks(const quint8 *roundKeys, int rounds, quint8 *data, int blocks)
{
    // The equivalent inverse cipher: round keys in reverse, the inner ones through
    // InvMixColumns.
    __m128i k[15];
    k[0] = load(roundKeys + 16 * rounds);
    for (int r = 1; r < rounds; ++r)
        k[r] = _mm_aesimc_si128(load(roundKeys + 16 * (rounds - r)));
    k[rounds] = load(roundKeys);

    int b = 0;
    for (; b + 4 <= blocks; b += 4) {
        quint8 *p = data + 16 * b;
        __m128i s0 = _mm_xor_si128(load(p), k[0]);
        __m128i s1 = _mm_xor_si128(load(p + 16), k[0]);
        __m128i s2 = _mm_xor_si128(load(p + 32), k[0]);
        __m128i s3 = _mm_xor_si128(load(p + 48), k[0]);
        for (int r = 1; r < rounds; ++r) {
            s0 = _mm_aesdec_si128(s0, k[r]);
            s1 = _mm_aesdec_si128(s1, k[r]);
            s2 = _mm_aesdec_si128(s2, k[r]);
            s3 = _mm_aesdec_si128(s3, k[r]);
        }
        store(p, _mm_aesdeclast_si128(s0, k[rounds]));
        store(p + 16, _mm_aesdeclast_si128(s1, k[rounds]));
        store(p + 32, _mm_aesdeclast_si128(s2, k[rounds]));
        store(p + 48, _mm_aesdeclast_si128(s3, k[rounds]));
    }
    for (; b < blocks; ++b) {
        quint8 *p = data + 16 * b;
        __m128i s = _mm_xor_si128(load(p), k[0]);
        for (int r = 1; r < rounds; ++r)
            s = _mm_aesdec_si128(s, k[r]);
        store(p, _mm_aesdeclast_si128(s, k[rounds]));
    }
}

#else

bool available()
{
    return false;
}

void encryptBlocks(const quint8 *, int, quint8 *, int) {}
void decryptBlocks(const quint8 *, int, quint8 *, int) {}

#endif

} // namespace AesNi
