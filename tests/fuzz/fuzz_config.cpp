// The stored configuration: CipherCodec::decryptText on any input, and the client's edit
// cycle (V2RayManager add and remove, through ProxyEntries and ConfigStore) on any contents
// of run/config.json, without starting the core. Each input is tried twice as the file: as
// it is, which mostly exercises the cipher and the refusals, and enciphered as the client
// writes it, which brings the JSON documents through the edits.
//
// A file that cannot be read or parsed stays byte for byte after a refused edit; one that
// parses is edited, and the stored result deciphers to JSON holding the entry, and after its
// removal to the original without the entry; nothing but config.json is left in run/.
#include "fuzzsupport.h"

#include "core/proxyentries.h"
#include "core/v2raymanager.h"
#include "util/ciphercodec.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <algorithm>
#include <optional>

namespace {

constexpr int localPort = 60123;

const QJsonObject &startRequest()
{
    static const QJsonObject request{
        {"ip", "gw.example"}, {"port", "1080"},       {"local_port", localPort},
        {"username", "vx_u"}, {"password", "k3y"},    {"counrtyList", "US"},
        {"gender", true},     {"proxyType", "SOCKS"}, {"sid", "sid1"},
    };
    return request;
}

QTemporaryDir &folder()
{
    static QTemporaryDir instance;
    return instance;
}

QString storedPath()
{
    return folder().filePath("run/config.json");
}

V2RayManager &manager()
{
    static V2RayManager *instance = [] {
        Fuzz::application();
        Fuzz::require(folder().isValid() && QDir(folder().path()).mkdir("run"), "temporary folder");
        return Fuzz::inFolder(folder().path(), [] { return new V2RayManager; });
    }();
    return *instance;
}

QByteArray storedBytes()
{
    QFile file(storedPath());
    Fuzz::require(file.open(QIODevice::ReadOnly), "run/config.json is there");
    return file.readAll();
}

void writeStored(const QByteArray &bytes)
{
    QFile file(storedPath());
    Fuzz::require(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                      file.write(bytes) == bytes.size(),
                  "run/config.json written");
}

// The document the stored bytes hold: an empty file is the empty template.
std::optional<QJsonObject> documentOf(const QByteArray &stored)
{
    const QByteArray plain = stored.trimmed().isEmpty() ? ProxyEntries::templateText()
                                                        : CipherCodec().decryptText(stored);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(plain, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

QJsonArray without(const QJsonValue &array, const char *key, const QString &value)
{
    QJsonArray kept;
    for (const QJsonValue &element : array.toArray()) {
        if (element.toObject().value(QLatin1String(key)) != QJsonValue(value))
            kept.append(element);
    }
    return kept;
}

// The document without any trace of the entry: what an add and a removal must leave.
QJsonObject stripped(QJsonObject document)
{
    const QString outTag = ProxyEntries::outboundTag(localPort);
    document.insert("inbounds", without(document.value("inbounds"), "tag",
                                        ProxyEntries::inboundTag(localPort)));
    document.insert("outbounds", without(document.value("outbounds"), "tag", outTag));
    QJsonObject routing = document.value("routing").toObject();
    routing.insert("rules", without(routing.value("rules"), "outboundTag", outTag));
    document.insert("routing", routing);
    return document;
}

void requireOnlyConfigInRun()
{
    Fuzz::require(QDir(folder().filePath("run")).entryList(QDir::Files | QDir::Hidden) ==
                      QStringList{"config.json"},
                  "nothing but config.json left in run/");
}

void editCycle(const QByteArray &stored)
{
    writeStored(stored);
    const std::optional<QJsonObject> original = documentOf(stored);
    const quint16 port = manager().addProxyEntry(startRequest());
    requireOnlyConfigInRun();
    if (!original) {
        Fuzz::require(port == 0, "an unreadable configuration is not edited");
        Fuzz::require(storedBytes() == stored, "a refused edit leaves the file byte for byte");
        Fuzz::require(!manager().removeProxyEntry(localPort), "nothing removed from it either");
        Fuzz::require(storedBytes() == stored, "a refused removal leaves the file byte for byte");
        return;
    }
    Fuzz::require(port == localPort, "a configuration that parses gets the entry");

    const std::optional<QJsonObject> added = documentOf(storedBytes());
    Fuzz::require(added.has_value(), "the stored file deciphers to a JSON object");
    const QJsonArray outbounds = added->value("outbounds").toArray();
    const auto entry = std::find_if(outbounds.begin(), outbounds.end(), [](const QJsonValue &v) {
        return v.toObject().value("tag") == QJsonValue(ProxyEntries::outboundTag(localPort));
    });
    Fuzz::require(entry != outbounds.end(), "the entry is stored");
    const QJsonObject server =
        (*entry).toObject().value("settings").toObject().value("servers")[0].toObject();
    Fuzz::require(server.value("address") == QJsonValue("gw.example") &&
                      server.value("port") == QJsonValue(1080),
                  "the entry's server is the requested one");
    if (!ProxyEntries::hasEntry(*original, localPort))
        Fuzz::require(stripped(*added).value("inbounds") != added->value("inbounds") &&
                          stripped(*added).value("routing") != added->value("routing"),
                      "a new entry has its inbound and rule");

    Fuzz::require(manager().removeProxyEntry(localPort), "the entry is removed");
    requireOnlyConfigInRun();
    const std::optional<QJsonObject> removed = documentOf(storedBytes());
    Fuzz::require(removed.has_value(), "the file deciphers after the removal");
    // Other members, entries and rules are kept through both edits.
    Fuzz::require(*removed == stripped(*original), "no trace of the entry, the rest kept");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    manager();

    CipherCodec codec;
    codec.decryptText(input);
    const QByteArray enciphered = codec.encryptUtf8(input);
    Fuzz::require(codec.decryptText(enciphered) == input, "the cipher gives back what it took");

    editCycle(input);
    editCycle(enciphered);
    return 0;
}
