// The relay settings file: read, checked and written in place atomically.
#include "mail/relay/relay_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "device/files.h"
#include "device/image.h"

namespace mail {
namespace {

constexpr char kSmtp[] = "smtp://";
constexpr char kSmtps[] = "smtps://";

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// A value kept on one line of the settings file: no line breaks, no NUL,
// no other control characters.
bool OneLineValue(const std::string& value) {
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

const char* TlsWord(RelayTls tls) {
  switch (tls) {
    case RelayTls::kStartTls:
      return "starttls";
    case RelayTls::kTls:
      return "tls";
    case RelayTls::kNone:
      return "none";
  }
  return "starttls";
}

// The host of a URL already known to start with smtp:// or smtps://, and
// whether the URL is well formed: host[:port][/ehlo-name], the host a name,
// an IPv4 address or an IPv6 one in brackets; no user or password in it.
bool SplitUrl(const std::string& url, std::string* host, std::string* why) {
  const size_t start = url.find("://") + 3;
  const size_t slash = url.find('/', start);
  const std::string authority = url.substr(
      start, slash == std::string::npos ? std::string::npos : slash - start);
  for (unsigned char c : url) {
    if (c <= ' ' || c >= 0x7f) {
      *why = "the relay's URL holds a blank or a character outside ASCII";
      return false;
    }
  }
  if (authority.find('@') != std::string::npos) {
    *why =
        "the relay's URL names a user; give it with --user and the password "
        "with --password-file";
    return false;
  }
  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) {
      *why = "the relay's URL has an IPv6 address without its closing ]";
      return false;
    }
    *host = authority.substr(0, close + 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') {
        *why = "the relay's URL has text after its IPv6 address";
        return false;
      }
      port = authority.substr(close + 2);
      if (port.empty()) port = "-";
    }
  } else {
    const size_t colon = authority.find(':');
    *host = authority.substr(0, colon);
    if (colon != std::string::npos) {
      port = authority.substr(colon + 1);
      if (port.empty()) port = "-";
    }
  }
  if (host->empty() || *host == "[]") {
    *why = "the relay's URL names no host";
    return false;
  }
  if (!port.empty()) {
    char* end = nullptr;
    const long n = std::strtol(port.c_str(), &end, 10);
    if (*end != '\0' || n < 1 || n > 65535 || port[0] == '+' ||
        port[0] == '-') {
      *why = "the relay's port must be a number from 1 to 65535";
      return false;
    }
  }
  return true;
}

bool IsLoopback(const std::string& host) {
  return host == "localhost" || host == "[::1]" || StartsWith(host, "127.");
}

// The first line of the password file, without its line end.
base::StatusOr<std::string> ReadPasswordFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    return base::Status::IoError("cannot read the password file \"" + path +
                                 "\": " + std::strerror(errno));
  }
  std::string text;
  char buffer[512];
  base::Status unread;
  while (text.size() <= kMaxRelayPasswordBytes + 2) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      unread = base::Status::IoError("cannot read the password file \"" + path +
                                     "\": " + std::strerror(errno));
      break;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
    if (text.find('\n') != std::string::npos) break;
  }
  close(fd);
  if (!unread.ok()) return unread;
  const size_t nl = text.find('\n');
  if (nl != std::string::npos) text.resize(nl);
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.empty()) {
    return base::Status::InvalidArgument("the password file \"" + path +
                                         "\" holds no password");
  }
  if (text.size() > kMaxRelayPasswordBytes) {
    return base::Status::InvalidArgument(
        "the password in \"" + path + "\" is longer than " +
        std::to_string(kMaxRelayPasswordBytes) + " bytes");
  }
  if (!OneLineValue(text)) {
    return base::Status::InvalidArgument("the password in \"" + path +
                                         "\" holds a control character");
  }
  return text;
}

}  // namespace

std::string RelaySettingsPath() { return device::MailDataDir() + "/relay"; }

