#include "dialoganswerer.h"

#include <QAbstractButton>
#include <QApplication>

DialogAnswerer::DialogAnswerer(QMessageBox::StandardButton answer, QObject *parent)
    : QObject(parent)
    , m_answer(answer)
{
    m_timer.setInterval(20);
    connect(&m_timer, &QTimer::timeout, this, &DialogAnswerer::poll);
    m_timer.start();
}

void DialogAnswerer::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    m_timer.stop();
    ++answered;
    title = box->windowTitle();
    text = box->text();
    const auto buttons = box->buttons();
    for (QAbstractButton *button : buttons)
        buttonTexts.append(button->text());
    if (QAbstractButton *button = box->button(m_answer))
        button->click();
    else
        box->reject();
}
