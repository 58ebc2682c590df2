// The sendmail command: one message from standard input into the e-mail
// store's Outbox.
#include "mail/sendmail/sendmail.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdint>

#include "mail/mime/mime_message.h"
#include "mail/queue/submission.h"

namespace mail {
namespace {

// An address as the arguments give it: "<a@b>" and "a@b" alike.
std::string Bare(std::string address) {
  if (address.size() >= 2 && address.front() == '<' && address.back() == '>')
    address = address.substr(1, address.size() - 2);
  return address;
}

std::string LoginAddress() {
  const passwd* user = getpwuid(getuid());
  return std::string(user != nullptr && user->pw_name != nullptr ? user->pw_name
                                                                 : "user") +
         "@localhost";
}

// Reads the message: all of `in`, or up to a lone "." line when it ends the
// input. False when it is larger than the limit (the rest is not read).
bool ReadInput(std::FILE* in, bool dot_ends, std::string* raw) {
  raw->clear();
  std::string line;
  int c = 0;
  while ((c = std::fgetc(in)) != EOF) {
    line.push_back(static_cast<char>(c));
    if (c != '\n') {
      if (raw->size() + line.size() > kMaxSubmissionBytes) return false;
      continue;
    }
    if (dot_ends && (line == ".\n" || line == ".\r\n")) return true;
    raw->append(line);
    line.clear();
    if (raw->size() > kMaxSubmissionBytes) return false;
  }
  raw->append(line);
  return raw->size() <= kMaxSubmissionBytes;
}

}  // namespace

int ParseSendmailArgs(const std::vector<std::string>& args,
                      SendmailOptions* options, std::string* error) {
  bool options_end = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_end || a.empty() || a[0] != '-') {
      options->recipients.push_back(Bare(a));
      continue;
    }
    // A value joined to its option ("-fanna@example.org") or the next
    // argument.
    auto value = [&](const char* option, std::string* out) {
      const std::string flag(option);
      if (a.size() > flag.size()) {
        *out = a.substr(flag.size());
        return true;
      }
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    if (a == "--") {
      options_end = true;
    } else if (a == "-t") {
      options->recipients_from_headers = true;
    } else if (a == "-i" || a == "-oi") {
      options->dot_ends_input = false;
    } else if (a == "--store") {
      if (i + 1 >= args.size()) {
        *error = "--store needs a store name";
        return kExitUsage;
      }
      options->store = args[++i];
    } else if (a.rfind("-f", 0) == 0 || a.rfind("-r", 0) == 0) {
      std::string from;
      if (!value(a.substr(0, 2).c_str(), &from)) {
        *error = a.substr(0, 2) + " needs an address";
        return kExitUsage;
      }
      options->envelope_from = Bare(from);
    } else if (a.rfind("-F", 0) == 0) {
      if (!value("-F", &options->full_name)) {
        *error = "-F needs a name";
        return kExitUsage;
      }
    } else if (a.rfind("-o", 0) == 0 || a.rfind("-b", 0) == 0 ||
               a.rfind("-N", 0) == 0 || a.rfind("-R", 0) == 0 ||
               a.rfind("-V", 0) == 0 || a == "-v" || a == "-m" || a == "-U") {
      // Delivery modes, notification and verbosity options of other sendmail
      // commands: nothing to do here. -N, -R and -V take a value.
      if ((a == "-N" || a == "-R" || a == "-V") && i + 1 < args.size()) ++i;
      if (a == "-bs" || a == "-bp" || a == "-bd") {
        *error = "only sending a message from standard input is supported (" +
                 a + ")";
        return kExitUsage;
      }
    } else {
      *error = "unknown option \"" + a + "\"";
      return kExitUsage;
    }
  }
  return kExitOk;
}

int RunSendmail(const SendmailOptions& options, std::FILE* in,
                std::string* error, long long* id) {
  Submission submission;
  submission.store = options.store;
  submission.sender_name = options.full_name;
  submission.received.uid = static_cast<long>(getuid());
  if (!ReadInput(in, options.dot_ends_input, &submission.raw)) {
    *error = "the message is larger than " +
             std::to_string(kMaxSubmissionBytes / (1024 * 1024)) + " MiB";
    return kExitDataErr;
  }
  ReadMail read;
  std::string why;
  if (!ReadMessage(submission.raw, &read, &why)) {
    *error = "the message cannot be read: " + why;
    return kExitDataErr;
  }
  submission.recipients = options.recipients;
  if (options.recipients_from_headers) {
    for (const auto* list : {&read.to, &read.cc, &read.bcc})
      submission.recipients.insert(submission.recipients.end(), list->begin(),
                                   list->end());
  }
  if (submission.recipients.empty()) {
    *error = options.recipients_from_headers
                 ? "no recipients: the message has no To, Cc or Bcc"
                 : "no recipients: name them, or use -t to take them from "
                   "the message";
    return options.recipients_from_headers ? kExitDataErr : kExitUsage;
  }
  if (submission.recipients.size() > kMaxSubmissionRecipients) {
    *error = "too many recipients (at most " +
             std::to_string(kMaxSubmissionRecipients) + ")";
    return kExitDataErr;
  }
  submission.envelope_from =
      !options.envelope_from.empty()
          ? options.envelope_from
          : (!read.from.empty() ? read.from : LoginAddress());
  if (!PlausibleAddress(submission.envelope_from)) {
    *error = "not a mail address: \"" + submission.envelope_from + "\"";
    return kExitDataErr;
  }
  const base::StatusOr<int64_t> stored = Submit(submission, &read);
  if (stored.ok()) {
    if (id != nullptr) *id = *stored;
    return kExitOk;
  }
  *error = stored.status().message();
  return AnswerFor(stored.status()).exit_status;
}

}  // namespace mail
