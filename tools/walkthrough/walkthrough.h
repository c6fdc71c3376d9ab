#pragma once

#include <QObject>
#include <QString>
#include <QTextStream>

#include <memory>

class AccountService;
class MainWindow;
class PageDriver;
class ResidentialGateway;

// A new user's whole journey through the real client, its real pages and the real core,
// against the stand-in account service and residential gateway on loopback: one printed line
// per step with what came of it, and a screenshot of the window after each step. Stops at the
// first step that fails. Whatever happens, the core is stopped, the configuration reset and
// the stand-ins closed before it returns.
class Walkthrough : public QObject
{
    Q_OBJECT

public:
    // folder: where the client runs (folder/client) and the screenshots go (folder/shots).
    // core: the proxy core the client's run/corvane points at.
    Walkthrough(const QString &folder, const QString &core, QObject *parent = nullptr);
    ~Walkthrough() override;

    // 0 when every step passed.
    int run();

    // Ends the journey at once (Ctrl-C): stops the core, resets the configuration, closes
    // the stand-ins and says so.
    void abandon();

private:
    struct Step
    {
        const char *name;
        const char *title;
        bool (Walkthrough::*run)();
    };

    // The steps. Each sets m_outcome: what it saw, or why it failed.
    bool startUp();
    bool signIn();
    bool openResidentialPage();
    bool startStickyProxy();
    bool requestThroughProxy();
    bool openRunList();
    bool removeProxy();
    bool buildApiLink();
    bool callApi();
    bool requestThroughApiPort();
    bool switchToEnglish();
    bool logOut();
    bool quitClient();

    bool fail(const QString &reason);
    bool relays(quint16 port);
    bool waitUntilClosed(quint16 port);
    QString gatewaySaw() const;
    void screenshot(int number, const char *name);
    void shutDown();

    QString m_folder;
    QString m_core;
    QString m_outcome;
    QTextStream m_out;
    AccountService *m_service = nullptr;
    ResidentialGateway *m_gateway = nullptr;
    MainWindow *m_window = nullptr;
    std::unique_ptr<PageDriver> m_page;
    quint16 m_stickyPort = 60003;
    quint16 m_apiPort = 60005;
    QString m_apiLink;
};
