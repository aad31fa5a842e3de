#pragma once

// The question a window asks before it closes during a burn.

#include <QList>
#include <QString>

class QWidget;

namespace burn
{

class BurnRun;

// True when the window may close: run (which may be null) is not writing, or the user answers
// Yes to the question, No being the default. A cut write can leave the device unbootable. The
// question goes away when the tool ends by itself meanwhile: the window then stays, and the
// run's verdict shows alone.
bool mayClose(QWidget *window, const BurnRun *run, const QString &title, const QString &question);
// The same for several runs (any may be null): asked while any of them writes, and gone once
// none does. A run deleted meanwhile no longer counts.
bool mayClose(QWidget *window, const QList<const BurnRun *> &runs, const QString &title,
              const QString &question);

} // namespace burn
