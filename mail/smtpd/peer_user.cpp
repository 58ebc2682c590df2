// Finding a loopback peer's user in the kernel's socket table.
#include "mail/smtpd/peer_user.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

namespace mail {
namespace {

// The tables the kernel keeps of this network's TCP sockets.
constexpr const char* kSocketTables[] = {"/proc/net/tcp", "/proc/net/tcp6"};
// More of a table than this is not read (a row is about 150 bytes: this is
// several hundred thousand sockets).
constexpr std::size_t kMaxSocketTableBytes = std::size_t{64} << 20;
// Fields of a row up to and including the uid: "sl", local, remote, state,
// tx:rx queues, timer, retransmits, uid.
constexpr int kUidField = 7;
// TCP states whose socket still belongs to the process that made it
// (TIME_WAIT and NEW_SYN_RECV rows carry uid 0 whoever made them).
constexpr int kTimeWait = 6;
constexpr int kNewSynRecv = 12;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Exactly `digits` hex digits (at most 8) into *value.
bool ParseHex(std::string_view text, std::size_t digits, uint32_t* value) {
  if (text.size() != digits || digits == 0 || digits > 8) return false;
  uint32_t v = 0;
  for (char c : text) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

// "0100007F:1F90" (IPv4) or 32 hex digits ":" port (IPv6). The kernel
// prints each 32-bit word of the address as it lies in memory, read as a
// host-order number: copying the number back into memory gives the
// address's bytes in network order on any machine.
bool ParseEnd(std::string_view text, SocketEnd* end) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view address = text.substr(0, colon);
  uint32_t port = 0;
  if (!ParseHex(text.substr(colon + 1), 4, &port)) return false;
  SocketEnd out;
  out.port = static_cast<uint16_t>(port);
  if (address.size() == 8) {
    uint32_t word = 0;
    if (!ParseHex(address, 8, &word)) return false;
    out.address[10] = out.address[11] = 0xff;  // ::ffff:a.b.c.d
    std::memcpy(&out.address[12], &word, 4);
  } else if (address.size() == 32) {
    for (std::size_t i = 0; i < 4; ++i) {
      uint32_t word = 0;
      if (!ParseHex(address.substr(i * 8, 8), 8, &word)) return false;
      std::memcpy(&out.address[i * 4], &word, 4);
    }
  } else {
    return false;
  }
  *end = out;
  return true;
}

// A decimal number that fits a uid (uid_t's largest value, -1, is no user).
bool ParseUid(std::string_view text, uid_t* uid) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v >= std::numeric_limits<uid_t>::max()) return false;
  *uid = static_cast<uid_t>(v);
  return true;
}

SocketEnd FromSockaddr(const sockaddr_storage& address) {
  SocketEnd end;
  if (address.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
    end.address[10] = end.address[11] = 0xff;
    std::memcpy(&end.address[12], &in->sin_addr, 4);
    end.port = ntohs(in->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    std::memcpy(end.address.data(), &in6->sin6_addr, 16);
    end.port = ntohs(in6->sin6_port);
  }
  return end;
}

// The client's socket looked up by its four ends through the kernel's
// socket diagnostics (netlink): one socket found by its key, where the text
// tables make the kernel write out every socket of the machine (milliseconds
// a connection on a busy host). nullopt when the kernel cannot tell.
std::optional<uid_t> AskTheKernel(int family, const SocketEnd& peer,
                                  const SocketEnd& ours) {
  const int nl =
      socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (nl < 0) return std::nullopt;
  const timeval wait{1, 0};  // the kernel answers at once; never hang on it
  setsockopt(nl, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } ask{};
  ask.header.nlmsg_len = sizeof(ask);
  ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  ask.header.nlmsg_flags = NLM_F_REQUEST;
  ask.request.sdiag_family = static_cast<uint8_t>(family);
  ask.request.sdiag_protocol = IPPROTO_TCP;
  ask.request.idiag_states = ~0u;
  inet_diag_sockid& id = ask.request.id;
  id.idiag_sport = htons(peer.port);
  id.idiag_dport = htons(ours.port);
  if (family == AF_INET) {
    std::memcpy(id.idiag_src, peer.address.data() + 12, 4);
    std::memcpy(id.idiag_dst, ours.address.data() + 12, 4);
  } else {
    std::memcpy(id.idiag_src, peer.address.data(), 16);
    std::memcpy(id.idiag_dst, ours.address.data(), 16);
  }
  id.idiag_cookie[0] = id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  std::optional<uid_t> uid;
  alignas(nlmsghdr) char answer[8192];
  if (sendto(nl, &ask, sizeof(ask), 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof(kernel)) == static_cast<ssize_t>(sizeof(ask))) {
    ssize_t got = recv(nl, answer, sizeof(answer), 0);
    for (auto* h = reinterpret_cast<nlmsghdr*>(answer);
         got > 0 && NLMSG_OK(h, static_cast<size_t>(got));
         h = NLMSG_NEXT(h, got)) {
      if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
          h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        break;  // an error (no such socket) or the end
      const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
      if (m->id.idiag_sport == id.idiag_sport &&
          m->id.idiag_dport == id.idiag_dport && m->idiag_state != kTimeWait &&
          m->idiag_state != kNewSynRecv) {
        uid = m->idiag_uid;
      }
      break;
    }
  }
  close(nl);
  return uid;
}

bool IsV4Mapped(const SocketEnd& end) {
  static constexpr uint8_t kPrefix[12] = {0, 0, 0, 0, 0,    0,
                                          0, 0, 0, 0, 0xff, 0xff};
  return std::memcmp(end.address.data(), kPrefix, sizeof(kPrefix)) == 0;
}

}  // namespace

