#pragma once

// Watches for the modal message boxes the windows open. Each one is photographed over its
// window while it is up, remembered with its title, text and icon, and then closed with a
// click on its OK button, as the user would, so the walk-through never hangs in a box.

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <QtTest>

class BoxCamera : public QObject
{
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QList<QMessageBox::StandardButton> buttons;
        QString picture; // file name in the folder, empty when it could not be saved
    };

    explicit BoxCamera(const QString &folder) : m_folder(folder)
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { look(); });
        m_timer.start();
    }

    // The next box is saved under this name; a box nobody announced gets a name of its own.
    void expect(const QString &fileName) { m_expected = fileName; }

    const QList<Box> &boxes() const { return m_boxes; }
    int count() const { return m_boxes.size(); }
    Box last() const { return m_boxes.isEmpty() ? Box() : m_boxes.last(); }

    // The window as the user sees it with a box in front. No window manager draws here, so
    // the box gets a plain title bar of its own and is put where a dialog with a parent
    // appears, over the middle of its window.
    static QPixmap compose(QWidget *window, QWidget *box)
    {
        QPixmap picture = window->grab();
        const QPixmap front = box->grab();
        const int titleHeight = 26;
        const QSize whole(front.width(), front.height() + titleHeight);
        const QPoint at((picture.width() - whole.width()) / 2,
                        (picture.height() - whole.height()) / 2);
        const QRect titleBar(at, QSize(whole.width(), titleHeight));

        QPainter painter(&picture);
        painter.fillRect(titleBar, QColor(0xe4, 0xec, 0xf1));
        painter.setPen(QColor(0x2c, 0x3e, 0x50));
        painter.setFont(box->font());
        painter.drawText(titleBar.adjusted(10, 0, -10, 0), Qt::AlignVCenter | Qt::AlignLeft,
                         box->windowTitle());
        painter.drawPixmap(at + QPoint(0, titleHeight), front);
        painter.setPen(QColor(0x5a, 0x7a, 0x8a));
        painter.drawRect(QRect(at, whole).adjusted(0, 0, -1, -1));
        return picture;
    }

private:
    void look()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        if (box == m_handled) {
            // The click did not close it; do not count it twice.
            box->done(QMessageBox::Ok);
            return;
        }
        m_handled = box;

        Box seen;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        for (QAbstractButton *button : box->buttons())
            seen.buttons << box->standardButton(button);

        QString name = m_expected;
        m_expected.clear();
        if (name.isEmpty())
            name = QStringLiteral("unexpected-box-%1.png").arg(m_boxes.size() + 1);
        QWidget *window = box->parentWidget() ? box->parentWidget()->window() : nullptr;
        const QPixmap picture = window ? compose(window, box) : box->grab();
        if (picture.save(QDir(m_folder).filePath(name)))
            seen.picture = name;
        m_boxes.append(seen);

        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            QTest::mouseClick(ok, Qt::LeftButton);
        else
            box->done(QMessageBox::Ok);
    }

    QString m_folder;
    QString m_expected;
    QPointer<QMessageBox> m_handled;
    QTimer m_timer;
    QList<Box> m_boxes;
};
