// Mail kept as it was received: the service saves a message and its raw form
// in one transaction, returns the raw bytes unchanged, and stores nothing of
// a message it refuses.
#include <string>
#include <vector>

#include "device/service/service.h"
#include "tests/support/mapi_fixture.h"

namespace {

class KeptMailTest : public MapiTest {
 protected:
  device::ServiceMessage Mail() {
    device::ServiceMessage m;
    m.subject = u"Gr\u00fc\u00dfe";
    m.body = u"Bis bald";
    m.sender_address = u"anna@example.org";
    m.recipients = {u"bob@example.org", u"carol@example.net"};
    return m;
  }
};

TEST_F(KeptMailTest, TheRawFormComesBackByteForByteBesideTheMessage) {
  device::KeptMail kept;
  kept.envelope_from = "anna@example.org";
  // CRLF lines, 8-bit bytes, a NUL, a lone CR: bytes, not text.
  kept.raw = std::string("Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n\r\nBis ") +
             std::string("\xff\x00\xc3\r", 4) + "bald\r\n";
  const base::StatusOr<int64_t> saved =
      device::SaveOutgoingMail("SMS", Mail(), kept);
  ASSERT_TRUE(saved.ok()) << saved.status().ToString();
  const int64_t id = *saved;
  ASSERT_GT(id, 0);
  device::KeptMail read;
  ASSERT_TRUE(device::GetKeptMail(id, &read));
  EXPECT_EQ(read.raw, kept.raw);
  EXPECT_EQ(read.envelope_from, "anna@example.org");
  // The message itself is an Outbox message like any other.
  device::ServiceMessage m;
  ASSERT_TRUE(device::GetServiceMessage(id, &m));
  EXPECT_EQ(m.folder_path, "Outbox");
  EXPECT_EQ(m.recipients.size(), 2u);
  // A message saved without a raw form has none.
  const base::StatusOr<int64_t> plain =
      device::SaveOutgoingMessage("SMS", Mail());
  ASSERT_TRUE(plain.ok()) << plain.status().message();
  EXPECT_FALSE(device::GetKeptMail(*plain, &read));
}

TEST_F(KeptMailTest, ARefusedMailLeavesNothingBehind) {
  device::KeptMail kept;
  kept.envelope_from = "anna@example.org";
  kept.raw = "Subject: x\r\n\r\nx\r\n";
  // The kinds say what the sender must change: the store, the message.
  base::StatusOr<int64_t> saved =
      device::SaveOutgoingMail("Nowhere", Mail(), kept);
  EXPECT_TRUE(saved.status().IsNotFound()) << saved.status().ToString();
  EXPECT_NE(saved.status().message().find("Nowhere"), std::string::npos);
  kept.raw.assign(device::kMaxRawBytes + 1, 'x');
  saved = device::SaveOutgoingMail("SMS", Mail(), kept);
  EXPECT_TRUE(saved.status().IsInvalidArgument()) << saved.status().ToString();
  EXPECT_NE(saved.status().message().find("too large"), std::string::npos);
  EXPECT_TRUE(device::ListMessages("", "").empty());
}

}  // namespace
