// The window layer over Qt, its common ground: wide text to and from Qt's
// strings (ui/qt_text.h), a control's text without its accelerator marks, work
// handed to the user-interface thread, and window sizes that fit the screen.
// Everything of the window layer runs on the user-interface thread; other
// threads reach controls only through RunOnUiThread. Its other parts:
// ui/template_dialog.h (dialog pages from templates), ui/entry_list.h,
// ui/soft_keys.h (the menu bar), ui/page_view.h, ui/message_boxes.h and
// ui/program_icon.h.
#ifndef TARNVEX_UI_WINDOW_LAYER_H_
#define TARNVEX_UI_WINDOW_LAYER_H_

#include <QSize>
#include <QString>
#include <functional>

#include "ui/qt_text.h"

namespace ui {

// A text as shown, without its keyboard accelerator marks ("&Use" is
// "Use", "A&&B" is "A&B").
QString PlainText(const QString& shown);

// Runs `work` on the user-interface thread without waiting for it.
void RunOnUiThread(std::function<void()> work);
// Queues `work` for the user-interface thread and returns at once, also when
// called on it: for what may open a modal window (a message box) and must not
// hold up its caller meanwhile.
void PostToUiThread(std::function<void()> work);

// A window's size as far as the screen has room for it: no larger than the
// primary screen's available area less the window manager's frame, at any
// scale factor (a 1280 x 800 screen at factor 2 is 640 x 400).
QSize ScreenFitted(const QSize& wanted);

}  // namespace ui

#endif  // TARNVEX_UI_WINDOW_LAYER_H_
