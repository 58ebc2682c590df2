// The message-box hook: the installed handler, or without one a debug line
// and the cautious answer (Cancel, No).
#include "device/message_box.h"

#include <mutex>

#include "base/debug.h"
#include "device/codepage.h"

namespace device {
namespace {

std::mutex& HandlerMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<MessageBoxHandler>& Handler() {
  static std::shared_ptr<MessageBoxHandler> h;
  return h;
}

}  // namespace

std::shared_ptr<MessageBoxHandler> SetMessageBoxHandler(
    std::shared_ptr<MessageBoxHandler> handler) {
  std::lock_guard<std::mutex> lock(HandlerMutex());
  std::swap(Handler(), handler);
  return handler;
}

MessageBoxAnswer ShowMessageBox(const std::u16string& text,
                                const std::u16string& caption,
                                MessageBoxButtons buttons) {
  std::shared_ptr<MessageBoxHandler> h;
  {
    std::lock_guard<std::mutex> lock(HandlerMutex());
    h = Handler();
  }
  if (h) return h->Show(text, caption, buttons);
  base::DebugOut("Message box without a window: %s / %s\n",
                 WideToUtf8(caption).c_str(), WideToUtf8(text).c_str());
  switch (buttons) {
    case MessageBoxButtons::kOk:
      return MessageBoxAnswer::kOk;
    case MessageBoxButtons::kOkCancel:
      return MessageBoxAnswer::kCancel;
    case MessageBoxButtons::kYesNo:
    case MessageBoxButtons::kYesNoDefaultNo:
      return MessageBoxAnswer::kNo;
  }
  return MessageBoxAnswer::kCancel;
}

}  // namespace device
