#include "closing.h"

#include "burnrun.h"

#include <QMessageBox>
#include <QPointer>

#include <algorithm>

namespace burn
{

bool mayClose(QWidget *window, const BurnRun *run, const QString &title, const QString &question)
{
    return mayClose(window, QList<const BurnRun *>{run}, title, question);
}

bool mayClose(QWidget *window, const QList<const BurnRun *> &runs, const QString &title,
              const QString &question)
{
    QList<QPointer<const BurnRun>> watched;
    for (const BurnRun *run : runs) {
        if (run)
            watched << run;
    }
    const auto writing = [&watched] {
        return std::any_of(
            watched.cbegin(), watched.cend(),
            [](const QPointer<const BurnRun> &run) { return run && run->isWriting(); });
    };
    if (!writing())
        return true;
    QMessageBox box(QMessageBox::Question, title, question, QMessageBox::Yes | QMessageBox::No,
                    window);
    box.setDefaultButton(QMessageBox::No);
    // Before the verdict, which the run's end shows in a box of its own.
    for (const QPointer<const BurnRun> &run : qAsConst(watched)) {
        QObject::connect(run, &BurnRun::writingChanged, &box, [&box, &writing](bool now) {
            if (!now && !writing())
                box.reject();
        });
    }
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

} // namespace burn
