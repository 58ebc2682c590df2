// The peer's user from the kernel's socket table: rows as the kernel writes
// them, hostile and broken rows that must match nothing, and a real
// loopback connection of this process.
#include "mail/smtpd/peer_user.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using mail::FindPeerUser;
using mail::ParseSocketRow;
using mail::SocketEnd;
using mail::SocketRow;

constexpr char kHeading[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when "
    "retrnsmt   uid  timeout inode\n";

SocketEnd V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  SocketEnd end;
  end.address[10] = end.address[11] = 0xff;
  end.address[12] = a, end.address[13] = b, end.address[14] = c;
  end.address[15] = d;
  end.port = port;
  return end;
}

// A row as the kernel prints it, with the address words as they lie in
// memory read as a host-order number.
std::string Row(const SocketEnd& local, const SocketEnd& remote, int state,
                const std::string& uid) {
  auto end = [](const SocketEnd& e) {
    uint32_t word;
    std::memcpy(&word, &e.address[12], 4);
    char text[16];
    std::snprintf(text, sizeof(text), "%08X:%04X", word, e.port);
    return std::string(text);
  };
  char state_text[4];
  std::snprintf(state_text, sizeof(state_text), "%02X", state);
  return "   3: " + end(local) + " " + end(remote) + " " + state_text +
         " 00000000:00000000 00:00000000 00000000  " + uid +
         "        0 4242 1 0000000000000000 20 4 30 10 -1\n";
}

const SocketEnd kServer = V4(127, 0, 0, 1, 2525);
const SocketEnd kClient = V4(127, 0, 0, 1, 40000);

TEST(PeerUserTest, TheClientsRowGivesItsUserAndNoOtherRowDoes) {
  // The server's own end of the connection (local and remote swapped), a
  // TIME_WAIT row of the same ends (uid 0 whoever made it), then the
  // client's row.
  const std::string table = kHeading + Row(kServer, kClient, 1, "0") +
                            Row(kClient, kServer, 6, "0") +
                            Row(kClient, kServer, 1, "1001");
  EXPECT_EQ(FindPeerUser(table, kClient, kServer), 1001u);
  EXPECT_EQ(FindPeerUser(table, V4(127, 0, 0, 2, 40000), kServer),
            std::nullopt);
  // The kernel's own lines read back as written.
  SocketRow row;
  ASSERT_TRUE(ParseSocketRow(Row(kClient, kServer, 1, "1001"), &row));
  EXPECT_EQ(row.local, kClient);
  EXPECT_EQ(row.remote, kServer);
  EXPECT_EQ(row.state, 1);
  // IPv6 (::1 and a mapped IPv4 address) from /proc/net/tcp6.
  ASSERT_TRUE(ParseSocketRow(
      "0: 00000000000000000000000001000000:9C40 "
      "0000000000000000FFFF00000100007F:09DD 01 00000000:00000000 "
      "00:00000000 00000000  7 0 1\n",
      &row));
  EXPECT_EQ(row.local.address[15], 1);
  EXPECT_EQ(row.local.port, 40000);
  EXPECT_EQ(row.remote, kServer);
  EXPECT_EQ(row.uid, 7u);
}

TEST(PeerUserTest, HostileRowsMatchNothing) {
  const std::string good = Row(kClient, kServer, 1, "1001");
  const std::string fields = " 00000000:00000000 00:00000000 00000000  ";
  const std::string local = "0100007F:9C40 ", remote = "0100007F:09DD 01";
  const std::string broken[] = {
      kHeading,
      "",
      "   3:",
      "3: " + local + remote + fields,                        // no uid
      "3 " + local + remote + fields + "1001",                // no colon
      "x3: " + local + remote + fields + "1001",              // not a number
      "3: 100007F:9C40 " + remote + fields + "1001",          // 7 digits
      "3: 0100007FF:9C40 " + remote + fields + "1001",        // 9 digits
      "3: 0100007G:9C40 " + remote + fields + "1001",         // not hex
      "3: 0100007F:9C400 " + remote + fields + "1001",        // long port
      "3: 0100007F9C40 " + remote + fields + "1001",          // no colon
      "3: " + local + "0100007F:09DD 1" + fields + "1001",    // short state
      "3: " + local + remote + fields + "-1",                 // negative
      "3: " + local + remote + fields + "4294967295",         // no user
      "3: " + local + remote + fields + "99999999999999999",  // overflow
      "3: " + local + remote + fields + "10x1",               // not decimal
      "3: " + local + remote + fields +
          std::string("10\0"
                      "01",
                      5),
      std::string(100000, ' ') + "3:",
  };
  for (const std::string& line : broken) {
    SocketRow row;
    EXPECT_FALSE(ParseSocketRow(line, &row)) << line;
    EXPECT_EQ(FindPeerUser(line + "\n", kClient, kServer), std::nullopt)
        << line;
  }
  // A table cut short inside the uid ("1001" read as "10") is not trusted.
  EXPECT_EQ(
      FindPeerUser(good.substr(0, good.find("1001") + 2), kClient, kServer),
      std::nullopt);
}

TEST(PeerUserTest, ARealLoopbackClientIsThisProcesssUser) {
  const int server = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(server, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(listen(server, 1), 0);
  ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&address), &size),
            0);
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), size), 0);
  const int accepted = accept(server, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  EXPECT_EQ(mail::PeerUserOfSocket(accepted), geteuid());
  close(client);
  close(accepted);
  close(server);
}

}  // namespace
