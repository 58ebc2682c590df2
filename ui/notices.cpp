// Desktop notices of held messages over D-Bus (or the notification icon's
// balloon), gathered a second at a time, and the icon's count of held ones.
#include "ui/notices.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSystemTrayIcon>
#include <QVariantMap>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "device/codepage.h"
#include "hold/stores.h"
#include "resources/resources.h"
#include "ui/bidi.h"
#include "ui/program_icon.h"
#include "ui/startup.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace ui {
namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
// The action a click on the notice itself invokes.
constexpr char kDefaultAction[] = "default";
// How long the balloon stays, in milliseconds.
constexpr int kBalloonMs = 10000;
// The notices on the desktop whose click is still answered (the newest).
constexpr size_t kRememberedNotices = 64;

// "SMS: 555 0199 – Dinner" for one held message.
QString HoldLine(const HoldNotice& hold) {
  QStringList recipients;
  for (const std::u16string& recipient : hold.recipients)
    recipients << Isolated(ToQt(recipient));
  QString line = Isolated(ToQt(device::AnsiToWide(hold.store))) +
                 QStringLiteral(": ") + recipients.join(QStringLiteral(", "));
  if (!hold.subject.empty())
    line += QStringLiteral(" \u2013 ") + Isolated(ToQt(hold.subject));
  return line;
}

// Only where the session bus is known: without one, libdbus would try to
// start a bus of its own through X11, which is not ours to do.
bool SessionBusKnown() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && address[0] != '\0') return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ec;
  return runtime != nullptr && runtime[0] != '\0' &&
         std::filesystem::exists(std::string(runtime) + "/bus", ec);
}

}  // namespace

NoticeText ComposeNotice(const std::vector<HoldNotice>& holds, bool markup) {
  NoticeText text;
  if (holds.empty()) return text;
  if (holds.size() == 1) {
    text.summary = ToQt(UiTextOf(resources::kIdTextMessageHeld));
  } else {
    // The number goes where the text has "%d" (a language's text is never
    // used as a format).
    text.summary =
        ToQt(UiTextOf(resources::kIdTextMessagesHeld))
            .replace(QStringLiteral("%d"), QString::number(holds.size()));
  }
  QStringList lines;
  for (size_t i = 0; i < holds.size() && i < kListedHolds; ++i)
    lines << HoldLine(holds[i]);
  if (holds.size() > kListedHolds) lines << QStringLiteral("\u2026");
  text.body = lines.join(u'\n');
  if (markup) text.body = text.body.toHtmlEscaped();
  return text;
}

int DaysBeforeToday(const device::LocalTime& day) {
  auto days = [](const device::LocalTime& t) {
    return std::chrono::sys_days(std::chrono::year_month_day(
        std::chrono::year(t.year),
        std::chrono::month(static_cast<unsigned>(t.month)),
        std::chrono::day(static_cast<unsigned>(t.day))));
  };
  return static_cast<int>((days(device::Now()) - days(day)).count());
}

Notices::Notices(QSystemTrayIcon* tray, QObject* parent)
    : QObject(parent), tray_(tray) {
  gather_.setSingleShot(true);
  gather_.setInterval(kGatherMs);
  connect(&gather_, &QTimer::timeout, this, &Notices::Flush);
  count_.setSingleShot(true);
  count_.setInterval(kCountDelayMs);
  connect(&count_, &QTimer::timeout, this, &Notices::CountHeld);
  if (tray_ != nullptr) {
    connect(tray_, &QSystemTrayIcon::messageClicked, this,
            [this] { emit ShowHeld(balloon_day_); });
  }
  RefreshTooltip();
}

Notices::~Notices() = default;

void Notices::Held(const HoldNotice& hold) {
  gathered_.push_back(hold);
  // The first hold starts the second; the others of it join the notice.
  if (!gather_.isActive()) gather_.start();
  RequestHeldCount();
}

void Notices::Flush() {
  gather_.stop();
  if (gathered_.empty()) return;
  std::vector<HoldNotice> holds;
  holds.swap(gathered_);
  Send(std::move(holds));
}

