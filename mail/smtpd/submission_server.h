// The device's SMTP submission server: listens on the loopback address only,
// one SmtpSession a connection, STARTTLS with the device's own certificate,
// AUTH with the submission password (credentials.h), and every accepted
// message stored through Submit (submission.h) before its "250". The owner's
// connections and other users' have shares of their own
// (connection_limits.h). It can follow the image's setting while it runs,
// moving to a new port without a restart. Runs on the thread of a Qt event
// loop (tarnvex-device run's main thread).
#ifndef TARNVEX_MAIL_SMTPD_SUBMISSION_SERVER_H_
#define TARNVEX_MAIL_SMTPD_SUBMISSION_SERVER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/status.h"

namespace mail {

inline constexpr uint16_t kDefaultSubmissionPort = 2525;
// Bytes read from a connection at a time (the session's output grows with
// what one Feed takes).
inline constexpr int64_t kSubmissionReadChunk = 64 * 1024;

struct SubmissionSettings {
  bool on = true;
  uint16_t port = kDefaultSubmissionPort;  // 0: any free port
  std::string store = "E-mail";            // the store mail goes into
};
// The image's setting (`tarnvex-device mail submission`); the defaults when
// none was made; corrupt for a setting file that cannot be read.
base::StatusOr<SubmissionSettings> ReadSubmissionSettings();
// An I/O error when the setting cannot be written.
base::Status WriteSubmissionSettings(const SubmissionSettings& settings);

class SubmissionServer {
 public:
  SubmissionServer();
  ~SubmissionServer();
  SubmissionServer(const SubmissionServer&) = delete;
  SubmissionServer& operator=(const SubmissionServer&) = delete;

  // Listens on 127.0.0.1:`port` for mail into `store`. Busy when the port is
  // taken (an I/O error when it cannot be listened on otherwise), not found
  // without a certificate and key, corrupt when they cannot be read.
  base::Status Start(uint16_t port, const std::string& store);
  // The port listened on (the one chosen when 0 was asked); 0 when off.
  uint16_t port() const;

  // A line for the user; `problem` lines are errors.
  using Say = std::function<void(const std::string& line, bool problem)>;
  // From now on follows the image's "mail submission" setting: when it
  // changes (a watch on its folder, no polling) the server moves to the new
  // port or store, or stops or starts. A port that cannot be bound is said
  // and the old one kept. An I/O error when the setting cannot be watched.
  base::Status FollowSettings(Say say);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace mail

#endif  // TARNVEX_MAIL_SMTPD_SUBMISSION_SERVER_H_
