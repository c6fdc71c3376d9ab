#pragma once

#include "accountfixture.h"
#include "app/mainwindow.h"
#include "pagedriver.h"
#include "support/runtimefolder.h"

#include <QJsonObject>
#include <QStringList>

#include <memory>

class AccountService;

// The real client window in a fresh runtime folder, without cookies, with the stand-in
// account service on the address the client is built with, the messages the pages send over
// the bridge recorded in order, and a driver for the shown document.
class ClientSession : public QObject
{
    Q_OBJECT

public:
    static AccountFixture defaultFixture();

    ClientSession(const QString &language, bool signedIn,
                  const AccountFixture &fixture = defaultFixture());

    // Waits for the message box with that text, checks that it left no overlay and closes it.
    void dismissBox(const QString &text);

    // Made first, so it outlives the window; with the core, which a start must be seen to run.
    RuntimeFolder folder;
    QString error; // empty when everything is up
    AccountService *service = nullptr;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<PageDriver> page;
    QStringList codes;       // of the recorded messages, oldest first
    QList<QJsonObject> data; // their payloads
};
