// Reading messages of the device's message service into the program's
// narrow fields, and the MIME extracts of a body.
#include "hold/message_reader.h"

#include <stdlib.h>

#include <cstring>
#include <string>

#include "device/clock.h"
#include "device/codepage.h"
#include "storage/calendar.h"
#include "tests/support/mapi_fixture.h"

namespace {

TEST_F(MapiTest, RecipientsInTableOrderJoinedByCommaAndSpace) {
  IMessage* three =
      Open(Save({u"555 0199", u"anna@example.org", u"555 0199"}, u"s", u"b"));
  ASSERT_NE(three, nullptr);
  MessageFields fields;
  ReadMessageFields(three, &fields);
  EXPECT_STREQ(fields.recipients, "555 0199, anna@example.org, 555 0199");
  EXPECT_STREQ(fields.sender, "Anna");
  EXPECT_STREQ(fields.sender_address, "anna@example.org");
  EXPECT_STREQ(fields.subject, "s");
  EXPECT_NE(fields.received_date[0], '\0');
  EXPECT_NE(fields.received_time[0], '\0');
  three->Release();

  IMessage* one = Open(Save({u"5550199"}, u"s", u"b"));
  ReadMessageFields(one, &fields);
  EXPECT_STREQ(fields.recipients, "5550199");
  one->Release();

  IMessage* none = Open(Save({}, u"s", u"b"));
  ReadMessageFields(none, &fields);
  EXPECT_STREQ(fields.recipients, "");
  none->Release();
}

TEST_F(MapiTest, ReceivedDateIsTheDeviceDayAsTheDayListsLookItUp) {
  IMessage* message = Open(Save({u"5550199"}, u"s", u"b"));
  ASSERT_NE(message, nullptr);
  device::LocalTime when;
  ASSERT_TRUE(device::ParseLocalTime("2026-01-15T21:30", &when));
  const base::Status set = device::SetDeviceClock(when);
  ASSERT_TRUE(set.ok()) << set.message();
  setenv("LC_ALL", "th_TH.UTF-8", 1);
  device::ResetLocaleFromEnvironment();
  MessageFields fields;
  ReadMessageFields(message, &fields);
  std::string today;
  DayText(0, &today);
  EXPECT_EQ(std::string(fields.received_date), today);
  // Thursday 15 January 2026 is in the Buddhist year 2569.
  EXPECT_NE(device::Utf8ToWide(fields.received_date).find(u"15"),
            std::u16string::npos);
  EXPECT_NE(std::string(fields.received_date).find("2569"), std::string::npos);
  EXPECT_NE(std::string(fields.received_time).find("21:30"), std::string::npos);
  unsetenv("LC_ALL");
  device::ResetLocaleFromEnvironment();
  message->Release();
}

TEST_F(MapiTest, LongTextsAreCutToTheirFields) {
  std::u16string subject(1000, u'S');
  std::vector<std::u16string> many(5000, u"5550199");
  IMessage* message =
      Open(Save(many, subject, std::u16string(10 * 1024 * 1024 / 2, u'b')));
  ASSERT_NE(message, nullptr);
  MessageFields fields;
  ReadMessageFields(message, &fields);
  EXPECT_EQ(strlen(fields.subject), kSubjectField - 1);
  EXPECT_EQ(strlen(fields.recipients), kRecipientsField - 1);
  // The outgoing check sees every recipient.
  EXPECT_EQ(ReadRecipientsText(message).size(), 5000 * 7 + 4999 * 2);
  std::string body;
  char reason[kBodyReasonField] = {};
  EXPECT_EQ(ReadBody(message, &body, reason), BodyRead::kRead);
  EXPECT_EQ(body.size(), 10u * 1024 * 1024 / 2);
  message->Release();
}

TEST_F(MapiTest, BodyAndItsFailureReasons) {
  IMessage* message = Open(Save({u"1"}, u"s", u"Caf\u00e9 au lait"));
  std::string body;
  char reason[kBodyReasonField] = {};
  ASSERT_EQ(ReadBody(message, &body, reason), BodyRead::kRead);
  EXPECT_EQ(body, "Caf\xc3\xa9 au lait");  // a new device's UTF-8
  message->Release();

  IMessage* empty = Open(Save({u"1"}, u"s", u""));
  EXPECT_EQ(ReadBody(empty, &body, reason), BodyRead::kNone);
  EXPECT_EQ(body, "");
  EXPECT_STREQ(reason, "BodySize failed.");
  empty->Release();
}

TEST_F(MapiTest, MissingPropertiesComeBackAsErrorValues) {
  IMessage* message = Open(Save({u"1"}, u"s", u"b"));
  EXPECT_FALSE(GetOneProperty(message, PR_RECEIVED_BY_EMAIL_ADDRESS_W));
  LPSPropValue subject = GetOneProperty(message, PR_SUBJECT_W).release();
  ASSERT_NE(subject, nullptr);
  EXPECT_EQ(std::u16string(subject->Value.lpszW), u"s");
  MAPIFreeBuffer(subject);
  message->Release();
}

TEST(ExtractMimePartTest, PartsAfterTheirHeaders) {
  std::string part;
  EXPECT_FALSE(ExtractMimePart("no line break content-type: text/plain",
                               kMimeTextPlain, &part));
  const std::string body =
      "MIME-Version: 1.0\r\n--b\r\nContent-Type: Text/Plain; charset=x\r\n\r\n"
      "Hello There\r\n--b\r\nContent-Type: "
      "text/html\r\n\r\n<HTML><b>Hi</b></HTML>\r\n--b--";
  ASSERT_TRUE(ExtractMimePart(body, kMimeTextPlain, &part));
  EXPECT_EQ(part, "hello there");
  ASSERT_TRUE(ExtractMimePart(body, kMimeTextHtml, &part));
  EXPECT_EQ(
      part,
      "<html><b>hi</b></html>\r\n--b--");  // an HTML start runs to the end
  EXPECT_FALSE(
      ExtractMimePart("a\r\ncontent-type: text/plain", kMimeTextPlain, &part));
  ASSERT_TRUE(
      ExtractMimePart("a\r\ncontent-type: text/plain\r\n\r\n\r\n\r\nend",
                      kMimeTextPlain, &part));
  EXPECT_EQ(part, "end");
}

}  // namespace
