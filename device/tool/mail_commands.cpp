// tarnvex-device sendmail: the sendmail convention into an e-mail store.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mail/relay/relay_settings.h"
#include "mail/smtpd/credentials.h"
#ifdef TARNVEX_SUBMISSION_SERVER
#include "mail/smtpd/submission_server.h"
#endif
#include "device/service/service.h"
#include "device/tool/command.h"
#include "mail/sendmail/sendmail.h"

namespace device_tool {
namespace {

int Sendmail(const std::vector<std::string>& args) {
  mail::SendmailOptions options;
  std::string error;
  int code = mail::ParseSendmailArgs(args, &options, &error);
  if (code != mail::kExitOk) return Fail("sendmail: " + error, code);
  code = mail::RunSendmail(options, stdin, &error);
  if (code != mail::kExitOk) return Fail("sendmail: " + error, code);
  return 0;
}

#ifdef TARNVEX_SUBMISSION_SERVER
// mail submission [--port N | --off | --on] [--store NAME]: where `run`
// serves SMTP submission.
int Submission(const std::vector<std::string>& args) {
  base::StatusOr<mail::SubmissionSettings> read =
      mail::ReadSubmissionSettings();
  if (!read.ok()) return Fail(read.status());
  mail::SubmissionSettings settings = *std::move(read);
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--off") {
      settings.on = false;
    } else if (args[i] == "--on") {
      settings.on = true;
    } else if (args[i] == "--port" && i + 1 < args.size()) {
      char* end = nullptr;
      const long port = std::strtol(args[++i].c_str(), &end, 10);
      if (*end != '\0' || port < 1 || port > 65535)
        return Fail("mail submission: --port needs a port from 1 to 65535", 2);
      settings.port = static_cast<uint16_t>(port);
      settings.on = true;
    } else if (args[i] == "--store" && i + 1 < args.size()) {
      settings.store = args[++i];
    } else {
      return Fail(
          "mail submission: unknown or incomplete argument \"" + args[i] + "\"",
          2);
    }
  }
  if (args.size() > 1) {
    if (base::Status written = mail::WriteSubmissionSettings(settings);
        !written.ok()) {
      return Fail(written);
    }
  }
  if (settings.on) {
    std::printf("Submission: 127.0.0.1:%u into %s (when run)\n",
                static_cast<unsigned>(settings.port), settings.store.c_str());
  } else {
    std::printf("Submission: off\n");
  }
  return 0;
}
#endif

// mail relay set URL [...] | mail relay show | mail relay none: where the
// transport delivers the e-mail store's mail.
int Relay(const std::vector<std::string>& args) {
  mail::RelaySettings settings;
  if (args.size() >= 2 && args[1] == "set") {
    base::StatusOr<mail::RelaySettings> parsed =
        mail::ParseRelaySetArgs({args.begin() + 2, args.end()});
    if (!parsed.ok()) {
      return Fail("mail relay set: " + parsed.status().message(), 2);
    }
    settings = *std::move(parsed);
    if (base::Status opened = device::OpenMessageService(); !opened.ok())
      return Fail(opened);
    const std::vector<std::string> stores = device::StoreNames();
    if (std::find(stores.begin(), stores.end(), settings.store) ==
        stores.end()) {
      return Fail("mail relay set: no store \"" + settings.store +
                      "\" on the device (tarnvex-device store list)",
                  2);
    }
    if (base::Status written = mail::WriteRelaySettings(settings);
        !written.ok()) {
      return Fail(written);
    }
  } else if (args.size() == 2 && args[1] == "none") {
    if (base::Status written = mail::WriteRelaySettings(settings);
        !written.ok()) {
      return Fail(written);
    }
  } else if (args.size() == 2 && args[1] == "show") {
    base::StatusOr<mail::RelaySettings> read = mail::ReadRelaySettings();
    if (!read.ok()) return Fail(read.status());
    settings = *std::move(read);
  } else {
    return Fail(
        "mail relay needs set URL [--user NAME --password-file FILE] "
        "[--starttls | --tls | --no-tls] [--ca-file FILE | "
        "--insecure-skip-verify] [--store NAME], show or none",
        2);
  }
  std::printf("Relay: %s\n", mail::DescribeRelay(settings).c_str());
  return 0;
}

