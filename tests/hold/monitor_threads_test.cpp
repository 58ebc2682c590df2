// Monitoring in this process: the outgoing check on the service's thread,
// the worker on its own, and the pause that keeps the worker from every
// database, folder and rule table until it is resumed.
#include <atomic>
#include <chrono>
#include <thread>

#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "hold/stores.h"
#include "storage/day_lists.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/record_connections.h"
#include "storage/rules_db.h"
#include "tests/support/mapi_fixture.h"

namespace {

template <typename Predicate>
bool Eventually(Predicate done, int timeout_ms = 10000) {
  auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// The real environment, counting the waits of the watch's threads that end
// (each one a wake-up).
class CountingEnv : public hold::Env {
 public:
  bool WaitUntil(base::CondVar* cv, base::Mutex* mutex,
                 Clock::time_point deadline) override REQUIRES(mutex) {
    const bool woken = Env::WaitUntil(cv, mutex, deadline);
    ++wakes;
    return woken;
  }
  std::atomic<int> wakes{0};
};

class MonitorTest : public MapiTest {
 protected:
  void SetUp() override {
    MapiTest::SetUp();
    storage::ResetLocations();
    ResetInitDatabases();
    ResetRuleTable();
    FindInstallFolder();
    InitDatabases();
    monitor_ = std::make_unique<hold::Monitor>();
    ASSERT_TRUE(monitor_->Start());
  }
  void TearDown() override {
    monitor_->Stop();
    device::CloseMessageService();  // no notification arrives any more
    CloseRulesDb();
    monitor_.reset();
    ResetMessageDb();
    MapiTest::TearDown();
  }

  std::unique_ptr<hold::Monitor> monitor_;
  int Recorded() {
    std::vector<DayRecord> records;
    // A store that cannot be read yet counts what was read.
    base::IgnoreFailure(ReadStoreDay("SMS", 0, true, true, &records, nullptr),
                        "Counting the records");
    return static_cast<int>(records.size());
  }
  std::string FolderOf(int64_t id) {
    device::ServiceMessage m;
    return device::GetServiceMessage(id, &m) ? m.folder_path : "";
  }
};

TEST_F(MonitorTest, APausedWorkerRecordsNothingUntilResumed) {
  ASSERT_TRUE(monitor_->PauseWorker());
  EXPECT_FALSE(monitor_->PauseWorker());  // one flag, not a count
  int64_t a = Save({u"5550199"}, u"a", u"first");
  int64_t b = Save({u"5550111"}, u"b", u"second");
  // The outgoing check is never paused: both are held at once.
  ASSERT_TRUE(Eventually([&] {
    return FolderOf(a) == "Outbox\\Tarnvex" && FolderOf(b) == "Outbox\\Tarnvex";
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(Recorded(), 0);
  // The rule table may be rebuilt while the worker stands still.
  ASSERT_TRUE(AddRule("", "5550199", "", 90).ok());
  ASSERT_TRUE(LoadRules());
  monitor_->NoteRulesChanged();
  EXPECT_TRUE(monitor_->ResumeWorker());
  EXPECT_FALSE(monitor_->ResumeWorker());
  ASSERT_TRUE(Eventually([&] { return FolderOf(a) == "Outbox"; }));
  ASSERT_TRUE(Eventually([&] { return Recorded() == 2; }));
  EXPECT_EQ(FolderOf(b), "Outbox\\Tarnvex");
}

TEST_F(MonitorTest, PauseGuardsResumeTheWorkerOnlyWhenTheLastOneEnds) {
  auto editor = std::make_unique<hold::WorkerPause>(monitor_.get());
  {
    hold::WorkerPause refresh(monitor_.get());
  }  // a list refresh came and went meanwhile
  int64_t a = Save({u"5550199"}, u"a", u"first");
  ASSERT_TRUE(Eventually([&] { return FolderOf(a) == "Outbox\\Tarnvex"; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(Recorded(), 0);  // still paused for the editor
  editor.reset();
  EXPECT_TRUE(Eventually([&] { return Recorded() == 1; }));
}

TEST_F(MonitorTest, AWorkerStartedWhileAPauseGuardLivesStartsPaused) {
  // The rules editor is open while the watch comes back and starts a worker.
  monitor_->Stop();
  auto editor = std::make_unique<hold::WorkerPause>(monitor_.get());
  ASSERT_TRUE(monitor_->Start());
  int64_t a = Save({u"5550199"}, u"a", u"first");
  ASSERT_TRUE(Eventually([&] { return FolderOf(a) == "Outbox\\Tarnvex"; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(Recorded(), 0);               // the new worker waits for the editor
  EXPECT_FALSE(monitor_->PauseWorker());  // it is paused already
  editor.reset();
  EXPECT_TRUE(Eventually([&] { return Recorded() == 1; }));
}

TEST_F(MonitorTest, MessagesInOtherFoldersAreLeftAlone) {
  // A message the check lets pass is not touched again when it moves on.
  ASSERT_TRUE(AddRule("", "5550199", "", 90).ok());
  ASSERT_TRUE(LoadRules());
  int64_t id = Save({u"5550199"}, u"ok", u"allowed");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(FolderOf(id), "Outbox");
  EXPECT_EQ(device::SendDueMessages(0), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(FolderOf(id), "Sent Items");
  EXPECT_EQ(Recorded(), 0);
}

TEST_F(MonitorTest, StopsAndStartsAgainInOneProcessAsTheFirstTime) {
  int64_t a = Save({u"5550199"}, u"a", u"first");
  ASSERT_TRUE(Eventually([&] { return FolderOf(a) == "Outbox\\Tarnvex"; }));
  ASSERT_TRUE(Eventually([&] { return Recorded() == 1; }));

  monitor_->Stop();
  EXPECT_EQ(monitor_->stores().Count(), 0);
  EXPECT_EQ(monitor_->stores().Session(), nullptr);
  EXPECT_EQ(monitor_->stores().JudgedMessageCount(), 0u);
  EXPECT_FALSE(monitor_->PauseWorker());  // no worker to pause
  // Not watched now: a message saved meanwhile waits in the Outbox.
  int64_t b = Save({u"5550111"}, u"b", u"second");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(FolderOf(b), "Outbox");

  ASSERT_TRUE(monitor_->Start());
  EXPECT_EQ(monitor_->stores().Count(), 1);
  // The start takes up what came meanwhile, and holds new messages as the
  // first start did.
  int64_t c = Save({u"5550122"}, u"c", u"third");
  ASSERT_TRUE(Eventually([&] {
    return FolderOf(b) == "Outbox\\Tarnvex" && FolderOf(c) == "Outbox\\Tarnvex";
  }));
  ASSERT_TRUE(Eventually([&] { return Recorded() == 3; }));
  EXPECT_EQ(FolderOf(a), "Outbox\\Tarnvex");
  // The pause works on the new worker.
  EXPECT_TRUE(monitor_->PauseWorker());
  EXPECT_TRUE(monitor_->ResumeWorker());
}

TEST_F(MonitorTest, AnIdleWatchSleepsUntilThereIsWork) {
  monitor_->Stop();
  CountingEnv env;
  monitor_ = std::make_unique<hold::Monitor>(&env);
  ASSERT_TRUE(monitor_->Start());
  int64_t id = Save({u"5550111"}, u"a", u"held");
  ASSERT_TRUE(Eventually([&] { return Recorded() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Held and recorded, nothing left to do: the worker sleeps, it does not
  // look again and again.
  const int before = env.wakes.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_LE(env.wakes.load() - before, 1);
  // Work wakes it at once: the rule that covers the message releases it.
  ASSERT_TRUE(AddRule("", "5550111", "", 90).ok());
  ASSERT_TRUE(LoadRules());
  monitor_->NoteRulesChanged();
  EXPECT_TRUE(Eventually([&] { return FolderOf(id) == "Outbox"; }));
  monitor_->Stop();
  monitor_ = std::make_unique<hold::Monitor>();  // not on `env` any more
}

}  // namespace
