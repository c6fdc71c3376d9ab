#include "accountfixture.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

namespace {

// A fixture is a few hundred rows; anything near this size is not one.
constexpr qint64 MaxFileSize = 4 * 1024 * 1024;

const char *const locationKeys[] = {"ip", "countryCode", "region", "city", "zip", "isp"};

// Reads members of one JSON object and keeps the first complaint, naming the entry it is in.
class Reader
{
public:
    Reader(const QJsonObject &object, const QString &where, QString *error)
        : m_object(object)
        , m_where(where)
        , m_error(error)
    {}

    enum class Text { NonEmpty, MayBeEmpty, Optional };

    QString string(const char *key, Text text = Text::NonEmpty)
    {
        const QJsonValue value = m_object.value(QLatin1String(key));
        if (value.isString() && (text != Text::NonEmpty || !value.toString().isEmpty()))
            return value.toString();
        if (value.isUndefined() && text == Text::Optional)
            return QString();
        fail(QStringLiteral("%1.%2 must be a%3 string")
                 .arg(m_where, key, text == Text::NonEmpty ? " non-empty" : ""));
        return QString();
    }

    double number(const char *key)
    {
        const QJsonValue value = m_object.value(QLatin1String(key));
        if (!value.isDouble())
            fail(QStringLiteral("%1.%2 must be a number").arg(m_where, key));
        return value.toDouble();
    }

    QJsonObject object(const char *key)
    {
        const QJsonValue value = m_object.value(QLatin1String(key));
        if (!value.isObject())
            fail(QStringLiteral("%1.%2 must be an object").arg(m_where, key));
        return value.toObject();
    }

    QJsonArray array(const char *key)
    {
        const QJsonValue value = m_object.value(QLatin1String(key));
        if (!value.isArray())
            fail(QStringLiteral("%1.%2 must be an array").arg(m_where, key));
        return value.toArray();
    }

    void fail(const QString &message)
    {
        if (m_error->isEmpty())
            *m_error = message;
    }
    bool ok() const { return m_error->isEmpty(); }

private:
    QJsonObject m_object;
    QString m_where;
    QString *m_error;
};

std::optional<AccountFixture::Account> readAccount(const QJsonValue &value, const QString &where,
                                                   QString *error)
{
    Reader reader(value.toObject(), where, error);
    if (!value.isObject())
        reader.fail(where + QStringLiteral(" must be an object"));
    AccountFixture::Account account;
    account.email = reader.string("email");
    account.password = reader.string("password");
    const QString plan = reader.string("plan");
    if (plan == QLatin1String("ok"))
        account.plan = AccountFixture::Plan::Ok;
    else if (plan == QLatin1String("none"))
        account.plan = AccountFixture::Plan::None;
    else if (plan == QLatin1String("broken"))
        account.plan = AccountFixture::Plan::Broken;
    else
        reader.fail(where + QStringLiteral(".plan must be \"ok\", \"none\" or \"broken\""));
    // Without a plan there is nothing to hand to the gateway.
    const Reader::Text proxyText =
        account.plan == AccountFixture::Plan::Ok ? Reader::Text::NonEmpty : Reader::Text::Optional;
    account.proxyUser = reader.string("proxyUser", proxyText);
    account.proxyAuthKey = reader.string("proxyAuthKey", proxyText);
    account.balance = reader.number("balanceMB");
    account.used = reader.number("usedMB");
    if (!reader.ok())
        return std::nullopt;
    return account;
}

bool readLocations(const QJsonArray &rows, const QString &where, QList<QJsonObject> *into,
                   QString *error)
{
    for (int i = 0; i < rows.size(); ++i) {
        const QString row = QStringLiteral("%1[%2]").arg(where).arg(i);
        Reader reader(rows[i].toObject(), row, error);
        if (!rows[i].isObject())
            reader.fail(row + QStringLiteral(" must be an object"));
        for (const char *key : locationKeys)
            reader.string(key, Reader::Text::MayBeEmpty);
        // Compared as text with what the pages send, so only the canonical form will match.
        const QString ip = reader.string("ip");
        if (QHostAddress(ip).toString() != ip)
            reader.fail(row + QStringLiteral(".ip must be an IP address in canonical form"));
        if (!reader.ok())
            return false;
        into->append(rows[i].toObject());
    }
    return true;
}

} // namespace

const AccountFixture::Account *AccountFixture::account(const QString &email) const
{
    for (const Account &candidate : accounts) {
        if (candidate.email.compare(email, Qt::CaseInsensitive) == 0)
            return &candidate;
    }
    return nullptr;
}

const QJsonObject *AccountFixture::location(const QString &ip) const
{
    for (const QList<QJsonObject> *list : {&ips, &locations}) {
        for (const QJsonObject &row : *list) {
            if (row.value(QLatin1String("ip")).toString() == ip)
                return &row;
        }
    }
    return nullptr;
}

std::optional<AccountFixture> AccountFixture::fromJson(const QByteArray &json, QString *error)
{
    error->clear();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not JSON: %1 at offset %2")
                     .arg(parseError.errorString())
                     .arg(parseError.offset);
        return std::nullopt;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("the top level must be an object");
        return std::nullopt;
    }

    AccountFixture fixture;
    Reader top(document.object(), QStringLiteral("fixture"), error);
    const QJsonArray accounts = top.array("accounts");
    const QJsonArray ips = top.array("ips");
    const QJsonArray locations = top.array("locations");
    fixture.gatewayLocation = top.object("gatewayLocation");
    fixture.version = top.object("version");
    fixture.geolocation = top.object("geolocation");
    Reader gateway(fixture.gatewayLocation, QStringLiteral("gatewayLocation"), error);
    for (const char *key : locationKeys) {
        if (qstrcmp(key, "ip") != 0) // the gateway's host, which the service is told
            gateway.string(key, Reader::Text::MayBeEmpty);
    }
    if (!top.ok())
        return std::nullopt;
    if (accounts.isEmpty()) {
        *error = QStringLiteral("fixture.accounts is empty");
        return std::nullopt;
    }

    QSet<QString> emails;
    for (int i = 0; i < accounts.size(); ++i) {
        const QString where = QStringLiteral("accounts[%1]").arg(i);
        const std::optional<Account> account = readAccount(accounts[i], where, error);
        if (!account)
            return std::nullopt;
        const QString email = account->email.toLower();
        if (emails.contains(email)) {
            *error = QStringLiteral("%1.email %2 appears twice").arg(where, account->email);
            return std::nullopt;
        }
        emails.insert(email);
        fixture.accounts.append(*account);
    }
    if (!readLocations(ips, QStringLiteral("ips"), &fixture.ips, error) ||
        !readLocations(locations, QStringLiteral("locations"), &fixture.locations, error))
        return std::nullopt;
    return fixture;
}

std::optional<AccountFixture> AccountFixture::load(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the fixture %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    const QByteArray json = file.read(MaxFileSize + 1);
    if (json.size() > MaxFileSize) {
        *error = QStringLiteral("the fixture %1 is larger than 4 MiB").arg(path);
        return std::nullopt;
    }
    std::optional<AccountFixture> fixture = fromJson(json, error);
    if (!fixture)
        *error = QStringLiteral("the fixture %1 is malformed: %2").arg(path, *error);
    return fixture;
}

QString AccountFixture::defaultPath()
{
    return QStringLiteral(VEXALO_STANDIN_FIXTURE);
}
