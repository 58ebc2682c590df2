// The message-box hook: the installed handler, or without one a debug line
// and the cautious answer (Cancel, No).
#include "device/message_box.h"

#include <memory>

#include "base/debug.h"
#include "base/mutex.h"
#include "device/codepage.h"

namespace device {
namespace {

base::Mutex g_handler_lock;
std::shared_ptr<MessageBoxHandler> g_handler GUARDED_BY(g_handler_lock);

}  // namespace

std::shared_ptr<MessageBoxHandler> SetMessageBoxHandler(
    std::shared_ptr<MessageBoxHandler> handler) {
  base::MutexLock lock(&g_handler_lock);
  std::swap(g_handler, handler);
  return handler;
}

MessageBoxAnswer ShowMessageBox(const std::u16string& text,
                                const std::u16string& caption,
                                MessageBoxButtons buttons) {
  std::shared_ptr<MessageBoxHandler> h;
  {
    base::MutexLock lock(&g_handler_lock);
    h = g_handler;
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
