// The desktop's notification service (org.freedesktop.Notifications) as
// far as the device's programs use it, for tests: it records the Notify calls
// it is sent and sends ActionInvoked as a click would. It serves on the
// connection it is given, from the Qt event loop of the test's process.
#ifndef TARNVEX_TESTS_UI_NOTIFICATION_SERVICE_H_
#define TARNVEX_TESTS_UI_NOTIFICATION_SERVICE_H_

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QStringList>
#include <vector>

namespace testing_support {

inline constexpr char kNoticeService[] = "org.freedesktop.Notifications";
inline constexpr char kNoticePath[] = "/org/freedesktop/Notifications";
inline constexpr char kNoticeInterface[] = "org.freedesktop.Notifications";

class NotificationService : public QDBusVirtualObject {
 public:
  struct Notice {
    uint id = 0;
    QString app, summary, body;
    QStringList actions;
  };

  explicit NotificationService(const QDBusConnection& bus) : bus_(bus) {}
  bool Register() {
    return bus_.registerVirtualObject(kNoticePath, this) &&
           bus_.registerService(kNoticeService);
  }
  ~NotificationService() override {
    bus_.unregisterService(kNoticeService);
    bus_.unregisterObject(kNoticePath);
  }

  QString introspect(const QString&) const override {
    return "<interface name=\"org.freedesktop.Notifications\">"
           "<method name=\"GetCapabilities\"><arg type=\"as\" "
           "direction=\"out\"/></method>"
           "<method name=\"Notify\"><arg type=\"s\"/><arg type=\"u\"/>"
           "<arg type=\"s\"/><arg type=\"s\"/><arg type=\"s\"/>"
           "<arg type=\"as\"/><arg type=\"a{sv}\"/><arg type=\"i\"/>"
           "<arg type=\"u\" direction=\"out\"/></method>"
           "<signal name=\"ActionInvoked\"><arg type=\"u\"/><arg "
           "type=\"s\"/></signal>"
           "</interface>";
  }

  bool handleMessage(const QDBusMessage& call,
                     const QDBusConnection& bus) override {
    if (call.interface() != kNoticeInterface) return false;
    if (call.member() == "GetCapabilities") {
      bus.send(call.createReply(
          QVariant(QStringList{"actions", "body", "body-markup"})));
      return true;
    }
    if (call.member() == "Notify" && call.arguments().size() == 8) {
      const QVariantList args = call.arguments();
      Notice notice;
      notice.id = next_id_++;
      notice.app = args[0].toString();
      notice.summary = args[3].toString();
      notice.body = args[4].toString();
      notice.actions = args[5].toStringList();
      notices.push_back(notice);
      bus.send(call.createReply(QVariant::fromValue(notice.id)));
      return true;
    }
    bus.send(call.createErrorReply(QDBusError::UnknownMethod, call.member()));
    return true;
  }

  // What the desktop sends when the user clicks the notice `id` (or an
  // action of it).
  void Click(uint id, const QString& action = "default") {
    QDBusMessage signal = QDBusMessage::createSignal(
        kNoticePath, kNoticeInterface, "ActionInvoked");
    signal << id << action;
    bus_.send(signal);
  }

  std::vector<Notice> notices;

 private:
  QDBusConnection bus_;
  uint next_id_ = 7;
};

}  // namespace testing_support

#endif  // TARNVEX_TESTS_UI_NOTIFICATION_SERVICE_H_
