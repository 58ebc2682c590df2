// The transport's desktop notice of a delivery that failed: "Delivery
// failed", naming the recipients the relay refused (or that were given up)
// with the relay's words, sent to the desktop's notification service
// (org.freedesktop.Notifications on the session bus), the one Tarnvex's
// notices go to. Without a session bus or a service nothing is shown and
// nothing fails. The notices go out on a thread of their own, so that a
// service that is slow to answer never holds up a delivery.
#ifndef TARNVEX_DEVICE_TOOL_DELIVERY_NOTICES_H_
#define TARNVEX_DEVICE_TOOL_DELIVERY_NOTICES_H_

#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "mail/queue/deliveries.h"

namespace device_tool {

class DeliveryNotices {
 public:
  DeliveryNotices();
  // Sends what was posted, then ends the thread.
  ~DeliveryNotices();
  DeliveryNotices(const DeliveryNotices&) = delete;
  DeliveryNotices& operator=(const DeliveryNotices&) = delete;

  // Message `message`'s recipients `failed` have just failed.
  void Failed(int64_t message,
              const std::vector<mail::RecipientDelivery>& failed)
      EXCLUDES(lock_);

 private:
  struct Notice {
    int64_t message = 0;
    std::vector<mail::RecipientDelivery> failed;
  };
  void Run() EXCLUDES(lock_);

  base::Mutex lock_;
  base::CondVar wake_;
  std::deque<Notice> queue_ GUARDED_BY(lock_);
  bool stop_ GUARDED_BY(lock_) = false;
  std::thread thread_;
};

// The summary and body of the notice (the body escaped for a service that
// reads markup).
struct DeliveryNoticeText {
  std::string summary, body;
};
DeliveryNoticeText ComposeDeliveryNotice(
    int64_t message, const std::u16string& subject,
    const std::vector<mail::RecipientDelivery>& failed, bool markup);

}  // namespace device_tool

#endif  // TARNVEX_DEVICE_TOOL_DELIVERY_NOTICES_H_
