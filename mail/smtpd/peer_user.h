// Which local user holds the other end of a loopback TCP connection, asked
// of the kernel's socket diagnostics (netlink) for that one socket, or read
// from its socket table (/proc/net/tcp and /proc/net/tcp6): the
// client's socket is the row whose local end is the connection's remote end
// and whose remote end is the server's end, and the row's uid column is the
// user who made it. The submission server uses it to keep other users'
// connections from taking the owner's share. No state, no threads; the
// table's text is outside input and is read with bounds on every field.
#ifndef TARNVEX_MAIL_SMTPD_PEER_USER_H_
#define TARNVEX_MAIL_SMTPD_PEER_USER_H_

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace mail {

// One end of a TCP connection: an IPv6 address (an IPv4 one as
// ::ffff:a.b.c.d, so that both tables compare alike) and a port.
struct SocketEnd {
  std::array<uint8_t, 16> address{};
  uint16_t port = 0;
  bool operator==(const SocketEnd&) const = default;
};

// One row of the socket table.
struct SocketRow {
  SocketEnd local, remote;
  int state = 0;  // the kernel's TCP state number (1: established)
  uid_t uid = 0;
};

// Reads one line of /proc/net/tcp or /proc/net/tcp6 (the address width
// tells which). False for the heading line and for anything malformed.
bool ParseSocketRow(std::string_view line, SocketRow* row);

// The uid of the socket in `table` (the text of one or both files) whose
// local end is `peer` and remote end is `ours`; nullopt when there is none.
// Rows without an owner of their own (a connection in TIME_WAIT, a request
// not yet accepted) are passed over, and so is a last line without its
// newline (a table cut short).
std::optional<uid_t> FindPeerUser(std::string_view table, const SocketEnd& peer,
                                  const SocketEnd& ours);

// The user who made the client socket of the connected socket `fd`, from
// the machine's tables; nullopt when it cannot be told (the client is gone,
// the tables cannot be read).
std::optional<uid_t> PeerUserOfSocket(int fd);

}  // namespace mail

#endif  // TARNVEX_MAIL_SMTPD_PEER_USER_H_
