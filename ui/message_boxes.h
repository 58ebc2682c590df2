// The device's message boxes (device/message_box.h) in the program's
// windows.
#ifndef TARNVEX_UI_MESSAGE_BOXES_H_
#define TARNVEX_UI_MESSAGE_BOXES_H_

namespace ui {

// The message-box handler of the device, answered by QMessageBox (unless
// the process has installed its own).
void InstallQtMessageBoxes();

}  // namespace ui

#endif  // TARNVEX_UI_MESSAGE_BOXES_H_
