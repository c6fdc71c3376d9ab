#pragma once

#include <QObject>

class QSocketNotifier;

// Makes SIGTERM, SIGINT and SIGHUP (a desktop logout, Ctrl-C, a service manager) end the
// event loop like the tray's quit action, so that the quit clean-up runs. The handler only
// writes to a socket pair; the quit happens on the GUI thread. Does nothing on Windows.
class QuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

signals:
    // Emitted on the GUI thread just before the event loop is told to end.
    void received();

private:
    void onSignal();

    QSocketNotifier *m_notifier = nullptr;
};
