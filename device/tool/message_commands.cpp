// Commands on one message: show (its fields, recipients' delivery states and
// text) and rm (throw it away, from any folder, the held one included); and
// the lines of info that say what runs and how many messages lie where.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "device/codepage.h"
#include "device/image.h"
#include "device/named_event.h"
#include "device/service/listeners.h"
#include "device/service/service.h"
#include "device/tool/command.h"
#include "mail/queue/deliveries.h"
#include "mail/relay/relay_worker.h"

namespace device_tool {

namespace {

// A message id as ls prints it: a whole number from 1 up, digits only.
bool ParseMessageId(const std::string& text, int64_t* id) {
  if (text.empty() || text.size() > 19) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  errno = 0;
  char* end = nullptr;
  const long long n = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || n <= 0) return false;
  *id = n;
  return true;
}

// One message id, the command's only argument; false (with the usage error
// said) otherwise.
bool OneMessageId(const char* command, const std::vector<std::string>& args,
                  int64_t* id) {
  if (args.size() != 1) {
    Fail(std::string(command) + " needs one message id (as ls shows it)");
    return false;
  }
  if (!ParseMessageId(args[0], id)) {
    Fail(std::string(command) + ": \"" + args[0] +
         "\" is no message id (a whole number, as ls shows it)");
    return false;
  }
  return true;
}

// Outside text made safe for a terminal: control characters other than
// newlines (when kept) and tabs become '?', so that no message can move the
// cursor or retitle the window; a field's newlines become blanks.
std::string Printable(const std::string& text, bool keep_newlines) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\n' && keep_newlines) {
      out += '\n';
    } else if (c == '\n' || c == '\t') {
      out += ' ';
    } else if (c == '\r' && keep_newlines) {
      continue;
    } else if (c < 0x20 || c == 0x7f) {
      out += '?';
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}
std::string Field(const std::u16string& text) {
  return Printable(device::WideToUtf8(text), false);
}

std::string TimeText(int64_t ms) {
  const time_t seconds = static_cast<time_t>(ms / 1000);
  tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

int Show(const std::vector<std::string>& args) {
  int64_t id = 0;
  if (!OneMessageId("show", args, &id)) return kUsageStatus;
  if (base::Status opened = device::OpenMessageService(); !opened.ok())
    return Fail(opened);
  device::ServiceMessage m;
  if (!device::GetServiceMessage(id, &m))
    return Fail("there is no message " + args[0]);
  std::string to;
  for (size_t i = 0; i < m.recipients.size(); ++i)
    to += (i ? ", " : "") + Field(m.recipients[i]);
  std::string from = Field(m.sender_name);
  if (!m.sender_address.empty() && m.sender_address != m.sender_name)
    from += (from.empty() ? "<" : " <") + Field(m.sender_address) + ">";
  std::printf("Message: %lld\n", static_cast<long long>(id));
  std::printf("Folder: %s\\%s\n", Printable(m.store, false).c_str(),
              Printable(m.folder_path, false).c_str());
  std::printf("From: %s\n", from.c_str());
  std::printf("To: %s\n", to.c_str());
  std::printf("Subject: %s\n", Field(m.subject).c_str());
  if (m.delivery_time_ms != 0)
    std::printf("Date: %s\n", TimeText(m.delivery_time_ms).c_str());
  std::printf("Sent: %s\n", m.submit_time_ms != 0
                                ? TimeText(m.submit_time_ms).c_str()
                                : "no");
  const std::vector<mail::RecipientDelivery> states = mail::DeliveryStates(id);
  if (!states.empty()) std::printf("Delivery:\n");
  for (const mail::RecipientDelivery& r : states) {
    std::printf("  %s\n",
                Printable(mail::DescribeRecipientState(r), false).c_str());
  }
  // Mail kept as it came: its header lines as received.
  device::KeptMail kept;
  if (device::GetKeptMail(id, &kept)) {
    size_t end = kept.raw.find("\r\n\r\n");
    if (end == std::string::npos) end = kept.raw.find("\n\n");
    std::printf("Headers as received:\n");
    std::string headers = Printable(kept.raw.substr(0, end), true);
    size_t start = 0;
    while (start < headers.size()) {
      size_t nl = headers.find('\n', start);
      if (nl == std::string::npos) nl = headers.size();
      std::printf("  %s\n", headers.substr(start, nl - start).c_str());
      start = nl + 1;
    }
  }
  std::printf("\n%s\n", Printable(device::WideToUtf8(m.body), true).c_str());
  return 0;
}

int Rm(const std::vector<std::string>& args) {
  int64_t id = 0;
  if (!OneMessageId("rm", args, &id)) return kUsageStatus;
  device::ServiceMessage m;
  if (base::Status opened = device::OpenMessageService(); !opened.ok())
    return Fail(opened);
  if (!device::GetServiceMessage(id, &m))
    return Fail("there is no message " + args[0]);
  if (base::Status deleted = device::DeleteMessage(id); !deleted.ok())
    return Fail(deleted);
  std::printf("Deleted message %lld from %s\\%s\n", static_cast<long long>(id),
              Printable(m.store, false).c_str(),
              Printable(m.folder_path, false).c_str());
  return 0;
}

}  // namespace

