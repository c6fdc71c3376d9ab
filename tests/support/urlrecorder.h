#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

// Takes the place of the desktop's browser for a URL scheme (QDesktopServices::setUrlHandler),
// so a test sees what the client asked to open and nothing opens.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened << url; }
};
