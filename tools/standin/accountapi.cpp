#include "accountapi.h"
#include "httphead.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <iterator>
#include <optional>

namespace {

QByteArray reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    default:
        return "Error";
    }
}

AccountApi::Reply json(const QJsonObject &object, int status = 200)
{
    AccountApi::Reply reply;
    reply.status = status;
    reply.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return reply;
}

AccountApi::Reply success(const QJsonValue &result)
{
    return json({{"code", "1"}, {"result", result}});
}

// A failure the pages show: HTTP 200, as the real service answers refusals.
AccountApi::Reply refusal(const QString &message)
{
    return AccountApi::failure(200, message);
}

// A whole number of at least 1 and at most max, or nothing.
std::optional<int> positive(const QString &text, int max)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value >= 1 && value <= max ? std::optional<int>(value) : std::nullopt;
}

} // namespace

QByteArray AccountApi::Reply::toBytes() const
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason(status) + "\r\n";
    // A 204 carries neither a body nor its length.
    if (status != 204) {
        head += "Content-Type: " + contentType + "\r\n";
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    }
    // The pages come from qrc:, so every answer is cross-origin for them.
    head += "Access-Control-Allow-Origin: *\r\n";
    for (const auto &field : fields)
        head += field.first + ": " + field.second + "\r\n";
    return head + "Connection: close\r\n\r\n" + (status == 204 ? QByteArray() : body);
}

const AccountApi::Route AccountApi::routes[] = {
    {"/public/login", "POST", &AccountApi::login},
    {"/public/version.txt", "GET", &AccountApi::version},
    {"/json", "GET", &AccountApi::geolocation},
    {"/v1/get_data", "GET", &AccountApi::getData},
    {"/v1/iplist", "POST", &AccountApi::ipList},
    {"/v1/querySubUser", "POST", &AccountApi::querySubUser},
    {"/v1/queryViewTxsIP", "POST", &AccountApi::queryViewTxsIp},
    {"/v1/rotatingIP", "POST", &AccountApi::rotatingIp},
    {"/v1/getip", "POST", &AccountApi::getIp},
};

AccountApi::AccountApi(AccountFixture fixture)
    : m_fixture(std::move(fixture))
{}

void AccountApi::setGateway(const QString &host, quint16 httpPort)
{
    m_gatewayHost = host;
    m_gatewayPort = httpPort;
}

const AccountFixture &AccountApi::fixture() const
{
    return m_fixture;
}

AccountApi::Reply AccountApi::failure(int status, const QString &message)
{
    return json({{"code", "0"}, {"message", message}}, status);
}

AccountApi::Reply AccountApi::answer(const AccountRequest &request)
{
    // Authorization makes every page request a preflighted one.
    if (request.method == QLatin1String("OPTIONS")) {
        Reply preflight;
        preflight.status = 204;
        preflight.fields = {{"Access-Control-Allow-Methods", "GET, POST, OPTIONS"},
                            {"Access-Control-Allow-Headers", "Authorization, Content-Type"},
                            {"Access-Control-Max-Age", "600"}};
        return preflight;
    }

    const Account *account = nullptr;
    if (request.path.startsWith(QLatin1String("/v1/"))) {
        account = authenticate(request);
        // No WWW-Authenticate challenge: the web view would answer it with a login dialog.
        if (!account)
            return failure(401, QStringLiteral("unauthorized"));
    }

    const Route *route = std::find_if(std::begin(routes), std::end(routes), [&](const Route &r) {
        return request.path == QLatin1String(r.path);
    });
    if (route == std::end(routes))
        return failure(404, QStringLiteral("no such path: %1").arg(request.path));
    if (request.method != QLatin1String(route->method)) {
        Reply wrongMethod =
            failure(405, QStringLiteral("%1 takes %2, not %3")
                             .arg(request.path, QLatin1String(route->method), request.method));
        wrongMethod.fields.append({"Allow", QByteArray(route->method) + ", OPTIONS"});
        return wrongMethod;
    }
    if (!request.body.isEmpty() && !request.isFormEncoded())
        return failure(400, QStringLiteral("the body must be form-encoded "
                                           "(application/x-www-form-urlencoded)"));
    return (this->*route->handler)(request, account);
}

AccountApi::Reply AccountApi::login(const AccountRequest &request, const Account *)
{
    // The messages are keys of the pages' translation tables.
    const Account *account = m_fixture.account(request.formItem(QStringLiteral("username")));
    if (!account)
        return refusal(QStringLiteral("USER_NOT_EXIST"));
    if (account->password != request.formItem(QStringLiteral("password")))
        return refusal(QStringLiteral("LOGIN_ERROR"));
    return success(QJsonObject{{"username", account->email}});
}

AccountApi::Reply AccountApi::version(const AccountRequest &, const Account *)
{
    Reply version = json(m_fixture.version);
    version.contentType = "text/plain; charset=utf-8";
    version.body += '\n';
    return version;
}

AccountApi::Reply AccountApi::geolocation(const AccountRequest &, const Account *)
{
    return json(m_fixture.geolocation);
}

