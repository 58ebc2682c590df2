// The program icon (resource 114): the window's, the notification icon's
// and the About box's.
#ifndef TARNVEX_UI_PROGRAM_ICON_H_
#define TARNVEX_UI_PROGRAM_ICON_H_

#include <QIcon>

namespace ui {

// The program icon (resource 114), drawn.
QIcon ProgramIcon();

}  // namespace ui

#endif  // TARNVEX_UI_PROGRAM_ICON_H_
