#pragma once

#include "accountfixture.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QStringList>

class AccountService;
class MainWindow;
class PageDriver;

// The real client window in the current working directory, with the stand-in account
// service on the address the client is built with, the messages the pages send over the
// bridge recorded in order, and a driver for the shown document.
class ClientSession : public QObject
{
    Q_OBJECT

public:
    static AccountFixture defaultFixture();

    ClientSession(const QString &language, bool signedIn,
                  const AccountFixture &fixture = defaultFixture(), QObject *parent = nullptr);
    ~ClientSession() override;

    // Empty when everything is up.
    QString error() const { return m_error; }
    // The codes of the recorded messages, oldest first.
    QStringList codes() const;

    AccountService *service = nullptr;
    MainWindow *window = nullptr;
    PageDriver *page = nullptr;
    QList<QPair<int, QJsonObject>> messages;

private:
    QString m_error;
};