base::StatusOr<RelaySettings> ReadRelaySettings() {
  const std::string path = RelaySettingsPath();
  struct stat st;
  if (stat(path.c_str(), &st) != 0 && errno == ENOENT)
    return RelaySettings{};  // none set: no relay
  std::ifstream in(path, std::ios::binary);
  if (!in) return base::Status::IoError("cannot read " + path);
  RelaySettings read;
  bool none = false, has_url = false;
  std::string line;
  auto damaged = [&](const std::string& what) {
    return base::Status::Corrupt(
        "the relay settings in " + path + " are damaged (" + what +
        "); set them again with tarnvex-device mail relay set");
  };
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space);
    const std::string value =
        space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "none") {
      none = true;
    } else if (key == "url") {
      read.url = value;
      has_url = true;
    } else if (key == "tls") {
      if (value == "starttls") {
        read.tls = RelayTls::kStartTls;
      } else if (value == "tls") {
        read.tls = RelayTls::kTls;
      } else if (value == "none") {
        read.tls = RelayTls::kNone;
      } else {
        return damaged("tls " + value);
      }
    } else if (key == "user") {
      read.user = value;
    } else if (key == "password") {
      read.password = value;
    } else if (key == "ca-file") {
      read.ca_file = value;
    } else if (key == "verify") {
      if (value != "on" && value != "off") return damaged("verify");
      read.verify = value == "on";
    } else if (key == "store") {
      if (value.empty()) return damaged("store");
      read.store = value;
    } else {
      return damaged("unknown line \"" + key + "\"");
    }
  }
  if (none) return RelaySettings{};
  std::string host, why;
  if (!has_url ||
      !(StartsWith(read.url, kSmtp) || StartsWith(read.url, kSmtps)) ||
      !SplitUrl(read.url, &host, &why)) {
    return damaged("no usable url");
  }
  if (!read.user.empty() && read.password.empty())
    return damaged("a user without a password");
  read.on = true;
  return read;
}

base::Status WriteRelaySettings(const RelaySettings& settings) {
  std::ostringstream text;
  text << "# The device's relay (tarnvex-device mail relay); private.\n";
  if (!settings.on) {
    text << "none\n";
  } else {
    for (const std::string* value :
         {&settings.url, &settings.user, &settings.password, &settings.ca_file,
          &settings.store}) {
      if (!OneLineValue(*value)) {
        return base::Status::InvalidArgument(
            "a relay setting holds a line break or a control character");
      }
    }
    text << "url " << settings.url << "\n";
    text << "tls " << TlsWord(settings.tls) << "\n";
    if (!settings.user.empty()) {
      text << "user " << settings.user << "\n";
      text << "password " << settings.password << "\n";
    }
    if (!settings.ca_file.empty())
      text << "ca-file " << settings.ca_file << "\n";
    text << "verify " << (settings.verify ? "on" : "off") << "\n";
    text << "store " << settings.store << "\n";
  }
  const std::string path = RelaySettingsPath();
  if (!device::EnsurePrivateDir(device::MailDataDir()) ||
      !device::WritePrivateFile(path, text.str())) {
    return base::Status::IoError("cannot write " + path);
  }
  return base::Status::Ok();
}

