// A listener record file (<run>/listeners/<pid>) as another process may have
// written it: reading never fails on it, a record read back is one of a live
// process, it survives being written and read again unchanged, its mark
// holds only with the stamps it names, and the transport's gate judges with
// it.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/image.h"
#include "device/service/listeners.h"
#include "fuzz/fuzz_image.h"

using device::service::ListenerRecord;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::FuzzImage();
  const std::string dir = device::RunDir() + "/listeners";
  fuzzing::MakeDir(device::RunDir());
  fuzzing::MakeDir(dir);
  const std::string own = dir + "/" + std::to_string(getpid());
  fuzzing::WriteHostFile(
      own, fuzzing::WithOwnProcess(fuzzing::FromInput(data, size)));

  const std::vector<ListenerRecord> live = device::service::LiveListeners();
  for (const ListenerRecord& record : live) {
    if (record.pid <= 0 ||
        !device::ProcessAlive(record.pid, record.start_time)) {
      std::abort();
    }
    if (record.pid != getpid() || record.program.empty()) continue;
    if (!device::service::WriteListenerRecord(record)) std::abort();
    bool found = false;
    for (const ListenerRecord& again : device::service::LiveListeners()) {
      if (again.pid != record.pid) continue;
      found = true;
      if (again.start_time != record.start_time ||
          again.program != record.program || again.done != record.done ||
          again.stamp != record.stamp || again.wrote != record.wrote ||
          (again.wrote != 0 && again.wrote_stamp != record.wrote_stamp) ||
          again.stores != record.stores) {
        std::abort();
      }
    }
    if (!found) std::abort();
  }
  // A journal whose entries 1 to 1000 have the stamp seq * 7: a mark holds
  // only with the stamps of its entries, and never without a stamp.
  auto stamp_of = [](int64_t seq, int64_t* stamp) {
    if (seq < 1 || seq > 1000) return false;
    *stamp = seq * 7;
    return true;
  };
  for (const ListenerRecord& record : live) {
    const bool holds = device::service::MarkHolds(record, stamp_of);
    if (record.done != 0 && !record.stamp && holds) std::abort();
    if (holds && record.done != 0 && *record.stamp != record.done * 7)
      std::abort();
  }
  for (int64_t store : {int64_t{1}, int64_t{2}}) {
    for (int64_t seq : {int64_t{0}, int64_t{1}, int64_t{1000}}) {
      std::string waiting;
      const bool may = device::service::MaySend(
          store, "SMS", seq, live, {{"Tarnvex", {"MMS"}}}, &waiting);
      if (!may && waiting.empty()) std::abort();  // a wait says for whom
    }
  }
  device::service::RemoveListenerRecord(getpid());
  return 0;
}
