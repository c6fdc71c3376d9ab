#include "boundedreply.h"

#include <QNetworkReply>
#include <QTimer>

namespace BoundedReply {

namespace {

const char failureProperty[] = "vexaloLimitBroken";

QString tooLarge()
{
    return QStringLiteral("answer larger than %1 bytes").arg(maxBytes);
}

void abortWith(QNetworkReply *reply, const QString &reason)
{
    if (reply->isFinished())
        return;
    reply->setProperty(failureProperty, reason);
    reply->abort();
}

} // namespace

void limit(QNetworkReply *reply, int deadlineMs)
{
    // The reply's own transfer timeout only counts the time without bytes, so an answer of
    // one byte every few seconds would never end.
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, [reply, deadlineMs] {
        abortWith(reply, QStringLiteral("no complete answer within %1 ms").arg(deadlineMs));
    });
    deadline->start(deadlineMs);

    // Checked as the answer comes in, so that a huge one is never held whole.
    const auto checkSize = [reply] {
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (announced > maxBytes || reply->bytesAvailable() > maxBytes)
            abortWith(reply, tooLarge());
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, checkSize);
    QObject::connect(reply, &QIODevice::readyRead, reply, checkSize);
}

QString failure(const QNetworkReply *reply)
{
    const QString broken = reply->property(failureProperty).toString();
    if (!broken.isEmpty())
        return broken;
    // An answer that arrived in one piece, before any signal could see its size.
    if (reply->bytesAvailable() > maxBytes)
        return tooLarge();
    return reply->error() == QNetworkReply::NoError ? QString() : reply->errorString();
}

} // namespace BoundedReply
