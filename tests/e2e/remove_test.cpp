// A held message thrown away with tarnvex-device rm while the filter and the
// transport run: gone from every folder, never sent after a rule that covers
// it, its record kept, and the filter's worker goes on with the others.
#include <string>
#include <vector>

#include "tests/e2e/filter_fixture.h"

namespace {

using testing_support::BinPath;
using testing_support::Eventually;
using testing_support::FilterEndToEndTest;
using testing_support::kSendDelayMs;
using testing_support::RunProgram;

class RemoveTest : public FilterEndToEndTest {
 protected:
  int Tool(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::vector<std::string> argv = {BinPath("tarnvex-device"), "--root",
                                     image_->root()};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, out);
  }
};

TEST_F(RemoveTest, AHeldMessageRemovedIsNeverSentAndItsRecordStays) {
  ASSERT_NO_FATAL_FAILURE(RegisterFilter());
  ASSERT_NO_FATAL_FAILURE(StartHost());
  const int64_t thrown = Send({"555 0199"}, "mis-addressed");
  ASSERT_TRUE(
      Eventually([&] { return FolderOf(thrown) == "Outbox\\Tarnvex"; }));
  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
  std::string out;
  ASSERT_EQ(Tool({"info"}, &out), 0);
  EXPECT_NE(out.find("Transport: running (pid "), std::string::npos) << out;
  EXPECT_NE(out.find("filter_host: running (pid "), std::string::npos) << out;
  EXPECT_NE(out.find("Messages: 1 held, 0 waiting, 0 deferred, 0 failed"),
            std::string::npos)
      << out;

  ASSERT_EQ(Tool({"rm", std::to_string(thrown)}, &out), 0);
  EXPECT_EQ(out, "Deleted message " + std::to_string(thrown) +
                     " from SMS\\Outbox\\Tarnvex\n");
  device::ServiceMessage m;
  EXPECT_FALSE(device::GetServiceMessage(thrown, &m));
  for (const device::ServiceMessage& any : device::ListMessages("", ""))
    EXPECT_NE(any.id, thrown) << any.folder_path;

  // Another message to the same number, held; a rule that covers both
  // releases the one that is there, and only that one is sent.
  const int64_t kept = Send({"555 0199"}, "the right one");
  ASSERT_TRUE(Eventually([&] { return FolderOf(kept) == "Outbox\\Tarnvex"; }));
  ASSERT_NO_FATAL_FAILURE(AddCoveringRule("5550199"));
  ASSERT_TRUE(Eventually([&] { return FolderOf(kept) == "Sent Items"; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(kSendDelayMs * 3));
  EXPECT_FALSE(device::GetServiceMessage(thrown, &m));
  EXPECT_EQ(device::ListMessages("SMS", "Sent Items").size(), 1u);
  const std::vector<testing_support::Record> records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].status, 0);  // the thrown one's, as it was
  EXPECT_EQ(records[1].status, 1);  // released
  // The filter goes on: its worker did not stop at the missing message.
  ASSERT_NO_FATAL_FAILURE(HostCommand("rules-changed", "ok"));
  const int64_t next = Send({"555 0199"}, "after");
  EXPECT_TRUE(Eventually([&] { return FolderOf(next) == "Sent Items"; }));
}

}  // namespace
