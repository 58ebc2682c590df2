// Message boxes as the program asks for them: a text, a caption and the
// buttons. The window layer installs the desktop version (QMessageBox); tests
// install one that answers as the test says. With none installed there is
// nobody to ask: the answer is the negative one (No / Cancel) and the
// question goes to the debug output.
#ifndef TARNVEX_DEVICE_MESSAGE_BOX_H_
#define TARNVEX_DEVICE_MESSAGE_BOX_H_

#include <memory>
#include <string>

namespace device {

// kYesNoDefaultNo: a question whose Yes gives something up; Enter (and
// nobody to ask) answers No.
enum class MessageBoxButtons { kOk, kOkCancel, kYesNo, kYesNoDefaultNo };
enum class MessageBoxAnswer { kOk, kCancel, kYes, kNo };

class MessageBoxHandler {
 public:
  virtual ~MessageBoxHandler() = default;
  virtual MessageBoxAnswer Show(const std::u16string& text,
                                const std::u16string& caption,
                                MessageBoxButtons buttons) = 0;
};

// Installs the handler for the process (nullptr: none). Returns the old one.
std::shared_ptr<MessageBoxHandler> SetMessageBoxHandler(
    std::shared_ptr<MessageBoxHandler> handler);

MessageBoxAnswer ShowMessageBox(const std::u16string& text,
                                const std::u16string& caption,
                                MessageBoxButtons buttons);

}  // namespace device

#endif  // TARNVEX_DEVICE_MESSAGE_BOX_H_