AccountApi::Reply AccountApi::getData(const AccountRequest &, const Account *account)
{
    if (account->plan == AccountFixture::Plan::Broken)
        return refusal(QStringLiteral("the account's data plan cannot be read; "
                                      "contact the administrator"));
    if (account->plan == AccountFixture::Plan::None)
        return refusal(QStringLiteral("the account has no data plan"));
    if (account->balance <= 0)
        return refusal(QStringLiteral("the account's traffic is used up"));
    if (m_gatewayPort == 0)
        return refusal(QStringLiteral("no residential gateway is running"));
    QJsonObject proxy = proxyDescription();
    proxy.insert("username", account->proxyUser);
    proxy.insert("password", account->proxyAuthKey);
    return success(proxy);
}

AccountApi::Reply AccountApi::ipList(const AccountRequest &request, const Account *)
{
    const QString pageNoText = request.formItem(QStringLiteral("pageNo"));
    const QString pageSizeText = request.formItem(QStringLiteral("pageSize"));
    const std::optional<int> pageNo = positive(pageNoText, 1000000);
    const std::optional<int> pageSize = positive(pageSizeText, 1000);
    if (!pageNo)
        return refusal(
            QStringLiteral("pageNo must be a whole number from 1, not \"%1\"").arg(pageNoText));
    if (!pageSize)
        return refusal(QStringLiteral("pageSize must be a whole number from 1 to 1000, not \"%1\"")
                           .arg(pageSizeText));

    const QString country = request.formItem(QStringLiteral("countryCode"));
    const qint64 first = qint64(*pageNo - 1) * *pageSize;
    qint64 index = 0;
    QJsonArray page;
    for (const QJsonObject &row : m_fixture.ips) {
        if (!country.isEmpty() &&
            row.value("countryCode").toString().compare(country, Qt::CaseInsensitive) != 0)
            continue;
        if (index >= first && page.size() < *pageSize)
            page.append(row);
        ++index;
    }
    return success(QJsonObject{{"data", page}});
}

AccountApi::Reply AccountApi::querySubUser(const AccountRequest &, const Account *account)
{
    return success(QJsonObject{{"querySubUser", subUser(*account, false)}});
}

AccountApi::Reply AccountApi::queryViewTxsIp(const AccountRequest &, const Account *account)
{
    QJsonValue bandwidth = QJsonValue::Null;
    if (account->plan != AccountFixture::Plan::Broken)
        bandwidth = QJsonObject{{"data", QJsonObject{{"total_bandwidth", account->used}}}};
    return success(QJsonObject{{"total_bandwidth", bandwidth}});
}

AccountApi::Reply AccountApi::rotatingIp(const AccountRequest &, const Account *account)
{
    if (m_gatewayPort == 0)
        return refusal(QStringLiteral("no residential gateway is running"));
    // The page adds the credentials from subUser to the pool's description.
    return success(
        QJsonObject{{"subUser", subUser(*account, true)}, {"ipPool", proxyDescription()}});
}

AccountApi::Reply AccountApi::getIp(const AccountRequest &request, const Account *)
{
    const QString ip = request.formItem(QStringLiteral("ip"));
    const QString port = request.formItem(QStringLiteral("port"));
    if (ip.isEmpty())
        return refusal(QStringLiteral("ip is missing"));
    if (!port.isEmpty() && !positive(port, 65535))
        return refusal(QStringLiteral("port \"%1\" is not a port number").arg(port));
    if (!m_gatewayHost.isEmpty() && ip == m_gatewayHost) {
        QJsonObject location = m_fixture.gatewayLocation;
        location.insert("ip", m_gatewayHost);
        return success(location);
    }
    const QJsonObject *location = m_fixture.location(ip);
    if (!location)
        return refusal(QStringLiteral("no location is known for %1").arg(ip));
    return success(*location);
}

const AccountApi::Account *AccountApi::authenticate(const AccountRequest &request) const
{
    const auto credentials = HttpHead::basicCredentials(request.header("Authorization"));
    if (!credentials)
        return nullptr;
    const Account *account = m_fixture.account(credentials->user);
    return account && account->password == credentials->password ? account : nullptr;
}

QJsonValue AccountApi::subUser(const Account &account, bool withCredentials) const
{
    if (account.plan == AccountFixture::Plan::Broken)
        return QJsonValue::Null;
    if (account.plan == AccountFixture::Plan::None)
        return QJsonObject{{"status", 404}};
    QJsonObject data{{"balance", account.balance}};
    if (withCredentials) {
        data.insert("username", account.proxyUser);
        data.insert("proxy_authkey", account.proxyAuthKey);
    }
    return QJsonObject{{"status", 200}, {"data", data}};
}

QJsonObject AccountApi::proxyDescription()
{
    return {{"ip", m_gatewayHost},
            {"port", m_gatewayPort},
            {"proxyType", "HTTP"},
            {"sid", QStringLiteral("sid%1").arg(++m_sessions)}};
}
