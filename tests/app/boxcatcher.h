#pragma once

// Finds the modal message boxes a window opens, remembers their title and text, and closes
// them, so that no test is ever left blocked in a box's event loop.

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

class BoxCatcher : public QObject
{
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QList<QMessageBox::StandardButton> buttons;
    };

    explicit BoxCatcher(QObject *parent = nullptr) : QObject(parent)
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { closeModal(); });
        m_timer.start();
    }

    const QList<Box> &boxes() const { return m_boxes; }
    int count() const { return m_boxes.size(); }
    QString lastText() const { return m_boxes.isEmpty() ? QString() : m_boxes.last().text; }
    QString lastTitle() const { return m_boxes.isEmpty() ? QString() : m_boxes.last().title; }
    void clear() { m_boxes.clear(); }

private:
    void closeModal()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box->isHidden())
            return;
        QList<QMessageBox::StandardButton> buttons;
        for (QAbstractButton *button : box->buttons())
            buttons << box->standardButton(button);
        m_boxes.append({box->windowTitle(), box->text(), box->icon(), buttons});
        box->done(QMessageBox::Ok);
    }

    QTimer m_timer;
    QList<Box> m_boxes;
};
