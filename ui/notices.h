// Telling the user of held messages: a desktop notice on every hold, and the
// number held now in the notification icon's tooltip.
//
// Holds reach the notices on the user-interface thread (the monitor's hold
// handler posts them). The holds of one second make one notice: "Message
// held" with the store, the recipients no rule covers and the subject, or
// "Messages held: N" listing the first few. The notice goes to the desktop's
// notification service (org.freedesktop.Notifications on the session bus)
// with the action "default", so that a click on it shows the browser on the
// message's day under "Blocked". Without a service the notification icon
// shows it as a balloon; without a tray, nothing is shown and nothing fails.
// The texts are the UI texts of the current language.
//
// The main window owns the notices; they do nothing once it is gone.
#ifndef TARNVEX_UI_NOTICES_H_
#define TARNVEX_UI_NOTICES_H_

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <map>
#include <string>
#include <vector>

#include "device/clock.h"
#include "hold/monitor.h"

class QSystemTrayIcon;
class QDBusMessage;

namespace ui {

// Holds this close together make one notice.
inline constexpr int kGatherMs = 1000;
// A notice of several holds lists this many of them.
inline constexpr int kListedHolds = 3;
// The held count is read again this long after the last event that may
// have changed it (a hold, a walk of a held folder), once for all of them.
inline constexpr int kCountDelayMs = 50;

// What one notice says.
struct NoticeText {
  QString summary;  // "Message held", "Messages held: 3"
  QString body;     // one line a message: store, recipients, subject
};
// The notice of `holds` (one or more) in the current language. The texts of
// the messages are isolated runs (ui/bidi.h); with `markup` (the service
// reads its bodies as markup) the body's &, < and > are escaped.
NoticeText ComposeNotice(const std::vector<HoldNotice>& holds, bool markup);

// Days from `day` to the device clock's today (0: today).
int DaysBeforeToday(const device::LocalTime& day);

class Notices : public QObject {
  Q_OBJECT
 public:
  explicit Notices(QSystemTrayIcon* tray, QObject* parent = nullptr);
  ~Notices() override;

  // A message was held (user-interface thread).
  void Held(const HoldNotice& hold);
  // Sends what is gathered now, without waiting out the second.
  void Flush();
  // Reads the held count again soon (user-interface thread).
  void RequestHeldCount();
  // The count the tooltip shows (-1 before the first count).
  int held_count() const { return held_count_; }
  // The tooltip's text again, in the current language.
  void RefreshTooltip();

 signals:
  // The user clicked a notice: show the messages held on that day.
  void ShowHeld(device::LocalTime day);

 private slots:
  void OnActionInvoked(uint id, const QString& action);
  void OnNotificationClosed(uint id, uint reason);

 private:
  bool Subscribe();
  void Send(std::vector<HoldNotice> holds);
  void ShowBalloon(const std::vector<HoldNotice>& holds);
  void CountHeld();

  QPointer<QSystemTrayIcon> tray_;
  std::vector<HoldNotice> gathered_;
  QTimer gather_;
  QTimer count_;
  int held_count_ = -1;
  bool subscribed_ = false;
  // The day of each notice on the desktop, by the service's id.
  std::map<uint, device::LocalTime> shown_;
  device::LocalTime balloon_day_;
};

}  // namespace ui

#endif  // TARNVEX_UI_NOTICES_H_
