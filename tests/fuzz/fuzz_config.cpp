// The stored configuration: CipherCodec::decryptText on any input, and the client's edit
// cycle (V2RayManager add and remove) on any contents of run/config.json, without starting
// the core. Each input is the file twice: as it is, which mostly exercises the cipher and the
// refusals, and enciphered as the client writes it, which brings JSON through the edits.
// A file that cannot be read stays byte for byte; one that parses gets the entry and loses
// it again, and nothing else of it changes; nothing but config.json is left in run/.
#include "fuzzsupport.h"

#include "core/proxyentries.h"
#include "core/v2raymanager.h"
#include "util/ciphercodec.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <optional>

namespace {

constexpr int localPort = 60123;

QTemporaryDir &folder()
{
    static QTemporaryDir instance;
    return instance;
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
    QFile file(folder().filePath("run/config.json"));
    Fuzz::require(file.open(QIODevice::ReadOnly), "run/config.json is there");
    Fuzz::require(QDir(folder().filePath("run")).entryList(QDir::Files | QDir::Hidden) ==
                      QStringList{"config.json"},
                  "nothing but config.json left in run/");
    return file.readAll();
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

void editCycle(const QByteArray &stored)
{
    QFile file(folder().filePath("run/config.json"));
    Fuzz::require(file.open(QIODevice::WriteOnly) && file.write(stored) == stored.size(),
                  "run/config.json written");
    file.close();
    const std::optional<QJsonObject> original = documentOf(stored);
    const QJsonObject request{
        {"ip", "gw.example"}, {"port", "1080"},       {"local_port", localPort},
        {"username", "vx_u"}, {"password", "k3y"},    {"counrtyList", "US"},
        {"gender", true},     {"proxyType", "SOCKS"}, {"sid", "sid1"},
    };
    const quint16 port = manager().addProxyEntry(request);
    if (!original) {
        Fuzz::require(port == 0, "an unreadable configuration is not edited");
        Fuzz::require(!manager().removeProxyEntry(localPort), "nothing removed from it either");
        Fuzz::require(storedBytes() == stored, "a refused edit leaves the file byte for byte");
        return;
    }
    Fuzz::require(port == localPort, "a configuration that parses gets the entry");

    const std::optional<QJsonObject> added = documentOf(storedBytes());
    Fuzz::require(added.has_value(), "the stored file deciphers to a JSON object");
    bool found = false;
    for (const QJsonValue &outbound : added->value("outbounds").toArray()) {
        const QJsonValue server = outbound["settings"]["servers"][0];
        found = found || (outbound["tag"] == ProxyEntries::outboundTag(localPort) &&
                          server["address"] == QJsonValue("gw.example") &&
                          server["port"] == QJsonValue(1080));
    }
    Fuzz::require(found, "the entry is stored with the requested server");
    if (!ProxyEntries::hasEntry(*original, localPort))
        Fuzz::require(
            added->value("inbounds").toArray().contains(ProxyEntries::inbound(localPort)) &&
                added->value("routing")["rules"].toArray().contains(ProxyEntries::rule(localPort)),
            "a new entry has its inbound and rule");

    Fuzz::require(manager().removeProxyEntry(localPort), "the entry is removed");
    // The file handling loses nothing: the stored result is the removal from what was read.
    QJsonObject expected = *original;
    ProxyEntries::removeEntry(expected, localPort);
    Fuzz::require(documentOf(storedBytes()) == expected, "no trace of the entry, the rest kept");
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
