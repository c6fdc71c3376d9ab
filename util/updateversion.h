#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Asks the website which client version is current and announces a release that differs from
// this one. It only fetches and judges the version document; it downloads nothing.
class UpdateVersion : public QObject
{
    Q_OBJECT

public:
    struct Verdict
    {
        enum Outcome { ParseFailed, Ignored, Current, NewVersion };
        Outcome outcome = Ignored;
        QString parseError; // when ParseFailed
        QJsonObject result; // the document's "result", when NewVersion
    };

    explicit UpdateVersion(QObject *parent = nullptr);

    void checkVersion();
    void setWebsiteUrl(const QString &url) { websiteUrl = url; }
    // The time the whole answer may take; an answer still arriving then is dropped.
    void setDeadline(int milliseconds) { deadlineMs = milliseconds; }

    static Verdict judge(const QByteArray &body);

signals:
    void sigVersionUpdate(QJsonObject strMsg);

private slots:
    void onDownloadFinished(QNetworkReply *reply);

private:
    QNetworkAccessManager *manager;
    QString websiteUrl;
    int deadlineMs;
};
