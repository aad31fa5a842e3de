#include "closing.h"

#include "burnrun.h"

#include <QMessageBox>

namespace burn
{

bool mayClose(QWidget *window, const BurnRun *run, const QString &title, const QString &question)
{
    if (!run || !run->isWriting())
        return true;
    QMessageBox box(QMessageBox::Question, title, question, QMessageBox::Yes | QMessageBox::No,
                    window);
    box.setDefaultButton(QMessageBox::No);
    // Before the verdict, which the run's end shows in a box of its own.
    QObject::connect(run, &BurnRun::writingChanged, &box, [&box](bool writing) {
        if (!writing)
            box.reject();
    });
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

} // namespace burn
