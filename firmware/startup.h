#pragma once

// What the programs do around their application object.

#include <functional>

class QWidget;

namespace startup
{

// Called before the application object exists. Windows declares Qt programs per-monitor DPI
// aware and so never stretches them: without this, every style-sheet or form pixel stays one
// screen pixel, and at 150 % the window is drawn at two thirds of its size. With it, those
// pixels are device-independent and the window grows with the display's scale (on X11 with
// the server's DPI or QT_SCALE_FACTOR alike).
void scaleWithDisplay();

// The style sheet of the resource bundle for the whole application, as every program of the
// family looks. A program built without the bundle keeps Qt's own look.
void applyStyleSheet();

// For the zip's test only: with QUORBEL_REPORT_WINDOW set, once the window is on screen, one
// line on standard output gives its size and the size of the named button's text, both in
// device pixels, and the sizes of the window icon's images:
//   window=980x783 text=80x23 icons=16,24,32,48,64,72,96,128,256
// Measured from inside, because only the program knows what its own icon loaded.
void reportWindowWhenAsked(QWidget *window, const char *buttonName);

// Called once the application object exists. A logout, a shutdown or a kill without -9 sends
// SIGTERM (SIGHUP when the terminal goes, SIGINT for Ctrl+C), whose default ends the process on
// the spot: a burn would then leave no row, and rows waiting for the disk would be lost. Here
// they end the event loop instead, so the windows close as when the user closes them. The
// action defaults to quitting the application; on Windows nothing is installed.
void quitOnTerminationSignals(std::function<void()> action = {});

} // namespace startup
