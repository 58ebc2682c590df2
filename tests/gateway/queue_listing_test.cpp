// Reading postqueue -j: Postfix's own lines, and lines that are not what
// they should be, none of which stops the reading of the next.
#include "gateway/queue_listing.h"

#include <gtest/gtest.h>

namespace gateway {
namespace {

TEST(QueueListingTest, ReadsPostfixsLines) {
  const QueueListing listing = ParseQueueListing(
      R"({"queue_name": "hold", "queue_id": "5F873A720EF", "arrival_time": 1796899791, "message_size": 420, "forced_expire": false, "sender": "a@tarnvex.test", "recipients": [{"address": "no@example.org"}]})"
      "\n"
      R"({"queue_name": "deferred", "queue_id": "4ZxK2L3q1Nz9", "recipients": [{"address": "x@y", "delay_reason": "connect to [127.0.0.1]:25: Connection refused"}]})"
      "\n");
  ASSERT_EQ(listing.size(), 2u);
  EXPECT_EQ(listing.at("5F873A720EF"), "hold");
  EXPECT_EQ(listing.at("4ZxK2L3q1Nz9"), "deferred");
  EXPECT_TRUE(ParseQueueListing("").empty());
  // Both kinds of id are ids; what Postfix never makes is not.
  EXPECT_TRUE(IsPostfixQueueId("5F873A720EF"));
  EXPECT_TRUE(IsPostfixQueueId("4ZxK2L3q1Nz9"));
  EXPECT_TRUE(IsPostfixQueueId(std::string(kMaxQueueIdBytes, 'B')));
  EXPECT_FALSE(IsPostfixQueueId(std::string(kMaxQueueIdBytes + 1, 'B')));
  EXPECT_FALSE(IsPostfixQueueId(""));
}

TEST(QueueListingTest, MembersInAnyOrderWithEscapes) {
  const QueueListing listing = ParseQueueListing(
      R"({"sender": "\"q\\uot\"ed\u00e9@x", "queue_id" : "A1", "queue_name":"incoming"})");
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing.at("A1"), "incoming");
  size_t at = 0;
  std::string out;
  EXPECT_TRUE(ReadJsonString(R"("a\u00e9\ud83d\ude00\ud800x\n")", &at, &out));
  EXPECT_EQ(out, "a\xc3\xa9\xf0\x9f\x98\x80\xef\xbf\xbdx\n");
}

TEST(QueueListingTest, BrokenLinesArePassedOver) {
  const QueueListing listing = ParseQueueListing(
      "postqueue: warning: Mail system is down -- accessing queue directly\n"
      R"({"queue_name": "hold", "queue_id": "CUT)"
      "\n"
      R"({"queue_name": "hold"})"
      "\n"
      R"({"queue_name": 7, "queue_id": "NUM"})"
      "\n"
      R"({"queue_name": "hold", "queue_id": "BAD", "x": [1, 2,]})"
      "\n"
      R"({"queue_name": "hold", "queue_id": ""})"
      "\n"
      "{" +
      std::string(1000, '[') +
      "\n"
      R"({"queue_name": "active", "queue_id": "GOOD", "n": [[{"a": null}], true, -1.5e3]})"
      "\n");
  ASSERT_EQ(listing.size(), 1u);
  EXPECT_EQ(listing.at("GOOD"), "active");
}

}  // namespace
}  // namespace gateway
