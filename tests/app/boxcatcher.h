#pragma once

// Finds the modal message boxes a window opens, remembers their title and text, and closes
// them, so that no test is ever left blocked in a box's event loop. A box that asks is answered
// with the button set by answer(), or with its default button; after holdQuestions(), only once
// it has been open that long, so that a test can see one go away by itself.

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QMetaEnum>
#include <QObject>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

#include <algorithm>

class BoxCatcher : public QObject
{
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QList<QMessageBox::StandardButton> buttons;
        QMessageBox::StandardButton defaultButton;
        bool answered; // false: closed by the program
    };

    explicit BoxCatcher(QObject *parent = nullptr) : QObject(parent)
    {
        m_clock.start();
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { closeModal(); });
        m_timer.start();
    }

    const QList<Box> &boxes() const { return m_boxes; }
    int count() const { return m_boxes.size(); }
    QString lastText() const { return m_boxes.isEmpty() ? QString() : m_boxes.last().text; }
    QString lastTitle() const { return m_boxes.isEmpty() ? QString() : m_boxes.last().title; }
    void clear() { m_boxes.clear(); }
    void answer(QMessageBox::StandardButton button) { m_answer = button; }
    void holdQuestions(int ms) { m_hold = ms; }

private:
    void closeModal()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box->isHidden())
            return;
        QPushButton *preset = box->defaultButton();
        if (!box->property("caughtAt").isValid()) {
            QList<QMessageBox::StandardButton> buttons;
            for (QAbstractButton *button : box->buttons())
                buttons << box->standardButton(button);
            box->setProperty("caughtAt", m_clock.elapsed());
            box->setProperty("caughtAs", m_boxes.size());
            m_boxes.append({box->windowTitle(), box->text(), box->icon(), buttons,
                            preset ? box->standardButton(preset) : QMessageBox::NoButton, false});
        }
        if (box->buttons().size() > 1 &&
            m_clock.elapsed() - box->property("caughtAt").toLongLong() < m_hold)
            return;
        const int index = box->property("caughtAs").toInt();
        if (index < m_boxes.size())
            m_boxes[index].answered = true;
        // Clicked, not ended: the static functions report the button that was clicked.
        QAbstractButton *choice = box->button(m_answer) ? box->button(m_answer) : preset;
        if (choice)
            choice->click();
        else
            box->done(QMessageBox::Ok);
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    QList<Box> m_boxes;
    QMessageBox::StandardButton m_answer = QMessageBox::Ok;
    int m_hold = 0;
};

// One box as "title|text|icon|buttons": "OK" for a box that only tells, otherwise its buttons in
// enum order and which of them is the default ("Yes,No default No").
inline QString describeBox(const BoxCatcher::Box &box)
{
    QString buttons = QStringLiteral("OK");
    if (box.buttons != QList<QMessageBox::StandardButton>{QMessageBox::Ok}) {
        const QMetaObject &meta = QMessageBox::staticMetaObject;
        const QMetaEnum names = meta.enumerator(meta.indexOfEnumerator("StandardButtons"));
        QList<QMessageBox::StandardButton> sorted = box.buttons;
        std::sort(sorted.begin(), sorted.end());
        QStringList keys;
        for (QMessageBox::StandardButton button : sorted)
            keys << QString::fromLatin1(names.valueToKey(button));
        buttons = keys.join(QLatin1Char(',')) + QStringLiteral(" default ") +
                  QString::fromLatin1(names.valueToKey(box.defaultButton));
    }
    return QStringLiteral("%1|%2|%3|%4").arg(box.title, box.text).arg(int(box.icon)).arg(buttons);
}

inline QStringList describeBoxes(const BoxCatcher &boxes)
{
    QStringList lines;
    for (const BoxCatcher::Box &box : boxes.boxes())
        lines << describeBox(box);
    return lines;
}
