#include "device/service/listeners.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "device/files.h"
#include "device/image.h"
#include "device/window_registry.h"

namespace device::service {
namespace {

std::string ListenersDir() { return RunDir() + "/listeners"; }
std::string FiltersPath() { return DeviceDataDir() + "/filters"; }

std::string RecordPath(pid_t pid) {
  return ListenersDir() + "/" + std::to_string(static_cast<long long>(pid));
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

// Replaces `path` with `text` in one step (a reader never sees half a file);
// the file is private to the image's owner. A listener's record lives only
// as long as its process and is not synced; the registered filters are.
bool ReplaceFile(const std::string& path, const std::string& text,
                 FileSync sync = FileSync::kSynced) {
  return WritePrivateFile(path, text, sync);
}

bool ReadRecord(const std::string& path, ListenerRecord* record) {
  std::ifstream in(path);
  if (!in) return false;
  std::string word;
  while (in >> word) {
    if (word == "pid") {
      long long pid = 0;
      in >> pid;
      record->pid = static_cast<pid_t>(pid);
    } else if (word == "start") {
      in >> record->start_time;
    } else if (word == "program") {
      in >> record->program;
    } else if (word == "done") {
      in >> record->done;
    } else if (word == "stamp") {
      int64_t stamp = 0;
      in >> stamp;
      record->stamp = stamp;
    } else if (word == "wrote") {
      in >> record->wrote >> record->wrote_stamp;
    } else if (word == "store") {
      long long id = 0;
      std::string state;
      in >> id >> state;
      record->stores[id] = state == "ready";
    } else {
      return false;
    }
    if (!in) return false;
  }
  return record->pid > 0;
}

}  // namespace

std::string OwnProgramName() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "unknown";
  path[n] = '\0';
  std::string name(path);
  size_t slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const std::string deleted = " (deleted)";
  if (name.size() > deleted.size() &&
      name.compare(name.size() - deleted.size(), deleted.size(), deleted) ==
          0) {
    name.resize(name.size() - deleted.size());
  }
  for (char& c : name) {
    if (c == ' ' || c == '\n' || c == '\t') c = '_';
  }
  // The installed program is Tarnvex.exe, the built one Tarnvex: one name.
  const std::string exe = ".exe";
  if (name.size() > exe.size() &&
      strcasecmp(name.c_str() + name.size() - exe.size(), exe.c_str()) == 0) {
    name.resize(name.size() - exe.size());
  }
  return name;
}

unsigned long long ProcessStartTimeOf(pid_t pid) {
  return ProcessStartTime(pid);
}

bool WriteListenerRecord(const ListenerRecord& record) {
  if (!EnsurePrivateDir(RunDir()) || !EnsurePrivateDir(ListenersDir()))
    return false;
  std::ostringstream text;
  text << "pid " << record.pid << "\nstart " << record.start_time
       << "\nprogram " << record.program << "\ndone " << record.done << "\n";
  if (record.stamp) text << "stamp " << *record.stamp << "\n";
  if (record.wrote != 0)
    text << "wrote " << record.wrote << " " << record.wrote_stamp << "\n";
  for (const auto& [store, ready] : record.stores) {
    text << "store " << store << " " << (ready ? "ready" : "catching-up")
         << "\n";
  }
  return ReplaceFile(RecordPath(record.pid), text.str(), FileSync::kUnsynced);
}

void RemoveListenerRecord(pid_t pid) { unlink(RecordPath(pid).c_str()); }

std::vector<ListenerRecord> LiveListeners() {
  std::vector<ListenerRecord> live;
  DIR* dir = opendir(ListenersDir().c_str());
  if (dir == nullptr) return live;
  while (dirent* item = readdir(dir)) {
    const std::string name = item->d_name;
    if (name.empty() || name[0] == '.' || name.find('.') != std::string::npos)
      continue;
    const std::string path = ListenersDir() + "/" + name;
    ListenerRecord record;
    if (!ReadRecord(path, &record)) continue;  // being written, or not ours
    if (!ProcessAlive(record.pid, record.start_time)) {
      unlink(path.c_str());
      continue;
    }
    live.push_back(std::move(record));
  }
  closedir(dir);
  return live;
}

std::vector<FilterRegistration> RegisteredFilters() {
  std::vector<FilterRegistration> filters;
  std::ifstream in(FiltersPath());
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    FilterRegistration filter;
    if (!(words >> filter.program) || filter.program[0] == '#') continue;
    std::string word;
    if (words >> word && word == "except") {
      while (words >> word) filter.except_stores.push_back(word);
    }
    filters.push_back(std::move(filter));
  }
  return filters;
}

