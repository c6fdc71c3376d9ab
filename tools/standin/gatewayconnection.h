#pragma once

#include <QMetaType>
#include <QString>

// One connection the gateway let through: who asked, with which exit choices, for which target.
struct GatewayConnection
{
    QString protocol; // "http" or "socks5"
    QString user;
    QString basePassword;
    QString country;
    QString session;
    QString targetHost;
    quint16 targetPort = 0;
};

Q_DECLARE_METATYPE(GatewayConnection)