base::StatusOr<RelaySettings> ParseRelaySetArgs(
    const std::vector<std::string>& args) {
  RelaySettings s;
  s.on = true;
  std::string password_file;
  bool starttls = false, tls = false, no_tls = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    if (a == "--user" && value(&s.user)) continue;
    if (a == "--password-file" && value(&password_file)) continue;
    if (a == "--ca-file" && value(&s.ca_file)) continue;
    if (a == "--store" && value(&s.store)) continue;
    if (a == "--starttls") {
      starttls = true;
    } else if (a == "--tls") {
      tls = true;
    } else if (a == "--no-tls") {
      no_tls = true;
    } else if (a == "--insecure-skip-verify") {
      s.verify = false;
    } else if (!a.empty() && a[0] != '-' && s.url.empty()) {
      s.url = a;
    } else {
      return base::Status::InvalidArgument("unknown or incomplete argument \"" +
                                           a + "\"");
    }
  }
  if (s.url.empty()) {
    return base::Status::InvalidArgument(
        "relay set needs the relay's URL (smtp://host:587 or "
        "smtps://host:465)");
  }
  const bool smtps = StartsWith(s.url, kSmtps);
  if (!smtps && !StartsWith(s.url, kSmtp)) {
    return base::Status::InvalidArgument(
        "the relay's URL must begin with smtp:// or smtps://");
  }
  std::string host, why;
  if (!SplitUrl(s.url, &host, &why)) return base::Status::InvalidArgument(why);
  if (starttls + tls + no_tls > 1) {
    return base::Status::InvalidArgument(
        "give one of --starttls, --tls and --no-tls");
  }
  if (tls && !smtps) {
    return base::Status::InvalidArgument(
        "--tls is TLS from the first byte: it needs an smtps:// URL "
        "(usually port 465)");
  }
  if ((starttls || no_tls) && smtps) {
    return base::Status::InvalidArgument(
        "an smtps:// URL is TLS from the first byte; --starttls and "
        "--no-tls need smtp://");
  }
  if (no_tls && !IsLoopback(host)) {
    return base::Status::InvalidArgument(
        "--no-tls is only for a relay on this machine (127.0.0.1, "
        "[::1] or localhost): mail and password would cross the "
        "network unencrypted");
  }
  s.tls = smtps    ? RelayTls::kTls
          : no_tls ? RelayTls::kNone
                   : RelayTls::kStartTls;
  if (s.user.empty() != password_file.empty()) {
    return base::Status::InvalidArgument(
        "--user and --password-file go together");
  }
  if (!s.user.empty() && !OneLineValue(s.user)) {
    return base::Status::InvalidArgument(
        "the user name holds a control character");
  }
  if (!password_file.empty()) {
    base::StatusOr<std::string> password = ReadPasswordFile(password_file);
    if (!password.ok()) return password.status();
    s.password = *std::move(password);
  }
  if (!s.ca_file.empty() && !s.verify) {
    return base::Status::InvalidArgument(
        "--ca-file and --insecure-skip-verify exclude each other");
  }
  if (no_tls && (!s.ca_file.empty() || !s.verify)) {
    return base::Status::InvalidArgument(
        "--no-tls has no certificate to check");
  }
  if (!s.ca_file.empty()) {
    char resolved[PATH_MAX];
    struct stat st;
    if (realpath(s.ca_file.c_str(), resolved) == nullptr ||
        stat(resolved, &st) != 0 || !S_ISREG(st.st_mode) ||
        access(resolved, R_OK) != 0) {
      return base::Status::IoError("cannot read the certificate file \"" +
                                   s.ca_file + "\"");
    }
    s.ca_file = resolved;
  }
  if (s.store.empty() || !OneLineValue(s.store)) {
    return base::Status::InvalidArgument("--store needs a store name");
  }
  return s;
}

std::string DescribeRelay(const RelaySettings& s) {
  if (!s.on) return "none";
  std::string text = s.url;
  switch (s.tls) {
    case RelayTls::kStartTls:
      text += " (STARTTLS";
      break;
    case RelayTls::kTls:
      text += " (TLS";
      break;
    case RelayTls::kNone:
      text += " (no TLS, loopback";
      break;
  }
  if (s.tls != RelayTls::kNone) {
    text += !s.verify           ? ", certificate NOT checked"
            : s.ca_file.empty() ? ", certificate checked against the system's "
                                  "authorities"
                                : ", certificate checked against " + s.ca_file;
  }
  text += s.user.empty() ? ", no login" : ", user " + s.user;
  text += ") for " + s.store;
  return text;
}

RelaySettings RelaySettingsWatch::Current(unsigned* generation,
                                          base::Status* unreadable) {
  base::MutexLock guard(&lock_);
  struct stat st {};
  const bool exists = stat(RelaySettingsPath().c_str(), &st) == 0;
  const bool same =
      read_ && (exists ? st.st_dev == device_ && st.st_ino == inode_ &&
                             st.st_size == size_ &&
                             st.st_mtim.tv_sec == modified_.tv_sec &&
                             st.st_mtim.tv_nsec == modified_.tv_nsec
                       : size_ == -1);
  if (!same) {
    base::StatusOr<RelaySettings> read = ReadRelaySettings();
    RelaySettings fresh;
    base::Status why;
    if (read.ok()) {
      fresh = *std::move(read);
    } else {
      why = read.status();
      fresh.on = true;  // with no URL: nothing is delivered, nor moved
    }
    read_ = true;
    device_ = exists ? st.st_dev : 0;
    inode_ = exists ? st.st_ino : 0;
    size_ = exists ? st.st_size : -1;
    modified_ = exists ? st.st_mtim : timespec{};
    const bool differ =
        fresh.on != settings_.on || fresh.url != settings_.url ||
        fresh.tls != settings_.tls || fresh.user != settings_.user ||
        fresh.password != settings_.password ||
        fresh.ca_file != settings_.ca_file ||
        fresh.verify != settings_.verify || fresh.store != settings_.store ||
        why.code() != error_.code() || why.message() != error_.message();
    settings_ = fresh;
    error_ = why;
    if (differ) ++generation_;
  }
  if (generation != nullptr) *generation = generation_;
  if (unreadable != nullptr) *unreadable = error_;
  return settings_;
}

}  // namespace mail
