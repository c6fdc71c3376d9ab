// The local HTTP service's request handling, through HttpService itself. Each input is one
// connection: a Unix socket pair, one end handed to the service as an accepted connection,
// the other sending the request in pieces and reading the answer. A Unix socket keeps the
// machine's TCP ports out of the run; its peer is no loopback address, so the configuration
// must always be refused.
//
// Input: byte 0 chooses the piece lengths; byte 1, when its top bit is set, puts a header
// line of 16256 to 16383 bytes after the request line, so that heads around the 16 KiB cap
// are common; the rest is the request.
#include "fuzzsupport.h"

#include "core/configstore.h"
#include "core/proxyentries.h"
#include "http/httprequest.h"
#include "http/httpservice.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int headCap = 16 * 1024;
const QByteArray secret = "fuzz-upstream-secret";

class Service : public HttpService
{
public:
    using HttpService::HttpService;
    using HttpService::incomingConnection;
};

struct Outcome
{
    QByteArray answer;
    QList<QJsonObject> announced;
};

Service &service()
{
    static Service *instance = [] {
        Fuzz::application();
        static QTemporaryDir folder;
        Fuzz::require(folder.isValid() && QDir(folder.path()).mkdir("run"), "temporary folder");
        // A stored configuration whose password must never reach a peer that is not local.
        QJsonObject root = QJsonDocument::fromJson(ProxyEntries::templateText()).object();
        const QJsonObject server{
            {"address", "gw.example"},
            {"port", 1080},
            {"users", QJsonArray{QJsonObject{{"user", "u"}, {"pass", QString(secret)}}}}};
        ProxyEntries::appendEntry(root, 60001, server, {});
        static const ConfigStore store(folder.filePath("run/config.json"));
        Fuzz::require(store.store(root), "stored configuration");
        auto *service = new Service(&store);
        // As with a signed-in page, so that API requests go all the way.
        service->setLocalApiState(HttpService::LocalApiState::Open);
        return service;
    }();
    return *instance;
}

Outcome exchange(const QList<QByteArray> &pieces)
{
    Service &http = service();
    int ends[2];
    Fuzz::require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
    const int client = ends[1];
    ::fcntl(client, F_SETFL, O_NONBLOCK);

    Outcome outcome;
    const auto connection =
        QObject::connect(&http, &HttpService::sigIshttpProxy,
                         [&](QJsonObject params) { outcome.announced.append(params); });
    http.incomingConnection(ends[0]);

    bool closed = false;
    const auto pump = [&] {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n > 0) {
                outcome.answer.append(buffer, int(n));
                continue;
            }
            closed = closed || n == 0;
            return;
        }
    };
    for (const QByteArray &piece : pieces) {
        for (int sent = 0; sent < piece.size() && !closed;) {
            const ssize_t n =
                ::send(client, piece.constData() + sent, piece.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += int(n);
            else if (errno != EAGAIN && errno != EWOULDBLOCK)
                break; // the service has closed its end
            pump();
        }
        pump();
    }
    // A client that sent all it had and stopped: the service must close, answered or not.
    ::shutdown(client, SHUT_WR);
    for (int round = 0; round < 100000 && !closed; ++round)
        pump();
    ::close(client);
    QObject::disconnect(connection);
    Fuzz::require(closed, "the service closes the connection", pieces.value(0));
    return outcome;
}

// Where the head ends: after the first line that is empty or a lone CR; -1 if none yet.
int headEnd(const QByteArray &data)
{
    int lineStart = 0;
    for (int i = 0; i < data.size(); ++i) {
        if (data.at(i) != '\n')
            continue;
        const int length = i - lineStart;
        if (length == 0 || (length == 1 && data.at(lineStart) == '\r'))
            return i + 1;
        lineStart = i + 1;
    }
    return -1;
}

// The status of a well-formed answer: status line, header fields, blank line, body. 0 if
// the answer is not one.
int statusOf(const QByteArray &answer)
{
    static const QRegularExpression shape(QStringLiteral(
        "^HTTP/1\\.1 (\\d{3}) [A-Za-z ]+\\r\\n(?:[A-Za-z-]+: [\\x21-\\x7e][\\x20-\\x7e]*\\r\\n)*"
        "\\r\\n"));
    const int blank = answer.indexOf("\r\n\r\n");
    if (blank < 0)
        return 0;
    const auto match = shape.match(QString::fromLatin1(answer.left(blank + 4)));
    return match.hasMatch() && match.capturedLength() == blank + 4 ? match.captured(1).toInt() : 0;
}

QByteArray bodyOf(const QByteArray &answer)
{
    return answer.mid(answer.indexOf("\r\n\r\n") + 4);
}

// A port the service picked itself differs from run to run; everything else must not.
QByteArray withoutChosenPort(QByteArray answer)
{
    static const QRegularExpression port(QStringLiteral("127\\.0\\.0\\.1:\\d+$"));
    return QString::fromLatin1(answer).replace(port, QStringLiteral("127.0.0.1:PORT")).toLatin1();
}

