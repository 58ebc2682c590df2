// The filter end to end with real processes on a temporary device image.
#include "tests/e2e/filter_fixture.h"

namespace {

using testing_support::Eventually;
using testing_support::FilterEndToEndTest;
using testing_support::kSendDelayMs;
using testing_support::Record;

TEST_F(FilterEndToEndTest,
       UncoveredSmsIsHeldTheComposeWindowClosedAndRecorded) {
  StartHost();
  OpenCompose();
  int64_t id = Send({"555 0199"});
  ASSERT_GT(id, 0);
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));

  // The compose window was hidden and its process ended.
  std::string line;
  EXPECT_TRUE(compose_.WaitForLine("hidden", &line, 3000));
  int status = 0;
  ASSERT_TRUE(compose_.Wait(5000, &status));
  EXPECT_TRUE(WIFSIGNALED(status));

  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
  Record r = Records()[0];
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.recipients, "5550199");
  EXPECT_EQ(r.hash, HashTextOf("See you at noon Anna 5550199 Hello"));

  // Never sent, and recorded only once by later passes.
  std::this_thread::sleep_for(std::chrono::milliseconds(kSendDelayMs * 3));
  EXPECT_EQ(FolderOf(id), "Outbox\\Tarnvex");
  EXPECT_EQ(Records().size(), 1u);
}

TEST_F(FilterEndToEndTest, CoveredSmsIsSentAndNotRecorded) {
  StartHost();
  AddCoveringRule("5550199");
  OpenCompose();
  int64_t id = Send({"555 0199"});
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
  EXPECT_TRUE(compose_.running());
  int status = 0;
  EXPECT_FALSE(compose_.Wait(200, &status));
  EXPECT_TRUE(Records().empty());
}

TEST_F(FilterEndToEndTest, OneUncoveredRecipientHoldsTheMessage) {
  StartHost();
  AddCoveringRule("5550199");
  int64_t id = Send({"5550199", "5550111"});
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
  EXPECT_EQ(Records()[0].recipients, "5550199,5550111");
}

TEST_F(FilterEndToEndTest, ARuleAddedLaterReleasesTheHeldMessage) {
  StartHost();
  int64_t id = Send({"555 0199"});
  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
  EXPECT_EQ(Records()[0].status, 0);

  AddCoveringRule("5550199");
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Sent Items"; }));
  std::vector<Record> records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].status, 1);
}

TEST_F(FilterEndToEndTest,
       AMessageHeldButNotRecordedBeforeACrashIsRecordedAfterRestart) {
  StartHost();
  HostCommand("pause", "paused 1");
  int64_t id = Send({"5550123"});
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(Records().empty());  // the paused worker touched nothing
  host_->Kill(SIGKILL);

  StartHost();
  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Records().size(), 1u);
  EXPECT_EQ(FolderOf(id), "Outbox\\Tarnvex");
  EXPECT_EQ(device::ListMessages("SMS", "").size(), 1u);
}

TEST_F(FilterEndToEndTest, PauseTwiceThenResumeOnceRunsTheWorkerAgain) {
  StartHost();
  HostCommand("pause", "paused 1");
  HostCommand("pause", "paused 0");
  int64_t id = Send({"5550124"});
  ASSERT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox\\Tarnvex"; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(Records().empty());
  HostCommand("resume", "resumed 1");
  HostCommand("resume", "resumed 0");
  ASSERT_TRUE(Eventually([&] { return Records().size() == 1; }));
}

}  // namespace
