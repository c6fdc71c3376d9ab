// The bridge's entry point for the pages, MainChannel::sendMsg, with any text (the input
// decoded as UTF-8). A message reaches at most one handler, text that is no JSON object
// reaches none, and the masked text the log shows of a message holds none of the passwords
// it carries, whatever their JSON type and layout.
#include "fuzzsupport.h"

#include "bridge/mainchannel.h"
#include "util/logmask.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QSignalSpy>

#include <memory>
#include <vector>

namespace {

// The one signal a message raised, with its arguments; an empty name for none.
struct Emission
{
    QByteArray signal;
    QList<QVariant> arguments;
    int count = 0;
};

Emission send(MainChannel &channel, const QString &text)
{
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    const QMetaObject *meta = channel.metaObject();
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Signal)
            spies.emplace_back(new QSignalSpy(&channel, meta->method(i)));
    }
    channel.sendMsg(text);

    Emission emission;
    for (const auto &spy : spies) {
        emission.count += spy->count();
        if (!spy->isEmpty()) {
            emission.signal = spy->signal();
            emission.arguments = spy->constFirst();
        }
    }
    Fuzz::require(emission.count <= 1, "a message reaches at most one handler", text.toUtf8());
    return emission;
}

bool isSecret(const QString &key)
{
    return key == QLatin1String("password") || key == QLatin1String("proxy_authkey");
}

// Whether shown is original with the value of every secret key, at any depth and of any
// type, replaced by "***". Members are compared in the order the parser keeps them, since
// Qt's lookup by key misses keys holding a raw NUL.
bool maskedLike(const QJsonValue &original, const QJsonValue &shown)
{
    if (original.isArray()) {
        const QJsonArray a = original.toArray();
        const QJsonArray b = shown.toArray();
        if (!shown.isArray() || a.size() != b.size())
            return false;
        for (int i = 0; i < a.size(); ++i) {
            if (!maskedLike(a.at(i), b.at(i)))
                return false;
        }
        return true;
    }
    if (original.isObject()) {
        const QJsonObject a = original.toObject();
        const QJsonObject b = shown.toObject();
        if (!shown.isObject() || a.size() != b.size())
            return false;
        for (auto i = a.constBegin(), j = b.constBegin(); i != a.constEnd(); ++i, ++j) {
            if (i.key() != j.key())
                return false;
            if (isSecret(i.key()) ? j.value() != QJsonValue(QStringLiteral("***"))
                                  : !maskedLike(i.value(), j.value()))
                return false;
        }
        return true;
    }
    return original == shown;
}

// The masked text of a message must read as the message with its secrets masked, and
// everything else as it was.
void checkMaskedText(const QString &text)
{
    const QString masked = LogMask::maskedText(text);
    const QJsonDocument shown = QJsonDocument::fromJson(masked.toUtf8());
    const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
    Fuzz::require(shown.isObject() && maskedLike(message, shown.object()),
                  "the masked text reads as the message with its secrets masked",
                  (text + QLatin1String("\n---\n") + masked).toUtf8());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::application();
    static MainChannel *channel = new MainChannel;

    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const Emission raw = send(*channel, text);
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    if (!document.isObject()) {
        Fuzz::require(raw.count == 0, "text that is no JSON object reaches no handler",
                      text.toUtf8());
        return 0;
    }
    checkMaskedText(text);

    // The pages send JSON.stringify's compact form; the message must not depend on its
    // layout. Qt's own two forms are compared, not the input: Qt writes integers beyond 2^53
    // as doubles and orders keys holding a raw NUL its own way, which no page can send.
    QList<Emission> emissions;
    for (const auto format : {QJsonDocument::Compact, QJsonDocument::Indented}) {
        const QString written = QString::fromUtf8(document.toJson(format));
        emissions.append(send(*channel, written));
        checkMaskedText(written);
    }
    Fuzz::require(emissions.at(0).signal == emissions.at(1).signal &&
                      emissions.at(0).arguments == emissions.at(1).arguments,
                  "the same message compact and indented", text.toUtf8());
    return 0;
}
