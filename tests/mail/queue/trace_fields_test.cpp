// The fields the device puts in front of a message it takes in: only those
// missing, with the message's own line ends, a client's EHLO name that
// cannot break out of its comment, and text without a header kept a body.
#include "mail/queue/trace_fields.h"

#include <gtest/gtest.h>

#include <string>

#include "mail/mime/mime_message.h"

namespace {

using mail::AddedFields;
using mail::ReadMail;
using mail::Reception;

constexpr int64_t kNow = 1700000000000;  // 2023-11-14 22:13:20 UTC

ReadMail Read(const std::string& raw) {
  ReadMail read;
  std::string error;
  EXPECT_TRUE(mail::ReadMessage(raw, &read, &error)) << error;
  return read;
}

TEST(TraceFieldsTest, OnlyMissingFieldsAreAddedWithTheMessagesLineEnds) {
  Reception smtp;
  smtp.helo = "client.example";
  smtp.client_address = "127.0.0.1";
  smtp.tls = smtp.authenticated = true;
  const std::string bare = "Subject: x\r\n\r\nbody\r\n";
  const std::string added =
      AddedFields(smtp, bare, Read(bare), kNow, "example.org");
  const size_t date_at = added.find("\r\nDate: ");
  ASSERT_NE(date_at, std::string::npos) << added;
  const std::string date =
      added.substr(date_at + 8, added.find("\r\n", date_at + 2) - date_at - 8);
  EXPECT_NE(date.find(" Nov 2023 "), std::string::npos) << date;
  EXPECT_EQ(added.substr(0, date_at + 2),
            "Received: from client.example (localhost [127.0.0.1])\r\n"
            "\tby localhost (tarnvex-device) with ESMTPSA;\r\n\t" +
                date + "\r\n");
  EXPECT_NE(added.find("\r\nMessage-ID: <"), std::string::npos) << added;
  EXPECT_NE(added.find("@example.org>\r\n"), std::string::npos) << added;
  // A message with both keeps them; LF lines get LF fields.
  const std::string full =
      "Date: Mon, 2 Mar 2026 10:00:00 +0100\nMessage-ID: <a@b>\n\nx\n";
  Reception local;
  local.uid = 1000;
  const std::string fields = AddedFields(local, full, Read(full), kNow, "b");
  EXPECT_EQ(fields.substr(0, 51),
            "Received: by localhost (tarnvex-device, from userid");
  EXPECT_EQ(fields.find('\r'), std::string::npos);
  EXPECT_EQ(fields.find("Date:"), std::string::npos);
  EXPECT_EQ(fields.find("Message-ID:"), std::string::npos);
}

TEST(TraceFieldsTest, HostileEhloNamesAndHeaderlessTextStayInTheirPlace) {
  Reception smtp;
  smtp.client_address = "127.0.0.1";
  smtp.helo =
      "x) by evil (\r\nBcc: eve@example.net;\xC3\xA9" + std::string(500, 'a');
  const std::string bare = "Subject: x\r\n\r\nbody\r\n";
  const std::string added = AddedFields(smtp, bare, Read(bare), kNow, "b");
  const std::string first = added.substr(0, added.find("\r\n"));
  EXPECT_EQ(first.find(')'), first.rfind(')')) << first;       // one, ours
  EXPECT_EQ(added.find("\nBcc"), std::string::npos) << added;  // no field
  EXPECT_LE(first.size(), 16 + mail::kMaxTracedHeloName + 30) << first;
  // Text without a header (as `echo text | sendmail` gives) stays the body.
  const std::string text = "just a line\n";
  const std::string fields =
      AddedFields(Reception{}, text, Read(text), kNow, "b");
  EXPECT_EQ(fields.substr(fields.size() - 2), "\n\n");
  ReadMail again = Read(fields + text);
  EXPECT_EQ(again.text, "just a line\n");
}

}  // namespace
