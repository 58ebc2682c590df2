// Saving one submitted message into an e-mail store's Outbox, synced before
// it is acknowledged.
#include "mail/queue/submission.h"

#include "device/clock.h"
#include "device/codepage.h"
#include "device/service/service.h"
#include "mail/mime/mime_message.h"

namespace mail {
namespace {

std::u16string Wide(const std::string& utf8) {
  return device::Utf8ToWide(utf8);
}

// The domain of a new Message-ID: the sender's, when it is a plain host
// name, else the device's own name.
std::string MessageIdDomain(const std::string& sender) {
  const size_t at = sender.rfind('@');
  if (at == std::string::npos || at + 1 == sender.size()) return "localhost";
  const std::string domain = sender.substr(at + 1);
  for (unsigned char c : domain) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '-';
    if (!plain) return "localhost";
  }
  return domain;
}

}  // namespace

bool PlausibleAddress(const std::string& address) {
  if (address.empty() || address.size() > 254) return false;
  const size_t at = address.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == address.size())
    return false;
  for (unsigned char c : address) {
    if (c <= ' ' || c == 0x7f || c == '<' || c == '>' || c == ',' || c == ';') {
      return false;
    }
  }
  return true;
}

SubmitResult Submit(const Submission& submission, int64_t* id,
                    std::string* error, const ReadMail* given) {
  *id = 0;
  if (submission.recipients.empty()) {
    *error = "the message has no recipients";
    return SubmitResult::kRefused;
  }
  if (submission.recipients.size() > device::kMaxRecipients) {
    *error = "too many recipients";
    return SubmitResult::kRefused;
  }
  for (const std::string& r : submission.recipients) {
    if (!PlausibleAddress(r)) {
      *error = "not a mail address: \"" + r + "\"";
      return SubmitResult::kRefused;
    }
  }
  ReadMail parsed;
  std::string why;
  if (given == nullptr && !ReadMessage(submission.raw, &parsed, &why)) {
    *error = "the message cannot be read: " + why;
    return SubmitResult::kRefused;
  }
  const ReadMail& read = given != nullptr ? *given : parsed;
  device::ServiceMessage message;
  message.subject = Wide(read.subject);
  message.body = Wide(read.text);
  // The record keeps what the service holds; the raw form keeps it all.
  if (message.body.size() * 2 > device::kMaxBodyBytes)
    message.body.resize(device::kMaxBodyBytes / 2);
  message.sender_name =
      Wide(!submission.sender_name.empty() ? submission.sender_name
                                           : read.from_name);
  message.sender_address = Wide(
      !submission.envelope_from.empty() ? submission.envelope_from : read.from);
  for (const std::string& r : submission.recipients)
    message.recipients.push_back(Wide(r));
  device::KeptMail kept;
  kept.envelope_from = submission.envelope_from;
  const std::string sender =
      !submission.envelope_from.empty() ? submission.envelope_from : read.from;
  kept.raw = AddedFields(submission.received, submission.raw, read,
                         device::DeviceClockMs(), MessageIdDomain(sender)) +
             WithoutBcc(submission.raw);
  const int64_t stored =
      device::SaveOutgoingMail(submission.store, message, kept, &why);
  if (stored == 0) {
    *error = why;
    // A store that is not there, or a message over the service's limits, is
    // the sender's error; anything else may pass (a locked or full service
    // file, a service that cannot be opened now).
    const bool refused = why.rfind("no store", 0) == 0 ||
                         why.rfind("too many", 0) == 0 ||
                         why.find("too large") != std::string::npos;
    return refused ? SubmitResult::kRefused : SubmitResult::kTempFail;
  }
  *id = stored;
  return SubmitResult::kStored;
}

}  // namespace mail
