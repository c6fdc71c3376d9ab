#pragma once

#include <QString>
#include <QStringList>

// Collects every qDebug line written while it exists (one instance at a time).
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const;
    int count(const QString &prefix) const;
    bool contains(const QString &prefix) const { return count(prefix) > 0; }
    void clear();
};
