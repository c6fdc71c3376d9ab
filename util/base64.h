#pragma once

#include <QByteArray>

// Standard Base64 ('=' padding, no line breaks) for the large texts of the stored
// configuration, where Qt's byte-at-a-time codec costs more than the cipher itself.
namespace Base64 {

QByteArray encode(const QByteArray &data);

// Decodes well-formed Base64 only: false for any byte outside the alphabet, misplaced
// padding or a length that is not a multiple of four. Callers fall back to Qt's lenient
// decoder then, so the result for odd input is the same as before.
bool decodeStrict(const QByteArray &text, QByteArray *out);

} // namespace Base64
