#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMutex>
#include <QSaveFile>
#include <QString>

#include <functional>
#include <memory>

// The enciphered core configuration file (run/config.json). Every read reads the file, and
// every write replaces it atomically, so a crash or a full disk never leaves a truncated
// file: on failure the old file stays. Deciphering is the costly part of a read; while the
// file still holds exactly the bytes this store last wrote, what was written is given back
// instead. Reads and writes may come from different threads: a read waits for a write in
// progress, and a writer may hold reads back for longer, so that a reader on another thread
// gets the new file, not the old one.
class ConfigStore
{
public:
    explicit ConfigStore(const QString &path);

    QString path() const { return m_path; }

    // The plain JSON text. A missing or empty file reads as the empty template, so the first
    // start on a fresh install works; a file that cannot be opened gives an empty result.
    QByteArray readPlain(bool *ok = nullptr) const;

    // Reads and parses the document; false (and logged) when it cannot be opened or parsed.
    bool load(QJsonObject *root) const;

    // Writes the document in indented form, enciphered. False (and logged) on failure.
    // beforeCommit runs once the new bytes are all in the temporary file, before it replaces
    // the stored one; a failure after that leaves the old file in place.
    bool store(const QJsonObject &root, const std::function<void()> &beforeCommit = {}) const;
    bool storePlain(const QByteArray &json) const;

    // A store in two steps, for a writer that has something to do between them: prepare
    // writes the new bytes in full beside the file (null, and logged, when it cannot), and
    // commit puts them in place. Reads meanwhile get the old file; a pending write that is
    // dropped leaves no trace.
    class Pending
    {
    public:
        explicit Pending(const QString &path)
            : file(path)
        {}
        QSaveFile file;
        QByteArray stored;
        QByteArray plain;
        QJsonObject root;
        bool hasRoot = false;
    };
    std::unique_ptr<Pending> prepare(const QJsonObject &root) const;
    bool commit(std::unique_ptr<Pending> pending,
                const std::function<void()> &beforeCommit = {}) const;

    // While held, reads wait; they then read what is stored by the time of the release.
    void holdReads() const { m_mutex.lock(); }
    void releaseReads() const { m_mutex.unlock(); }

private:
    // What the last write put into the file; empty stored bytes when unknown.
    struct Written
    {
        QByteArray stored;
        QByteArray plain;
        QJsonObject root;
        bool hasRoot = false;
    };

    std::unique_ptr<Pending> prepareBytes(const QByteArray &json, const QJsonObject *root) const;
    QByteArray readStored(bool *ok) const;
    QByteArray plainOf(const QByteArray &stored, QJsonObject *written) const;

    QString m_path;
    // Guards the file and what was written last. Recursive, so that the holder of reads may
    // still read and write.
    mutable QRecursiveMutex m_mutex;
    mutable Written m_written;
};
