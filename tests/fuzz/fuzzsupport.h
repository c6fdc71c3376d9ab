#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QList>
#include <QString>

#include <cstdio>
#include <cstdlib>

// What the fuzz targets share: one application for the whole run, quiet logs, and checks
// that stop the run like a crash, so that libFuzzer keeps the input.
namespace Fuzz {

inline void require(bool condition, const char *what, const QByteArray &detail = QByteArray())
{
    if (condition)
        return;
    std::fprintf(stderr, "fuzz: invariant broken: %s\n", what);
    if (!detail.isEmpty()) {
        // Printable ASCII and line ends as they are, every other byte as \xNN.
        QByteArray shown;
        for (const char c : detail.left(4000)) {
            if ((c >= 0x20 && c < 0x7f && c != '\\') || c == '\n')
                shown += c;
            else
                shown += "\\x" + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
        }
        std::fprintf(stderr, "fuzz: %s\n", shown.constData());
    }
    std::abort();
}

inline QCoreApplication &application()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = [] {
        // The plain Unix event loop: one processEvents() is one poll, and cheaper than glib's.
        qputenv("QT_NO_GLIB", "1");
        // The product logs every request and message; at fuzzing speed that would be most
        // of the time spent.
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
        return new QCoreApplication(argc, argv);
    }();
    return *app;
}

// The client's objects take run/ from the current folder when they are made. The folder is
// changed back at once, because libFuzzer names its corpus and crash files relative to it.
template <typename Make> auto inFolder(const QString &folder, Make make)
{
    const QString previous = QDir::currentPath();
    require(QDir::setCurrent(folder), "change to the temporary folder");
    auto made = make();
    require(QDir::setCurrent(previous), "change back from the temporary folder");
    return made;
}

// Splits data into pieces whose lengths come from seed: 1 to 2^(seed % 12) bytes each, so
// that some inputs go byte by byte and others in a few large pieces. At most maxPieces, the
// last one taking the rest, which keeps each run short.
inline QList<QByteArray> pieces(const QByteArray &data, quint8 seed, int maxPieces = 48)
{
    QList<QByteArray> result;
    quint32 state = 0x9e3779b9u ^ (quint32(seed) << 8) ^ quint32(data.size());
    const quint32 largest = 1u << (seed % 12);
    for (int at = 0; at < data.size();) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const int length =
            result.size() == maxPieces - 1 ? data.size() - at : int(1 + state % largest);
        result.append(data.mid(at, length));
        at += length;
    }
    return result;
}

} // namespace Fuzz
