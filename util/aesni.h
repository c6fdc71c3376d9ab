#pragma once

#include <QtGlobal>

// AES block functions on the processor's AES instructions (x86-64 AES-NI). Round keys are
// the FIPS-197 expanded key bytes, (rounds + 1) * 16 of them. The stored configuration is
// deciphered on every request and every edit, and a byte-wise cipher makes each edit of a
// large configuration ten times slower than the JSON work itself.
namespace AesNi {

bool available();
void encryptBlocks(const quint8 *roundKeys, int rounds, quint8 *data, int blocks);
void decryptBlocks(const quint8 *roundKeys, int rounds, quint8 *data, int blocks);

} // namespace AesNi