// Whether every Host field is one and the same IP address literal or localhost, by a looser
// pattern than the service's: a DNS name, which a page can point at this machine, never is.
bool namesThisMachine(const HttpRequestHead &head)
{
    static const QRegularExpression literal(
        QRegularExpression::anchoredPattern(QStringLiteral(
            "(?:localhost|\\d{1,3}(?:\\.\\d{1,3}){3}|\\[[0-9a-f:.]+\\])(?::\\d{1,5})?")),
        QRegularExpression::CaseInsensitiveOption);
    QList<QByteArray> hosts;
    for (const auto &field : head.headers) {
        if (field.first.toLower() == "host")
            hosts.append(field.second.toLower());
    }
    for (const QByteArray &host : hosts) {
        if (host != hosts.first() || !literal.match(QString::fromLatin1(host)).hasMatch())
            return false;
    }
    return !hosts.isEmpty();
}

void checkOutcome(const QByteArray &request, const Outcome &outcome)
{
    const int end = headEnd(request);
    const bool tooLarge = end > headCap || (end < 0 && request.size() > headCap);
    if (end < 0 && !tooLarge) {
        Fuzz::require(outcome.answer.isEmpty(), "no answer before the head is complete",
                      outcome.answer);
        Fuzz::require(outcome.announced.isEmpty(), "no proxy announced for an incomplete head");
        return;
    }
    const int status = statusOf(outcome.answer);
    Fuzz::require(status != 0, "a well-formed HTTP answer", outcome.answer);
    Fuzz::require(!outcome.answer.contains(secret), "no password to a peer that is not local",
                  outcome.answer);
    if (tooLarge) {
        Fuzz::require(status == 400 && bodyOf(outcome.answer) == "request header too large\n",
                      "a head over 16 KiB is refused", outcome.answer);
        Fuzz::require(outcome.announced.isEmpty(), "no proxy announced for a refused head");
        return;
    }

    const HttpRequestHead head = parseHttpHead(request.left(end)).head;
    const QByteArray body = bodyOf(outcome.answer);
    const bool portAnswer = status == 200 && body.startsWith("127.0.0.1:");
    Fuzz::require(status == 200 || status == 400 || status == 403 || status == 404 || status == 409,
                  "a known status", outcome.answer);
    Fuzz::require(status != 200 || head.requestLine.startsWith("GET"), "only GET succeeds",
                  outcome.answer);
    Fuzz::require(!head.hasHeader("Origin") || status == 403, "a web page is refused",
                  outcome.answer);
    Fuzz::require(outcome.announced.size() == (portAnswer ? 1 : 0),
                  "one proxy announced with each port answer", outcome.answer);
    if (portAnswer) {
        const int port = body.mid(int(qstrlen("127.0.0.1:"))).toInt();
        Fuzz::require(port >= 1 && port <= 65535 &&
                          outcome.announced.constFirst().value("proxy").toInt() == port,
                      "the announced proxy is the port answered", outcome.answer);
    }
    // HTTP/1.1 requires a Host; a bare HTTP/1.0 request, which no browser sends, is served.
    const bool bare = !head.hasHeader("Host");
    const bool http10 = head.requestLine.trimmed().endsWith(" HTTP/1.0");
    Fuzz::require(!bare || http10 || status == 400 || status == 403,
                  "a request without Host needs HTTP/1.0", outcome.answer);
    Fuzz::require(status == 403 || status == 400 || namesThisMachine(head) || (bare && http10),
                  "only a Host that is an address or localhost is answered", outcome.answer);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const quint8 seed = data[0];
    const quint8 filler = data[1];
    QByteArray request(reinterpret_cast<const char *>(data) + 2, int(size) - 2);
    if (filler & 0x80) {
        const int lineEnd = request.indexOf('\n');
        const int at = lineEnd < 0 ? request.size() : lineEnd + 1;
        request.insert(at, "X-Filler: " + QByteArray(16256 + (filler & 0x7f), 'f') + "\r\n");
    }

    const Outcome whole = exchange({request});
    checkOutcome(request, whole);
    const Outcome pieced = exchange(Fuzz::pieces(request, seed));
    checkOutcome(request, pieced);

    Fuzz::require(withoutChosenPort(whole.answer) == withoutChosenPort(pieced.answer),
                  "the same answer in pieces as in one piece",
                  whole.answer + "\n---\n" + pieced.answer);
    Fuzz::require(whole.announced.size() == pieced.announced.size(),
                  "the same announcements in pieces as in one piece");
    for (int i = 0; i < whole.announced.size(); ++i) {
        QJsonObject a = whole.announced.at(i);
        QJsonObject b = pieced.announced.at(i);
        if (bodyOf(whole.answer) != bodyOf(pieced.answer)) {
            a.remove("proxy"); // chosen by the service, differently each time
            b.remove("proxy");
        }
        Fuzz::require(a == b, "the same query in pieces as in one piece");
    }
    return 0;
}