// mail show | mail reset: what a mail client needs to submit to the device.
int Mail(const std::vector<std::string>& args) {
  if (!args.empty() && args[0] == "relay") return Relay(args);
#ifdef TARNVEX_SUBMISSION_SERVER
  if (!args.empty() && args[0] == "submission") return Submission(args);
#endif
  const bool show = args.size() == 1 && args[0] == "show";
  const bool reset = args.size() == 1 && args[0] == "reset";
  if (!show && !reset)
    return Fail("mail needs show, reset, submission [...] or relay [...]", 2);
  if (base::Status made = mail::EnsureCredentials(reset); !made.ok())
    return Fail(made);
  const base::StatusOr<std::string> fingerprint =
      mail::CertificateFingerprint();
  if (!fingerprint.ok()) return Fail(fingerprint.status());
  const mail::CredentialPaths paths = mail::CredentialFiles();
  if (reset) std::printf("New submission password and certificate made.\n");
  std::printf("Submission user:      %s\n", mail::kSubmissionUser);
  std::printf("Password file:        %s\n", paths.password.c_str());
  std::printf("Certificate:          %s\n", paths.certificate.c_str());
  std::printf("Certificate SHA-256:  %s\n", fingerprint->c_str());
#ifdef TARNVEX_SUBMISSION_SERVER
  const base::StatusOr<mail::SubmissionSettings> submission =
      mail::ReadSubmissionSettings();
  // A setting that cannot be read shows as off.
  if (submission.ok() && submission->on) {
    const mail::SubmissionSettings& settings = *submission;
    std::printf(
        "Submission:           127.0.0.1:%u (STARTTLS; AUTH PLAIN or "
        "LOGIN) into %s\n",
        static_cast<unsigned>(settings.port), settings.store.c_str());
  } else {
    std::printf("Submission:           off\n");
  }
#endif
  const base::StatusOr<mail::RelaySettings> relay = mail::ReadRelaySettings();
  if (relay.ok()) {
    std::printf("Relay:                %s\n",
                mail::DescribeRelay(*relay).c_str());
  } else {
    std::printf("Relay:                unusable: %s\n",
                relay.status().message().c_str());
  }
  return 0;
}

// mail's sub-commands: submission only where run can serve it (a directive
// cannot stand inside the registration's macro).
const std::vector<SubCommand> kMailSubCommands = {
    {.name = "show",
     .summary = "show the submission user, password file, certificate and "
                "where run serves submission"},
    {.name = "reset",
     .summary = "make a new submission password and certificate"},
#ifdef TARNVEX_SUBMISSION_SERVER
    {.name = "submission",
     .args = "[--port N | --off | --on] [--store NAME]",
     .summary = "set where run serves SMTP submission (127.0.0.1, port 2525, "
                "into E-mail unless set)",
     .options = {{"--port N", "serve on port N (1 to 65535); turns it on"},
                 {"--off", "serve no submission"},
                 {"--on", "serve it again"},
                 {"--store NAME", "the store that submitted mail goes into"}}},
#endif
    {.name = "relay",
     .args = "set URL [OPTIONS] | show | none",
     .summary = "where the transport delivers the E-mail store's mail (none: "
                "it stays the device's own move into Sent Items)",
     .options = {{"URL", "smtp://host:587 (STARTTLS) or smtps://host:465"},
                 {"--user NAME", "the relay's login"},
                 {"--password-file FILE",
                  "its password, copied into the private settings"},
                 {"--starttls, --tls", "TLS after STARTTLS, or from the start"},
                 {"--no-tls", "plain SMTP, for a relay on this machine only"},
                 {"--ca-file FILE",
                  "the certificates the relay's is checked against"},
                 {"--insecure-skip-verify",
                  "do not check the relay's certificate"},
                 {"--store NAME", "the e-mail store it delivers (E-mail)"}}},
};

TARNVEX_DEVICE_COMMAND({
    .name = "mail",
    .summary = "what a mail client needs to submit mail to the device",
    .subcommands = kMailSubCommands,
    .fn = Mail,
});

TARNVEX_DEVICE_COMMAND({
    .name = "sendmail",
    .args = "[-t] [-i] [-oi] [-f ADDR] [-F NAME] [--store NAME] [--] [RCPT...]",
    .summary = "take a message on standard input into the E-mail store's "
               "Outbox, as sendmail does",
    .details = "Exit status 0 once the message is stored, 75 to try again "
               "later, 64 for a usage error, 65 for a message it cannot take. "
               "Other sendmail options are accepted and ignored.",
    .options = {{"-t", "take the recipients from the To, Cc and Bcc headers"},
                {"-i, -oi",
                 "a line with a lone \".\" does not end the message"},
                {"-f ADDR, -r ADDR", "the envelope sender"},
                {"-F NAME", "the sender's full name"},
                {"--store NAME", "the store (default: E-mail)"},
                {"--", "what follows is recipients only"},
                {"RCPT", "a recipient's address"}},
    .fn = Sendmail,
    .usage_status = mail::kExitUsage,
    .no_image_status = mail::kExitTempFail,
});

}  // namespace
}  // namespace device_tool
