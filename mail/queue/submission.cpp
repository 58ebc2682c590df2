// Saving one submitted message into an e-mail store's Outbox, synced before
// it is acknowledged.
#include "mail/queue/submission.h"

#include <sysexits.h>

#include "device/clock.h"
#include "device/codepage.h"
#include "device/service/service.h"
#include "mail/mime/mime_message.h"

namespace mail {
namespace {

// Text for the service in valid UTF-8: as it is when it is (the reading
// repairs what it decodes), else through the conversion every other
// writer's text takes.
std::string ServiceText(std::string text) {
  if (device::ValidUtf8(text)) return text;
  return device::WideToUtf8(device::Utf8ToWide(text));
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

FailureAnswer AnswerFor(const base::Status& failure) {
  using Code = base::Status::Code;
  switch (failure.code()) {
    case Code::kInvalidArgument:
    case Code::kNotFound:
      return {true, 554, "5.6.0", EX_DATAERR};
    case Code::kOk:  // no failure: nothing to refuse for good
    case Code::kBusy:
    case Code::kCorrupt:
    case Code::kIoError:
    case Code::kResourceExhausted:
    case Code::kUnavailable:
      break;
  }
  return {false, 451, "4.3.0", EX_TEMPFAIL};
}

base::Status PrepareSubmission(const Submission& submission,
                               const ReadMail* given,
                               device::OutgoingMail* out) {
  if (submission.recipients.empty())
    return base::Status::InvalidArgument("the message has no recipients");
  if (submission.recipients.size() > device::kMaxRecipients)
    return base::Status::InvalidArgument("too many recipients");
  for (const std::string& r : submission.recipients) {
    if (!PlausibleAddress(r))
      return base::Status::InvalidArgument("not a mail address: \"" + r + "\"");
  }
  ReadMail parsed;
  std::string why;
  if (given == nullptr && !ReadMessage(submission.raw, &parsed, &why)) {
    return base::Status::InvalidArgument("the message cannot be read: " + why);
  }
  const ReadMail& read = given != nullptr ? *given : parsed;
  out->store = submission.store;
  // The fields in UTF-8 as read (the reading makes them valid UTF-8), the
  // text cut, at a character, to what the service holds; the raw form
  // keeps it all.
  out->subject = ServiceText(read.subject);
  out->body = ServiceText(read.text);
  out->body.resize(device::Utf16UnitsCut(out->body, device::kMaxBodyBytes / 2));
  out->sender_name =
      ServiceText(!submission.sender_name.empty() ? submission.sender_name
                                                  : read.from_name);
  out->sender_address = ServiceText(
      !submission.envelope_from.empty() ? submission.envelope_from : read.from);
  for (const std::string& r : submission.recipients)
    out->recipients.push_back(ServiceText(r));
  device::KeptMail& kept = out->raw;
  kept.envelope_from = submission.envelope_from;
  const std::string sender =
      !submission.envelope_from.empty() ? submission.envelope_from : read.from;
  kept.raw = AddedFields(submission.received, submission.raw, read,
                         device::DeviceClockMs(), MessageIdDomain(sender));
  AppendWithoutBcc(submission.raw, &kept.raw);
  return base::Status::Ok();
}

base::StatusOr<int64_t> Submit(const Submission& submission,
                               const ReadMail* given) {
  device::OutgoingMail mail;
  if (base::Status ok = PrepareSubmission(submission, given, &mail); !ok.ok())
    return ok;
  std::vector<device::OutgoingMail> one;
  one.push_back(std::move(mail));
  return std::move(device::SaveOutgoingMails(one).front());
}

}  // namespace mail
