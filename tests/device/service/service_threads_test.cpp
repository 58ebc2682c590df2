// The message service across processes: notifications for changes made by
// another process and by this one arrive on the service's own thread in
// commit order; moves interrupted by a killed process lose or double
// nothing.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/mapi_fixture.h"

namespace {

class RecordingSink : public IMAPIAdviseSink {
 public:
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return ++count_; }
  ULONG Release() override {
    ULONG now = --count_;
    if (now == 0) delete this;
    return now;
  }
  ULONG OnNotify(ULONG count, LPNOTIFICATION notifications) override {
    std::lock_guard<std::mutex> guard(lock_);
    for (ULONG i = 0; i < count; ++i) {
      const OBJECT_NOTIFICATION& o = notifications[i].info.obj;
      Event e;
      e.type = notifications[i].ulEventType;
      e.object.assign(reinterpret_cast<uint8_t*>(o.lpEntryID),
                      reinterpret_cast<uint8_t*>(o.lpEntryID) + o.cbEntryID);
      e.parent.assign(reinterpret_cast<uint8_t*>(o.lpParentID),
                      reinterpret_cast<uint8_t*>(o.lpParentID) + o.cbParentID);
      e.thread = std::this_thread::get_id();
      events_.push_back(e);
    }
    changed_.notify_all();
    return 0;
  }
  struct Event {
    ULONG type;
    std::vector<uint8_t> object, parent;
    std::thread::id thread;
  };
  bool WaitFor(size_t n, int ms = 5000) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(ms),
                             [&] { return events_.size() >= n; });
  }
  std::vector<Event> events() {
    std::lock_guard<std::mutex> guard(lock_);
    return events_;
  }

 private:
  std::atomic<ULONG> count_{1};
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

std::vector<uint8_t> Bytes(LPSPropValue v) {
  return std::vector<uint8_t>(v->Value.bin.lpb,
                              v->Value.bin.lpb + v->Value.bin.cb);
}

TEST_F(MapiTest,
       OtherProcessesAndOwnMovesAreNotifiedOnTheServiceThreadInOrder) {
  IMsgStore* store = OpenFirstStore();
  ASSERT_NE(store, nullptr);
  // The service holds its own reference until it stops.
  RecordingSink& sink = *new RecordingSink;
  ULONG connection = 0;
  ASSERT_EQ(store->Advise(0, nullptr, fnevObjectCreated | fnevObjectMoved,
                          &sink, &connection),
            S_OK);
  struct Releaser {
    RecordingSink* s;
    ~Releaser() { s->Release(); }
  } releaser{&sink};
  LPSPropValue outbox_id =
      GetOneProperty(store, PR_IPM_OUTBOX_ENTRYID).release();
  ASSERT_NE(outbox_id, nullptr);

  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(testing_support::RunProgram(
                  {testing_support::BinPath("tarnvex-device"), "--root",
                   image_->root(), "send", "--store", "SMS", "--to", "5550199",
                   "--body", "b" + std::to_string(i)}),
              0);
  }
  ASSERT_TRUE(sink.WaitFor(3));
  std::vector<RecordingSink::Event> events = sink.events();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(events[i].type, fnevObjectCreated);
    EXPECT_EQ(events[i].parent, Bytes(outbox_id));
    EXPECT_EQ(events[i].object, MessageEntry(i + 1));
    EXPECT_NE(events[i].thread, std::this_thread::get_id());
  }

  // A move made by this process is notified too.
  ULONG type = 0;
  IUnknown* object = nullptr;
  ASSERT_EQ(
      store->OpenEntry(outbox_id->Value.bin.cb,
                       reinterpret_cast<LPENTRYID>(outbox_id->Value.bin.lpb),
                       nullptr, MAPI_MODIFY, &type, &object),
      S_OK);
  IMAPIFolder* outbox = static_cast<IMAPIFolder*>(object);
  IMAPIFolder* held = nullptr;
  ASSERT_EQ(outbox->CreateFolder(FOLDER_GENERIC,
                                 const_cast<char16_t*>(u"Tarnvex"), nullptr,
                                 nullptr, MAPI_UNICODE | OPEN_IF_EXISTS, &held),
            S_OK);
  std::vector<uint8_t> entry = MessageEntry(2);
  SBinary bin = {static_cast<ULONG>(entry.size()), entry.data()};
  ENTRYLIST list = {1, &bin};
  ASSERT_EQ(
      outbox->CopyMessages(&list, nullptr, held, 0, nullptr, MESSAGE_MOVE),
      S_OK);
  // Moving it again from where it no longer is fails and changes nothing.
  EXPECT_EQ(
      outbox->CopyMessages(&list, nullptr, held, 0, nullptr, MESSAGE_MOVE),
      MAPI_E_NOT_FOUND);
  ASSERT_TRUE(sink.WaitFor(5));  // the folder's creation and the move
  events = sink.events();
  EXPECT_EQ(events[3].type, fnevObjectCreated);  // the held folder
  EXPECT_EQ(events[4].type, fnevObjectMoved);
  EXPECT_EQ(events[4].object, entry);
  EXPECT_EQ(events.size(), 5u);

  store->Unadvise(connection);
  held->Release();
  outbox->Release();
  MAPIFreeBuffer(outbox_id);
  store->Release();
}

