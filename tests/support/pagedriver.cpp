#include "pagedriver.h"

#include <QDeadlineTimer>
#include <QEventLoop>
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
