#include "pagedriver.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QWebEnginePage>

#include <memory>

PageDriver::PageDriver(QWebEnginePage *page)
    : m_page(page)
{}

QVariant PageDriver::eval(const QString &script, int timeoutMs)
{
    // The page may navigate away before it answers; the shared state outlives the loop.
    auto result = std::make_shared<QVariant>();
    auto done = std::make_shared<bool>(false);
    auto loop = std::make_shared<QEventLoop>();
    QTimer::singleShot(timeoutMs, loop.get(), &QEventLoop::quit);
    m_page->runJavaScript(script, [result, done, loop](const QVariant &value) {
        *result = value;
        *done = true;
        loop->quit();
    });
    if (!*done)
        loop->exec();
    return *done ? *result : QVariant();
}

bool PageDriver::waitFor(const QString &condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    const QString script =
        QStringLiteral("(function () { try { return !!(%1); } catch (e) { return false; } })()")
            .arg(condition);
    while (!deadline.hasExpired()) {
        if (eval(script, 2000).toBool())
            return true;
        QEventLoop pause;
        QTimer::singleShot(50, &pause, &QEventLoop::quit);
        pause.exec();
    }
    return false;
}

QString PageDriver::url() const
{
    return m_page->url().toString();
}

bool PageDriver::signIn(const QString &email, const QString &password, const QString &language)
{
    if (!waitFor(QStringLiteral("pararms && pararms.i18nLang")))
        return false;
    eval(
        QStringLiteral("$('#username').val(%1); $('#password').val(%2); $('.login-form').submit();")
            .arg(quoted(email), quoted(password)));
    if (!waitFor(QStringLiteral("$('.nz-msgbox .nz-msgbox-ok:visible').length == 1")))
        return false;
    eval(QStringLiteral("$('.nz-msgbox .nz-msgbox-ok').click()"));
    return waitFor(QStringLiteral("location.href == 'qrc:/html/index%1.html'").arg(language)) &&
           waitFor(QStringLiteral("myObject && pararms && pararms.i18nLang && baseuser"));
}

bool PageDriver::openMenu(const QString &pageFile, const QString &readyCondition)
{
    // The content shown so far is marked, so that the condition cannot be met by the page
    // that is about to be replaced.
    eval(QStringLiteral("$('.page-content').children().attr('data-replaced', '1');"
                        " $('.page-sidebar-menu li a[ahref*=\"%1\"]').click()")
             .arg(pageFile));
    return waitFor(QStringLiteral("$('.page-content [data-replaced], .page-content[data-replaced]')"
                                  ".length == 0 && (%1)")
                       .arg(readyCondition));
}

QString PageDriver::quoted(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}