TEST_F(MapiTest, MovesInterruptedByKilledProcessesLoseAndDoubleNothing) {
  constexpr int kMessages = 100;
  for (int i = 0; i < kMessages; ++i) Save({u"1"}, u"s", u"b");
  std::mt19937 random(42);
  for (int round = 0; round < 10; ++round) {
    pid_t child = fork();
    if (child == 0) {
      // Moves messages between the Outbox and the Drafts until killed.
      IMAPISession* session = nullptr;
      device::CloseMessageService();
      if (MAPILogonEx(0, nullptr, nullptr, 0, &session) != S_OK) _exit(1);
      IMsgStore* store = OpenFirstStore();
      LPSPropValue outbox_id =
          GetOneProperty(store, PR_IPM_OUTBOX_ENTRYID).release();
      LPSPropValue drafts_id =
          GetOneProperty(store, PR_CE_IPM_DRAFTS_ENTRYID).release();
      ULONG type = 0;
      IUnknown* a = nullptr;
      IUnknown* b = nullptr;
      store->OpenEntry(outbox_id->Value.bin.cb,
                       reinterpret_cast<LPENTRYID>(outbox_id->Value.bin.lpb),
                       nullptr, MAPI_MODIFY, &type, &a);
      store->OpenEntry(drafts_id->Value.bin.cb,
                       reinterpret_cast<LPENTRYID>(drafts_id->Value.bin.lpb),
                       nullptr, MAPI_MODIFY, &type, &b);
      IMAPIFolder* folders[2] = {static_cast<IMAPIFolder*>(a),
                                 static_cast<IMAPIFolder*>(b)};
      for (unsigned n = 0;; ++n) {
        std::vector<uint8_t> entry = MessageEntry(1 + n % kMessages);
        SBinary bin = {13, entry.data()};
        ENTRYLIST list = {1, &bin};
        if (folders[0]->CopyMessages(&list, nullptr, folders[1], 0, nullptr,
                                     MESSAGE_MOVE) != S_OK) {
          folders[1]->CopyMessages(&list, nullptr, folders[0], 0, nullptr,
                                   MESSAGE_MOVE);
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 80));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  std::vector<device::ServiceMessage> all = device::ListMessages("SMS", "");
  ASSERT_EQ(all.size(), static_cast<size_t>(kMessages));
  for (const auto& m : all) {
    EXPECT_TRUE(m.folder_path == "Outbox" || m.folder_path == "Drafts")
        << m.folder_path;
  }
}

}  // namespace
