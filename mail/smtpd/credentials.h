// What the device's mail submission asks of a client: a user name and a
// random password, and the device's own TLS certificate (self-signed) with
// its key. Made by `tarnvex-device init` and `mail reset`, kept in private
// files (0600) under <image>/.device/mail/; nothing else on the machine can
// submit without them. Passwords are never printed or logged by the device.
#ifndef TARNVEX_MAIL_SMTPD_CREDENTIALS_H_
#define TARNVEX_MAIL_SMTPD_CREDENTIALS_H_

#include <string>

#include "base/status.h"

namespace mail {

// The submission user's name; the password is what authenticates.
inline constexpr char kSubmissionUser[] = "tarnvex";
inline constexpr int kCertificateDays = 3650;

struct CredentialPaths {
  std::string folder;       // <image>/.device/mail
  std::string password;     // submission-password
  std::string certificate;  // submission-cert.pem
  std::string key;          // submission-key.pem
};
CredentialPaths CredentialFiles();

// Makes the password, certificate and key when any is missing (`replace`:
// always, as `mail reset` does). An I/O error when they cannot be made or
// written; nothing half made is left in their place.
base::Status EnsureCredentials(bool replace);

// The submission password; false when it cannot be read.
bool ReadSubmissionPassword(std::string* password);
// Compares in constant time with the kept password.
bool SubmissionPasswordMatches(const std::string& user,
                               const std::string& password);

// "AB:CD:..." SHA-256 of the certificate's DER form; not found when there
// is no certificate, corrupt when it cannot be read.
base::StatusOr<std::string> CertificateFingerprint();

}  // namespace mail

#endif  // TARNVEX_MAIL_SMTPD_CREDENTIALS_H_
