#pragma once

#include <QString>

class QNetworkReply;

// Limits for an answer of an outside service (the IP check, the version check): a total
// deadline for the whole answer, however it trickles in, and a cap on its size. A reply that
// breaks either is aborted and ends with an error whose reason failure() tells.
namespace BoundedReply {

const int defaultDeadlineMs = 10000;
const qint64 maxBytes = 64 * 1024;

void limit(QNetworkReply *reply, int deadlineMs = defaultDeadlineMs);

// Why the reply failed: a broken limit, or the network's error string; empty on success.
QString failure(const QNetworkReply *reply);

} // namespace BoundedReply
