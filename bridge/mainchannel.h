#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

// The object the pages reach as channel.objects.myObject. A page sends one JSON text
// {"code": N, "data": ...}; each code 1 to 11 becomes one signal with its payload.
class MainChannel : public QObject
{
    Q_OBJECT

public:
    explicit MainChannel(QObject *parent = nullptr);

signals:
    void sigPararms(QJsonObject strMsg);
    void sigIsSendLogin(QJsonObject strMsg);
    void sigSaveSendLogin(QString token);
    void sigSendStart(QJsonObject strMsg);
    void sigSendRunProxyList();
    void sigDelConfig(int sid);
    void sigHtmlConfig(QJsonObject strMsg);
    void sigLignOut();
    void sigCheckIp();
    void sigOpenUrl(QJsonObject strMsg);
    void siglanguage(QJsonObject strMsg);

public:
    Q_INVOKABLE void sendMsg(const QString &strMsg);
};