void PrintRunningAndCounts() {
  // The transport's relay thread holds the delivery lock for its whole run
  // (relay_worker.h), whether or not a relay is set.
  const pid_t transport =
      device::FlockHolder(device::RunDir() + "/delivery.lock");
  if (transport > 0) {
    std::printf("Transport: running (pid %d)\n", static_cast<int>(transport));
  } else {
    std::printf("Transport: %s\n", transport < 0 ? "running" : "not running");
  }
  // Each registered filter (Tarnvex, where it is installed) runs while a
  // live process of it listens on the message service.
  std::vector<std::string> filters;
  for (const auto& filter : device::service::RegisteredFilters())
    filters.push_back(filter.program);
  if (filters.empty()) filters.push_back("Tarnvex");
  const auto listeners = device::service::LiveListeners();
  for (const std::string& program : filters) {
    pid_t pid = 0;
    for (const auto& listener : listeners) {
      if (listener.program == program) pid = listener.pid;
    }
    const std::string name = Printable(program, false);
    if (pid > 0) {
      std::printf("%s: running (pid %d)\n", name.c_str(),
                  static_cast<int>(pid));
    } else {
      std::printf("%s: not running\n", name.c_str());
    }
  }
  device::MessageCounts counts;
  const base::Status opened = device::OpenMessageService();
  if (!opened.ok() || !device::CountMessages(&counts)) {
    std::printf("Messages: cannot be counted (%s)\n",
                opened.ok() ? "the message service cannot be read"
                            : opened.message().c_str());
    return;
  }
  std::printf("Messages: %lld held, %lld waiting, %lld deferred, %lld failed\n",
              static_cast<long long>(counts.held),
              static_cast<long long>(counts.waiting),
              static_cast<long long>(counts.deferred),
              static_cast<long long>(counts.failed));
}

TARNVEX_DEVICE_COMMAND({
    .name = "show",
    .args = "ID",
    .summary = "print one message: its fields, delivery state and text",
    .details = "Its folder, sender, recipients, subject, dates, each "
               "recipient's delivery state (mail handed to a relay), the "
               "header lines of mail as it was received, and its text. ID is "
               "the number ls shows.",
    .fn = Show,
});
TARNVEX_DEVICE_COMMAND({
    .name = "rm",
    .args = "ID",
    .summary = "throw a message away, from whatever folder it lies in",
    .details = "A held message (in Outbox\\Tarnvex) included: nothing of it "
               "is ever sent, and no rule added later releases it. Tarnvex's "
               "record of it stays. ID is the number ls shows.",
    .fn = Rm,
});

}  // namespace device_tool
