#pragma once

// What a widget looks like on screen, for the tests of both windows: a rendered pixel, a colour
// comparison with some slack for antialiasing, and the keyboard focus chain.

#include <QColor>
#include <QImage>
#include <QStringList>
#include <QWidget>
#include <QtGlobal>

// The colour at a point given as fractions of the widget's width and height.
inline QColor pixel(QWidget *widget, double fx, double fy)
{
    const QImage image = widget->grab().toImage();
    return image.pixelColor(int(image.width() * fx), int(image.height() * fy));
}

inline bool near(const QColor &a, const QColor &b, int tolerance = 6)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance;
}

// The widgets the Tab key reaches, in focus-chain order.
inline QStringList focusablesInChain(QWidget *window)
{
    QStringList names;
    for (QWidget *w = window->nextInFocusChain(); w != window; w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus)
            names << w->objectName();
    return names;
}
