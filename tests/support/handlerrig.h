#pragma once

#include "bridge/mainchannel.h"
#include "bridge/pagehandlers.h"
#include "core/v2raymanager.h"
#include "http/httpservice.h"
#include "support/fakewebserver.h"
#include "util/updateversion.h"

#include <QSettings>
#include <QStringList>
#include <QThread>

// The page handlers wired as the window wires them, without a window or web view: the real
// settings file, proxy runtime, version check and HTTP service on the service's port, in
// the current folder, the service on a thread of its own as in the client. Every page call
// is recorded.
struct HandlerRig
{
    // Signed in, the rig is where the index page has reported its account.
    enum Account { SignedIn, SignedOut };
    explicit HandlerRig(Account account = SignedIn)
    {
        service.moveToThread(&serviceThread);
        serviceThread.start();
        service.listenOnServicePort();
        runtime.prepareNextCore();
        handlers.wire(&channel);
        if (account == SignedIn)
            send(R"({"code":11,"data":{"username":"ann@example.com","password":"pw"}})");
    }
    ~HandlerRig()
    {
        QThread *const home = QThread::currentThread();
        onServiceThread([this, home] { service.moveToThread(home); });
        serviceThread.quit();
        serviceThread.wait();
    }

    // Runs f on the service's thread and waits for it.
    template <typename F> void onServiceThread(F f)
    {
        QMetaObject::invokeMethod(&service, f, Qt::BlockingQueuedConnection);
    }

    void send(const QByteArray &message) { channel.sendMsg(QString::fromUtf8(message)); }
    QString last() const { return scripts.isEmpty() ? QString() : scripts.last(); }
    qint64 corePid() const { return runtime.coreProcessId(); }
    // The IP check and the version check ask this website instead.
    void pointAt(const FakeWebServer &web, int deadlineMs = 10000)
    {
        handlers.setIpGeoUrl(web.url("/json"), deadlineMs);
        updateVersion.setWebsiteUrl(web.url());
    }

    QStringList scripts;
    QSettings settings{QStringLiteral("config.ini"), QSettings::IniFormat};
    V2RayManager runtime;
    QThread serviceThread;
    HttpService service{runtime.configStore()};
    UpdateVersion updateVersion;
    MainChannel channel;
    PageHandlers handlers{&settings,
                          &runtime,
                          &service,
                          &updateVersion,
                          [this](const QString &script) { scripts << script; },
                          {QStringLiteral("127.0.0.1")}};
};
