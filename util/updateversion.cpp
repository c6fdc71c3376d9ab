#include "updateversion.h"

#include "util/boundedreply.h"
#include "util/constants.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

UpdateVersion::UpdateVersion(QObject *parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager(this))
    , websiteUrl(WEBSITE_URL)
    , deadlineMs(BoundedReply::defaultDeadlineMs)
{
    connect(manager, &QNetworkAccessManager::finished, this, &UpdateVersion::onDownloadFinished);
}

void UpdateVersion::checkVersion()
{
    const QUrl url(QStringLiteral("%1/public/version.txt").arg(websiteUrl));
    // Without a limit, a server that accepts and never answers would keep the reply for ever.
    BoundedReply::limit(manager->get(QNetworkRequest(url)), deadlineMs);
}

UpdateVersion::Verdict UpdateVersion::judge(const QByteArray &body)
{
    Verdict verdict;
    QJsonParseError error;
    const QJsonDocument document =
        QJsonDocument::fromJson(QString::fromUtf8(body).trimmed().toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        verdict.outcome = Verdict::ParseFailed;
        verdict.parseError = error.errorString();
        return verdict;
    }

    // The number 1, or "01", is not a valid document: only the exact string counts.
    const QJsonObject root = document.object();
    if (root.value(QStringLiteral("code")).toString() != QStringLiteral("1"))
        return verdict;

    // Any difference, an older or an empty version included, is offered as a new release.
    const QJsonObject result = root.value(QStringLiteral("result")).toObject();
    if (result.value(QStringLiteral("versionNo")).toString() == APP_VERSION) {
        verdict.outcome = Verdict::Current;
        return verdict;
    }
    verdict.outcome = Verdict::NewVersion;
    verdict.result = result;
    return verdict;
}

void UpdateVersion::onDownloadFinished(QNetworkReply *reply)
{
    const QString failure = BoundedReply::failure(reply);
    if (!failure.isEmpty()) {
        qDebug() << "Error during version check: " << failure;
        reply->deleteLater();
        return;
    }

    const Verdict verdict = judge(reply->readAll());
    switch (verdict.outcome) {
    case Verdict::ParseFailed:
        qDebug() << "Failed to parse JSON: " << verdict.parseError;
        break;
    case Verdict::Ignored:
        break;
    case Verdict::Current:
        qDebug() << "No new version available.";
        break;
    case Verdict::NewVersion:
        qDebug() << "New version available. Downloading...";
        emit sigVersionUpdate(verdict.result);
        break;
    }
    reply->deleteLater();
}
