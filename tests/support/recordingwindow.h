#pragma once

#include "app/mainwindow.h"
#include "bridge/mainchannel.h"
#include "support/fakewebserver.h"
#include "util/updateversion.h"

#include <QStringList>
#include <QUrl>
#include <QWebEngineView>

// The main window with its handlers, the real settings file and the real core; what the
// page is told is read from the one function that runs every page call.
class RecordingWindow : public MainWindow
{
public:
    // The login page would send its own start-up messages whenever it finishes loading;
    // these tests send every message themselves.
    RecordingWindow() { findChild<QWebEngineView *>()->setUrl(QUrl("about:blank")); }

    QStringList scripts;
    void pointAt(const FakeWebServer &web, int ipTimeoutMs = 10000)
    {
        ipGeoUrl = web.url("/json");
        ipCheckTimeoutMs = ipTimeoutMs;
        findChild<UpdateVersion *>()->setWebsiteUrl(web.url());
    }
    void setIpGeoUrl(const QString &url) { ipGeoUrl = url; }
    void send(const QByteArray &message) { findChild<MainChannel *>()->sendMsg(message); }
    QString last() const { return scripts.isEmpty() ? QString() : scripts.last(); }

protected:
    void runPageScript(const QString &script) override { scripts << script; }
};
