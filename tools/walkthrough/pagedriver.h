#pragma once

#include <QString>
#include <QVariant>

class QWebEnginePage;

// Reads and acts on the document shown in the client's web view, from the caller's event
// loop, and knows the two things every journey through the client does: signing in through
// the login form and opening a content page from the menu.
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

    // Fills in and sends the login form and confirms the success box; true once the index
    // document of the language has its parameters.
    bool signIn(const QString &email, const QString &password, const QString &language);

    // Clicks the menu item that opens that content page and waits for the condition.
    bool openMenu(const QString &pageFile, const QString &readyCondition);

    // The text as a script string literal.
    static QString quoted(const QString &text);

private:
    QWebEnginePage *m_page;
};
