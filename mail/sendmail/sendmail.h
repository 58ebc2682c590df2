// The sendmail convention, for programs that hand mail to a command (mutt,
// git send-email's sendemail.sendmailcmd, cron): the message on standard
// input, the recipients as arguments or (-t) from its headers. The message is
// saved into an e-mail store's Outbox through the message service, where the
// filter judges it, with its raw form kept for delivery. Exit codes are
// sysexits.h's: 0 only once the message is stored durably.
#ifndef TARNVEX_MAIL_SENDMAIL_SENDMAIL_H_
#define TARNVEX_MAIL_SENDMAIL_SENDMAIL_H_

#include <cstdio>
#include <string>
#include <vector>

namespace mail {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 64;     // EX_USAGE
inline constexpr int kExitDataErr = 65;   // EX_DATAERR
inline constexpr int kExitSoftware = 70;  // EX_SOFTWARE
inline constexpr int kExitTempFail = 75;  // EX_TEMPFAIL

// The store mail goes into unless --store says otherwise (the one `init`
// makes).
inline constexpr char kDefaultMailStore[] = "E-mail";
// The largest message sendmail takes, as the submission server's SIZE.
inline constexpr size_t kMaxSubmissionBytes = 25 * 1024 * 1024;
// The most recipients one message may have.
inline constexpr size_t kMaxSubmissionRecipients = 1000;

struct SendmailOptions {
  bool recipients_from_headers = false;   // -t
  bool dot_ends_input = true;             // cleared by -i / -oi
  std::string envelope_from;              // -f
  std::string full_name;                  // -F
  std::string store = kDefaultMailStore;  // --store
  std::vector<std::string> recipients;
};

// Parses the arguments after "sendmail". kExitOk, or kExitUsage with *error.
// Options the convention knows but that mean nothing here (-oem, -odi, -v,
// -bm, ...) are accepted and ignored, as other sendmail commands do.
int ParseSendmailArgs(const std::vector<std::string>& args,
                      SendmailOptions* options, std::string* error);

// Reads the message from `in` (a lone "." line ends it unless -i) and saves
// it. The exit code, with a one-line reason in *error when it is not 0; *id
// (when given) gets the service's message id.
int RunSendmail(const SendmailOptions& options, std::FILE* in,
                std::string* error, long long* id = nullptr);

}  // namespace mail

#endif  // TARNVEX_MAIL_SENDMAIL_SENDMAIL_H_
