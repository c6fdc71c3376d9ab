#pragma once

#include <QString>

#include <functional>

// What the gateway reads out of a proxy password: the account's base password, then the
// optional "_country-XX" and "_session-XXXXXXXX" suffixes with which the client picks an exit.
struct ProxyCredentials
{
    QString basePassword;
    QString country;
    QString session;

    static ProxyCredentials fromPassword(const QString &password);
};

// Whether a user name and base password belong to a known account.
using AccountCheck = std::function<bool(const QString &user, const QString &basePassword)>;