bool Notices::Subscribe() {
  if (subscribed_) return true;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  bus.connect(kService, kPath, kInterface, "ActionInvoked", this,
              SLOT(OnActionInvoked(uint, QString)));
  bus.connect(kService, kPath, kInterface, "NotificationClosed", this,
              SLOT(OnNotificationClosed(uint, uint)));
  subscribed_ = true;
  return true;
}

void Notices::Send(std::vector<HoldNotice> holds) {
  if (!SessionBusKnown() || !Subscribe()) {
    ShowBalloon(holds);
    return;
  }
  // Whether the service reads bodies as markup decides the escaping; asked
  // each time, since the service may have been replaced meanwhile.
  QDBusConnection bus = QDBusConnection::sessionBus();
  QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                    "GetCapabilities");
  auto* asked = new QDBusPendingCallWatcher(bus.asyncCall(ask), this);
  connect(asked, &QDBusPendingCallWatcher::finished, this,
          [this, holds = std::move(holds)](QDBusPendingCallWatcher* call) {
            call->deleteLater();
            QDBusPendingReply<QStringList> capabilities = *call;
            if (capabilities.isError()) {
              ShowBalloon(holds);
              return;
            }
            const NoticeText text = ComposeNotice(
                holds, capabilities.value().contains("body-markup"));
            QDBusMessage notify = QDBusMessage::createMethodCall(
                kService, kPath, kInterface, "Notify");
            QVariantMap hints;
            hints.insert("urgency", QVariant::fromValue<uchar>(1));
            hints.insert("category", QStringLiteral("transfer"));
            notify << ToQt(UiTextOf(resources::kIdAppName)) << 0u << QString()
                   << text.summary << text.body
                   << QStringList{kDefaultAction,
                                  ToQt(UiTextOf(resources::kIdAppName))}
                   << hints << -1;
            auto* sent = new QDBusPendingCallWatcher(
                QDBusConnection::sessionBus().asyncCall(notify), this);
            const device::LocalTime day = holds.back().when;
            connect(sent, &QDBusPendingCallWatcher::finished, this,
                    [this, holds, day](QDBusPendingCallWatcher* done) {
                      done->deleteLater();
                      QDBusPendingReply<uint> id = *done;
                      if (id.isError()) {
                        ShowBalloon(holds);
                        return;
                      }
                      shown_[id.value()] = day;
                      // A service that never says its notices closed does
                      // not make the list grow without bound.
                      while (shown_.size() > kRememberedNotices)
                        shown_.erase(shown_.begin());
                    });
          });
}

void Notices::ShowBalloon(const std::vector<HoldNotice>& holds) {
  // No tray, or an icon the desktop does not show: nobody to tell.
  if (tray_ == nullptr || !tray_->isVisible() ||
      !QSystemTrayIcon::isSystemTrayAvailable() || holds.empty()) {
    return;
  }
  const NoticeText text = ComposeNotice(holds, /*markup=*/false);
  balloon_day_ = holds.back().when;
  tray_->showMessage(text.summary, text.body, ProgramIcon(), kBalloonMs);
}

void Notices::OnActionInvoked(uint id, const QString& action) {
  auto it = shown_.find(id);
  if (it == shown_.end()) return;  // another program's notice
  if (action == kDefaultAction) emit ShowHeld(it->second);
}

void Notices::OnNotificationClosed(uint id, uint reason) {
  (void)reason;
  shown_.erase(id);
}

void Notices::RequestHeldCount() {
  if (!count_.isActive()) count_.start();
}

void Notices::CountHeld() {
  WaitingMessages waiting;
  CountWaitingMessages(&waiting);
  if (waiting.held == held_count_) return;
  held_count_ = waiting.held;
  RefreshTooltip();
}

void Notices::RefreshTooltip() {
  if (tray_ == nullptr) return;
  QString tip = ToQt(UiTextOf(resources::kIdAppName));
  if (held_count_ >= 0) {
    tip += u'\n' +
           ToQt(UiTextOf(resources::kIdTextMessagesHeld))
               .replace(QStringLiteral("%d"), QString::number(held_count_));
  }
  tray_->setToolTip(tip);
}

}  // namespace ui