namespace {

base::Status WriteFilters(const std::vector<FilterRegistration>& filters) {
  std::ostringstream text;
  for (const FilterRegistration& f : filters) {
    text << f.program;
    if (!f.except_stores.empty()) {
      text << " except";
      for (const std::string& s : f.except_stores) text << " " << s;
    }
    text << "\n";
  }
  if (!ReplaceFile(FiltersPath(), text.str()))
    return base::Status::IoError("cannot write " + FiltersPath());
  return base::Status::Ok();
}

}  // namespace

base::Status RegisterFilter(const FilterRegistration& filter) {
  if (filter.program.empty() ||
      filter.program.find_first_of(" \t\n/") != std::string::npos) {
    return base::Status::InvalidArgument(
        "a filter is named by its program's file name, without blanks or /");
  }
  for (const std::string& s : filter.except_stores) {
    if (s.empty() || s.find_first_of(" \t\n") != std::string::npos) {
      return base::Status::InvalidArgument(
          "store names after --except may not hold blanks: \"" + s + "\"");
    }
  }
  std::vector<FilterRegistration> filters = RegisteredFilters();
  bool replaced = false;
  for (FilterRegistration& f : filters) {
    if (f.program == filter.program) {
      f = filter;
      replaced = true;
    }
  }
  if (!replaced) filters.push_back(filter);
  return WriteFilters(filters);
}

base::Status UnregisterFilter(const std::string& program) {
  std::vector<FilterRegistration> filters = RegisteredFilters();
  std::vector<FilterRegistration> kept;
  for (FilterRegistration& f : filters) {
    if (f.program != program) kept.push_back(std::move(f));
  }
  if (kept.size() == filters.size()) {
    return base::Status::NotFound("no filter \"" + program +
                                  "\" is registered");
  }
  return WriteFilters(kept);
}

bool MarkHolds(const ListenerRecord& listener,
               const std::function<bool(int64_t, int64_t*)>& stamp_of) {
  auto there = [&](int64_t seq, int64_t stamp) {
    int64_t now = 0;
    return stamp_of(seq, &now) && now == stamp;
  };
  if (listener.done != 0 &&
      (!listener.stamp || !there(listener.done, *listener.stamp))) {
    return false;
  }
  return listener.wrote <= listener.done ||
         there(listener.wrote, listener.wrote_stamp);
}

bool MaySend(int64_t store, const std::string& store_name, int64_t arrival_seq,
             const std::vector<ListenerRecord>& listeners,
             const std::vector<FilterRegistration>& filters,
             std::string* waiting) {
  auto wait_for = [&](const std::string& why) {
    if (waiting != nullptr) *waiting = why;
    return false;
  };
  if (arrival_seq <= 0) return wait_for("its arrival to be announced");
  // Every live listener of the store has handled the arrival.
  for (const ListenerRecord& l : listeners) {
    auto it = l.stores.find(store);
    if (it == l.stores.end()) continue;
    if (!it->second || l.done < arrival_seq) {
      return wait_for(l.program + " (pid " +
                      std::to_string(static_cast<long long>(l.pid)) +
                      ") to handle it");
    }
  }
  // And each registered filter that enters the store listens on it.
  for (const FilterRegistration& f : filters) {
    bool exempt = false;
    for (const std::string& s : f.except_stores)
      exempt = exempt || SameName(s, store_name);
    if (exempt) continue;
    bool listening = false;
    for (const ListenerRecord& l : listeners) {
      auto it = l.stores.find(store);
      listening =
          listening || (l.program == f.program && it != l.stores.end() &&
                        it->second && l.done >= arrival_seq);
    }
    if (!listening) return wait_for(f.program + " to listen on " + store_name);
  }
  return true;
}

}  // namespace device::service
