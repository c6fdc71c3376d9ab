#pragma once

#include "accountfixture.h"

#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

class AccountService;
class FakeWebServer;
class MainWindow;
class PageDriver;
class ResidentialGateway;

// The real client window in the current working directory, with the stand-in account
// service on the address the client is built with and a stand-in gateway, the messages the
// pages send over the bridge recorded in order, and a driver for the shown document.
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

    // Signs in through the login form and confirms the success box; true once the index
    // document of the language has its parameters.
    bool signIn(const QString &email, const QString &password, const QString &language);
    // Clicks the menu item that opens that content page and waits for the script's marker.
    bool openMenu(const QString &pageFile, const QString &readyCondition);

    QStringList codes() const;

    // What takes the account service's place on its address, for the pages' error paths.
    enum class ServiceFault {
        Gone,     // nobody listens
        Garbage,  // 200 with bytes that are not JSON
        CutShort, // the connection closes half-way through a JSON answer
    };
    void breakService(ServiceFault fault);
    // The requests that reached the faulty service (none while it is gone).
    int faultyServiceRequests() const;
    // The stand-in account service again; true once it listens.
    bool restoreService();

    AccountService *service = nullptr;
    ResidentialGateway *gateway = nullptr;
    MainWindow *window = nullptr;
    PageDriver *page = nullptr;
    QList<QPair<int, QJsonObject>> messages;

private:
    bool listenService();

    AccountFixture m_fixture;
    FakeWebServer *m_faulty = nullptr;
    QString m_error;
};

Q_DECLARE_METATYPE(ClientSession::ServiceFault)