bool ParseSocketRow(std::string_view line, SocketRow* row) {
  std::string_view fields[kUidField + 1];
  int count = 0;
  std::size_t pos = 0;
  while (count <= kUidField) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size()) break;
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
    fields[count++] = line.substr(start, pos - start);
  }
  if (count <= kUidField) return false;
  // The row number: digits and a colon ("sl" on the heading line).
  const std::string_view number = fields[0];
  if (number.size() < 2 || number.back() != ':') return false;
  for (std::size_t i = 0; i + 1 < number.size(); ++i)
    if (number[i] < '0' || number[i] > '9') return false;
  SocketRow out;
  uint32_t state = 0;
  if (!ParseEnd(fields[1], &out.local) || !ParseEnd(fields[2], &out.remote) ||
      !ParseHex(fields[3], 2, &state) || !ParseUid(fields[kUidField], &out.uid))
    return false;
  out.state = static_cast<int>(state);
  *row = out;
  return true;
}

std::optional<uid_t> FindPeerUser(std::string_view table, const SocketEnd& peer,
                                  const SocketEnd& ours) {
  std::size_t pos = 0;
  while (pos < table.size()) {
    // Only whole lines: a table cut short may end inside a number.
    const std::size_t nl = table.find('\n', pos);
    if (nl == std::string_view::npos) break;
    SocketRow row;
    if (ParseSocketRow(table.substr(pos, nl - pos), &row) &&
        row.state != kTimeWait && row.state != kNewSynRecv &&
        row.local == peer && row.remote == ours) {
      return row.uid;
    }
    pos = nl + 1;
  }
  return std::nullopt;
}

std::optional<uid_t> PeerUserOfSocket(int fd) {
  sockaddr_storage peer{}, ours{};
  socklen_t peer_size = sizeof(peer), ours_size = sizeof(ours);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &ours_size) != 0)
    return std::nullopt;
  const SocketEnd peer_end = FromSockaddr(peer), our_end = FromSockaddr(ours);
  // An IPv4 client may have an IPv4 socket or a dual one.
  if (IsV4Mapped(peer_end) && IsV4Mapped(our_end)) {
    if (std::optional<uid_t> uid = AskTheKernel(AF_INET, peer_end, our_end))
      return uid;
  }
  if (std::optional<uid_t> uid = AskTheKernel(AF_INET6, peer_end, our_end))
    return uid;
  // The text tables, where the diagnostics are not there.
  for (const char* path : kSocketTables) {
    std::ifstream in(path, std::ios::binary);
    if (!in) continue;
    std::string table;
    char buffer[64 * 1024];
    while (table.size() < kMaxSocketTableBytes &&
           in.read(buffer, sizeof(buffer)).gcount() > 0) {
      table.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    if (std::optional<uid_t> uid = FindPeerUser(table, peer_end, our_end))
      return uid;
  }
  return std::nullopt;
}

}  // namespace mail
