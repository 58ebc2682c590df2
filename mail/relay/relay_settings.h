// Where the device's outgoing mail goes: the relay (an SMTP server that takes
// the user's mail onwards), how to reach it and the store it serves. Set by
// `tarnvex-device mail relay ...`, kept in a private file (0600) under
// <image>/.device/mail/, read by the transport. Without a relay ("none", the
// default) sending stays the device's own move into Sent Items.
//
// The password is copied from the file the user names into the private
// settings: delivery then depends on no file outside the image (one that is
// moved, widened or gone while mail waits), and the transport never opens a
// path it was handed later. It is never printed or logged.
#ifndef TARNVEX_MAIL_RELAY_RELAY_SETTINGS_H_
#define TARNVEX_MAIL_RELAY_RELAY_SETTINGS_H_

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "base/status.h"

namespace mail {

enum class RelayTls {
  kStartTls,  // smtp://, STARTTLS required before anything is sent
  kTls,       // smtps://, TLS from the first byte
  kNone,      // smtp:// without TLS: only for a relay on the loopback address
};

struct RelaySettings {
  bool on = false;  // false: no relay
  std::string url;  // smtp://host[:port][/ehlo-name] or smtps://...
  RelayTls tls = RelayTls::kStartTls;
  std::string user;      // "" for a relay without AUTH
  std::string password;  // with user
  std::string ca_file;   // "" for the system's certificate authorities
  bool verify = true;    // false only with --insecure-skip-verify
  std::string store = "E-mail";
};

inline constexpr size_t kMaxRelayPasswordBytes = 1024;

// <image>/.device/mail/relay
std::string RelaySettingsPath();

// The image's relay; `on` is false when none was set. An I/O error for a
// settings file that cannot be read, corrupt for a damaged one (a transport
// then delivers nothing and says why, rather than guess).
base::StatusOr<RelaySettings> ReadRelaySettings();
// Replaces the settings in one step (a private temporary file, synced, then
// renamed); `on` false writes "none". On a failure (invalid argument for a
// value with a line break, an I/O error for a file that cannot be written)
// the old settings are kept.
base::Status WriteRelaySettings(const RelaySettings& settings);

// The arguments of `mail relay set` (after "set"): URL [--user NAME
// --password-file FILE] [--starttls | --tls | --no-tls] [--ca-file FILE |
// --insecure-skip-verify] [--store NAME]. The password file's first line is
// the password. Invalid argument for anything not usable, an I/O error for a
// password or certificate file that cannot be read; nothing is written
// here.
base::StatusOr<RelaySettings> ParseRelaySetArgs(
    const std::vector<std::string>& args);

// One line for people: URL, TLS mode, user, certificate checking, store;
// never the password. "none" without a relay.
std::string DescribeRelay(const RelaySettings& settings);

// The settings as a running transport sees them: read again whenever the
// file changes (`mail relay set` while the transport runs takes effect at
// its next pass). Safe to use from several threads.
class RelaySettingsWatch {
 public:
  // The current settings. *generation (when given) gets a number that grows
  // whenever they change, for a caller to tell new settings from those it
  // last used. A file that cannot be read holds the default store's mail
  // back rather than let it be moved undelivered: the settings are then "on"
  // with no URL, and *unreadable (when given) says why (ok otherwise).
  RelaySettings Current(unsigned* generation = nullptr,
                        base::Status* unreadable = nullptr);

 private:
  base::Mutex lock_;
  bool read_ GUARDED_BY(lock_) = false;
  dev_t device_ GUARDED_BY(lock_) = 0;
  ino_t inode_ GUARDED_BY(lock_) = 0;
  timespec modified_ GUARDED_BY(lock_){};
  off_t size_ GUARDED_BY(lock_) = -1;
  RelaySettings settings_ GUARDED_BY(lock_);
  base::Status error_ GUARDED_BY(lock_);
  unsigned generation_ GUARDED_BY(lock_) = 0;
};

}  // namespace mail

#endif  // TARNVEX_MAIL_RELAY_RELAY_SETTINGS_H_
