#include "mainchannel.h"

#include "util/logmask.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonValue>

MainChannel::MainChannel(QObject *parent)
    : QObject(parent)
{}

void MainChannel::sendMsg(const QString &strMsg)
{
    const QJsonObject message = QJsonDocument::fromJson(strMsg.toUtf8()).object();
    const QJsonValue data = message.value(QLatin1String("data"));
    // toInt gives 0 for a missing key, a string or a non-integral number.
    const int code = message.value(QLatin1String("code")).toInt(0);

    if (code == 2) {
        // Code 2's whole payload is a token: the message is logged as parsed, without it.
        QJsonObject shown = message;
        shown.insert(QLatin1String("data"), QStringLiteral("***"));
        qDebug() << "Message from HTML:"
                 << QString::fromUtf8(QJsonDocument(shown).toJson(QJsonDocument::Compact));
    } else {
        qDebug() << "Message from HTML:" << LogMask::maskedText(strMsg);
    }

    switch (code) {
    case 1:
        emit sigPararms(data.toObject());
        break;
    case 2:
        emit sigSaveSendLogin(data.toString());
        break;
    case 3:
        emit sigSendStart(data.toObject());
        break;
    case 4:
        emit sigSendRunProxyList();
        break;
    case 5:
        emit sigDelConfig(data.toInt(0));
        break;
    case 6:
        emit sigHtmlConfig(data.toObject());
        break;
    case 7:
        emit sigLignOut();
        break;
    case 8:
        emit sigCheckIp();
        break;
    case 9:
        emit sigOpenUrl(data.toObject());
        break;
    case 10:
        emit siglanguage(data.toObject());
        break;
    case 11:
        emit sigIsSendLogin(data.toObject());
        break;
    default:
        break;
    }
}
