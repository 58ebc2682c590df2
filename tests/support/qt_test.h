// For tests of windows: the one QApplication of a test program (offscreen
// under ctest), and a message-box handler that records what it was asked.
#ifndef TARNVEX_TESTS_SUPPORT_QT_TEST_H_
#define TARNVEX_TESTS_SUPPORT_QT_TEST_H_

#include <QApplication>
#include <string>
#include <vector>

#include "device/message_box.h"

namespace testing_support {

inline QApplication& App() {
  static int argc = 1;
  static char name[] = "tarnvex_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);  // lives until exit
  return *app;
}

class RecordingMessageBoxes : public device::MessageBoxHandler {
 public:
  device::MessageBoxAnswer Show(const std::u16string& text,
                                const std::u16string& caption,
                                device::MessageBoxButtons buttons) override {
    shown.push_back(text);
    captions.push_back(caption);
    ok_cancel = buttons == device::MessageBoxButtons::kOkCancel;
    return device::MessageBoxAnswer::kOk;
  }
  std::vector<std::u16string> shown, captions;
  bool ok_cancel = false;
};

}  // namespace testing_support

#endif  // TARNVEX_TESTS_SUPPORT_QT_TEST_H_
