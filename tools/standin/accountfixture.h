#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// The data the stand-in account service answers from: accounts with their plans and traffic,
// the proxy addresses it lists, the locations it knows, the version document and the
// geolocation answer. Read from a JSON file such as tools/standin/fixture.json.
struct AccountFixture
{
    // "ok": a data plan with a balance; "none": no plan bought; "broken": the service cannot
    // tell, and its answers carry null where the plan would be.
    enum class Plan { Ok, None, Broken };

    struct Account
    {
        QString email;
        QString password;
        QString proxyUser; // the gateway's user name; may be empty without a plan
        QString proxyAuthKey;
        Plan plan = Plan::Ok;
        double balance = 0; // remaining traffic in MB
        double used = 0;    // traffic of the last 30 days in MB
    };

    QList<Account> accounts;
    QList<QJsonObject> ips;       // the proxy list's rows, in file order
    QList<QJsonObject> locations; // further addresses whose location is known
    QJsonObject gatewayLocation;  // shown for proxies through the residential gateway
    QJsonObject version;          // served as /public/version.txt
    QJsonObject geolocation;      // served as /json

    // E-mail addresses are compared without case.
    const Account *account(const QString &email) const;
    // A row of ips or locations with that address, or nullptr.
    const QJsonObject *location(const QString &ip) const;

    // On failure the error names the file, or the entry, that is wrong.
    static std::optional<AccountFixture> fromJson(const QByteArray &json, QString *error);
    static std::optional<AccountFixture> load(const QString &path, QString *error);
    // The repository's tools/standin/fixture.json.
    static QString defaultPath();
};
