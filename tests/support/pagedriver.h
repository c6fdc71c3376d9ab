#pragma once

#include <QString>
#include <QVariant>

class QWebEnginePage;

// Reads and acts on the document shown in a real web view, from a test's event loop.
class PageDriver
{
public:
    explicit PageDriver(QWebEnginePage *page);

    // The value of a script expression, once the page has run it; an invalid variant when
    // the page did not answer in time.
    QVariant eval(const QString &script, int timeoutMs = 5000);

    // Repeats the expression until it is true or the time runs out.
    bool waitFor(const QString &condition, int timeoutMs = 15000);

    QString url() const;

private:
    QWebEnginePage *m_page;
};
