#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>

// Answers the next modal message box with the given button, recording what it showed.
// A modal box runs its own event loop, so the answer has to come from a timer.
class DialogAnswerer : public QObject
{
    Q_OBJECT

public:
    explicit DialogAnswerer(QMessageBox::StandardButton answer, QObject *parent = nullptr);

    int answered = 0;
    QString title;
    QString text;
    QStringList buttonTexts;

private:
    void poll();

    QMessageBox::StandardButton m_answer;
    QTimer m_timer;
};
