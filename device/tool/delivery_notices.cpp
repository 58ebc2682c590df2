// The transport's "Delivery failed" notices over D-Bus, on a thread of their
// own with a connection of their own.
#include "device/tool/delivery_notices.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <cstdlib>
#include <filesystem>

#include "device/codepage.h"
#include "device/service/service.h"

namespace device_tool {
namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
constexpr char kConnectionName[] = "tarnvex-delivery-notices";
constexpr char kAppName[] = "tarnvex-device";
// How long a call may wait for the service's answer.
constexpr int kCallTimeoutMs = 5000;
// The recipients a notice names; more are counted.
constexpr size_t kListedRecipients = 5;
// The relay's words are cut here in a notice (show gives them whole).
constexpr size_t kReplyChars = 200;

// As Tarnvex's notices decide it: only where the session bus is known, since
// without one libdbus would start a bus of its own through X11.
bool SessionBusKnown() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && address[0] != '\0') return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ec;
  return runtime != nullptr && runtime[0] != '\0' &&
         std::filesystem::exists(std::string(runtime) + "/bus", ec);
}

std::string Escaped(const std::string& text, bool markup) {
  if (!markup) return text;
  return QString::fromStdString(text).toHtmlEscaped().toStdString();
}

// One line of outside text: control characters become blanks.
std::string OneLine(std::string text, size_t max) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  if (text.size() > max) {
    size_t cut = max;
    // At a character's start, never inside a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
      --cut;
    text = text.substr(0, cut) + "\u2026";
  }
  return text;
}

}  // namespace

DeliveryNoticeText ComposeDeliveryNotice(
    int64_t message, const std::u16string& subject,
    const std::vector<mail::RecipientDelivery>& failed, bool markup) {
  DeliveryNoticeText text;
  text.summary = "Delivery failed";
  std::vector<std::string> lines;
  for (size_t i = 0; i < failed.size() && i < kListedRecipients; ++i) {
    lines.push_back(Escaped(OneLine(failed[i].recipient, kReplyChars) + ": " +
                                OneLine(failed[i].reply, kReplyChars),
                            markup));
  }
  if (failed.size() > kListedRecipients) {
    lines.push_back("and " + std::to_string(failed.size() - kListedRecipients) +
                    " more");
  }
  const std::string id = std::to_string(static_cast<long long>(message));
  lines.push_back(
      Escaped("\u201c" + OneLine(device::WideToUtf8(subject), kReplyChars) +
                  "\u201d (tarnvex-device show " + id + ")",
              markup));
  for (size_t i = 0; i < lines.size(); ++i)
    text.body += (i ? "\n" : "") + lines[i];
  return text;
}

DeliveryNotices::DeliveryNotices() : thread_([this] { Run(); }) {}

DeliveryNotices::~DeliveryNotices() {
  {
    base::MutexLock guard(&lock_);
    stop_ = true;
  }
  wake_.SignalAll();
  thread_.join();
}

void DeliveryNotices::Failed(
    int64_t message, const std::vector<mail::RecipientDelivery>& failed) {
  if (failed.empty()) return;
  {
    base::MutexLock guard(&lock_);
    queue_.push_back({message, failed});
  }
  wake_.Signal();
}

void DeliveryNotices::Run() {
  bool connected = false;
  for (;;) {
    Notice notice;
    {
      base::MutexLock guard(&lock_);
      while (queue_.empty() && !stop_) wake_.Wait(&lock_);
      if (queue_.empty()) break;
      notice = std::move(queue_.front());
      queue_.pop_front();
    }
    if (!SessionBusKnown()) continue;
    QDBusConnection bus = QDBusConnection::connectToBus(
        QDBusConnection::SessionBus, kConnectionName);
    connected = true;
    if (!bus.isConnected()) {
      // Tried again, afresh, for the next notice.
      QDBusConnection::disconnectFromBus(kConnectionName);
      continue;
    }
    // Whether the service reads bodies as markup decides the escaping; no
    // answer means no service, and nothing is shown.
    const QDBusMessage capabilities =
        bus.call(QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                "GetCapabilities"),
                 QDBus::Block, kCallTimeoutMs);
    if (capabilities.type() != QDBusMessage::ReplyMessage) continue;
    const bool markup =
        !capabilities.arguments().isEmpty() &&
        capabilities.arguments()[0].toStringList().contains("body-markup");
    device::ServiceMessage fields;
    device::GetServiceMessage(notice.message, &fields);
    const DeliveryNoticeText text = ComposeDeliveryNotice(
        notice.message, fields.subject, notice.failed, markup);
    QDBusMessage notify =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    QVariantMap hints;
    hints.insert("urgency", QVariant::fromValue<uchar>(2));
    hints.insert("category", QStringLiteral("transfer.error"));
    notify << QString(kAppName) << 0u << QString()
           << QString::fromStdString(text.summary)
           << QString::fromStdString(text.body) << QStringList() << hints << -1;
    bus.call(notify, QDBus::Block, kCallTimeoutMs);
  }
  if (connected) QDBusConnection::disconnectFromBus(kConnectionName);
}

}  // namespace device_tool
