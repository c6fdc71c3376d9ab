// The stand-in's request parsing: AccountRequest::parse as the account service calls it on
// every read, with the bytes received so far, and HttpHead as the gateway uses it, then the
// account service's answer for a parsed request.
//
// Input: byte 0 chooses where the bytes are cut into reads; the rest is the request.
#include "fuzzsupport.h"

#include "accountapi.h"
#include "accountrequest.h"
#include "httphead.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {

AccountApi &api()
{
    static AccountApi *instance = [] {
        Fuzz::application();
        QString error;
        const auto fixture = AccountFixture::load(AccountFixture::defaultPath(), &error);
        Fuzz::require(fixture.has_value(), "the fixture loads", error.toUtf8());
        auto *loaded = new AccountApi(*fixture);
        loaded->setGateway(QStringLiteral("127.0.0.1"), 18081);
        return loaded;
    }();
    return *instance;
}

bool same(const AccountRequest &a, const AccountRequest &b)
{
    return a.method == b.method && a.path == b.path && a.query == b.query && a.form == b.form &&
           a.headers == b.headers && a.body == b.body;
}

// Status line, fields, blank line, and a body of exactly Content-Length bytes.
void requireWellFormed(const QByteArray &response, const char *what)
{
    static const QRegularExpression shape(QStringLiteral(
        "^HTTP/1\\.1 \\d{3} [A-Za-z ]+\\r\\n(?:[A-Za-z-]+: [\\x20-\\x7e]*\\r\\n)*\\r\\n"));
    const int blank = response.indexOf("\r\n\r\n");
    Fuzz::require(blank > 0, what, response);
    const QByteArray head = response.left(blank + 4);
    const auto match = shape.match(QString::fromLatin1(head));
    Fuzz::require(match.hasMatch() && match.capturedLength() == head.size(), what, response);
    const QByteArray body = response.mid(blank + 4);
    const int lengthAt = head.indexOf("\r\nContent-Length: ");
    if (lengthAt >= 0) {
        const int valueAt = lengthAt + int(qstrlen("\r\nContent-Length: "));
        const QByteArray value = head.mid(valueAt, head.indexOf("\r\n", valueAt) - valueAt);
        Fuzz::require(value.toInt() == body.size(), what, response);
    }
    if (head.contains("Content-Type: application/json"))
        Fuzz::require(QJsonDocument::fromJson(body).isObject(), what, response);
}

// The gateway forwards a request in origin form; the origin server must read it as one head.
void checkGateway(const HttpHead::Request &request)
{
    const std::optional<HttpHead::Target> target = HttpHead::absoluteTarget(request.target);
    HttpHead::authorityTarget(request.target);
    HttpHead::basicCredentials(request.field("Proxy-Authorization"));
    if (!target)
        return;
    Fuzz::require(!target->host.isEmpty() && target->port != 0 &&
                      target->originForm.startsWith('/'),
                  "an absolute target has host, port and path", request.target);
    const QByteArray forwarded = HttpHead::originRequest(request, *target);
    const HttpHead::ParseResult reread = HttpHead::parse(forwarded);
    Fuzz::require(reread.status == HttpHead::Status::Ok && reread.consumed == forwarded.size() &&
                      reread.request.method == request.method &&
                      reread.request.target == target->originForm,
                  "the forwarded head reads back", forwarded);
    int hosts = 0;
    int credentials = 0;
    for (const auto &field : reread.request.fields) {
        hosts += qstricmp(field.first.constData(), "Host") == 0;
        credentials += qstricmp(field.first.constData(), "Proxy-Authorization") == 0;
    }
    Fuzz::require(hosts >= 1 && credentials == 0 &&
                      reread.request.fields.constLast() ==
                          qMakePair(QByteArray("Connection"), QByteArray("close")),
                  "the forwarded head names a host, carries no credentials, asks for one answer",
                  forwarded);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data) + 1, int(size) - 1);
    AccountApi &service = api();

    AccountRequest whole;
    const AccountRequest::ParseResult all = AccountRequest::parse(bytes, &whole);

    // The service parses again after every read: the first read that decides must decide
    // as the whole input does.
    QByteArray received;
    for (const QByteArray &piece : Fuzz::pieces(bytes, data[0])) {
        received += piece;
        AccountRequest request;
        const AccountRequest::ParseResult partial = AccountRequest::parse(received, &request);
        if (partial.status == AccountRequest::Status::Incomplete)
            continue;
        Fuzz::require(partial.status == all.status, "a decision does not change with more bytes",
                      received);
        if (partial.status == AccountRequest::Status::Ok)
            Fuzz::require(partial.consumed == all.consumed && same(request, whole),
                          "the same request from any reads", received);
        break;
    }

    switch (all.status) {
    case AccountRequest::Status::Incomplete:
        break;
    case AccountRequest::Status::Bad:
        Fuzz::require(!all.error.isEmpty(), "a refusal says why", bytes);
        requireWellFormed(AccountApi::failure(400, all.error).toBytes(), "the refusal is HTTP");
        break;
    case AccountRequest::Status::Ok:
        Fuzz::require(all.consumed <= bytes.size() && whole.path.startsWith('/'),
                      "a parsed request lies within the input", bytes);
        requireWellFormed(service.answer(whole).toBytes(), "the answer is HTTP");
        break;
    }

    const HttpHead::ParseResult head = HttpHead::parse(bytes);
    if (head.status == HttpHead::Status::Ok)
        checkGateway(head.request);
    return 0;
}
