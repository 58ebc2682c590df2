// Where the program's files live: the install folder found from the running
// program, the storage cards, the database folder and the CE paths built on
// them, with the small file probes the search uses.
#include "storage/locations.h"

#include <sys/stat.h>

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/debug.h"
#include "base/mutex.h"
#include "device/codepage.h"
#include "device/files.h"
#include "device/image.h"
#include "device/image_root.h"

namespace storage {
namespace {

struct Locations {
  std::u16string install;      // wide install folder, "" when not found
  std::string install_narrow;  // its low bytes
  char16_t cards[kMaxStorageCards][kCardSlotChars] = {};
  int card_count = 0;
  std::u16string chosen_card;
  std::string chosen_card_narrow;
  std::string db_folder;  // ends with a backslash once found
  // UseDataFolder: db_folder is fixed at the top of a host folder.
  bool data_folder = false;
};

// One lock for all of it; no function here takes it twice (those that run
// under it are marked REQUIRES).
base::Mutex g_mutex;
Locations g_state GUARDED_BY(g_mutex);

void EnumStorageCardsLocked() REQUIRES(g_mutex);

// printf into a path; a result longer than 259 characters is refused and
// yields "" (false).
bool FormatPath(std::string* out, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
bool FormatPath(std::string* out, const char* format, ...) {
  char buf[kMaxPathChars + 1];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) > kMaxPathChars) {
    base::DebugOut("Path too long, refused: %s\n", format);
    out->clear();
    return false;
  }
  out->assign(buf, static_cast<size_t>(n));
  return true;
}

// Wide path joined from parts; "" when it would exceed 259 characters.
std::u16string JoinWide(std::initializer_list<std::u16string_view> parts) {
  std::u16string out;
  for (auto p : parts) out += p;
  if (out.size() > kMaxPathChars) {
    base::DebugOut("Path too long, refused\n");
    return u"";
  }
  return out;
}

std::string ProgramFilesNarrow() {
  return device::WideToAnsi(device::ProgramFilesFolder());
}

std::string RootFolderNarrow() REQUIRES(g_mutex) {
  const Locations& s = g_state;
  return s.install.empty() ? std::string("\\") + kProductWord
                           : s.install_narrow;
}

bool RunningProgramAt(const std::u16string& exe) {
  return !exe.empty() && FileExists(exe.c_str()) &&
         !CanOpenForWriting(exe.c_str());
}

}  // namespace

void ResetLocations() {
  base::MutexLock lock(&g_mutex);
  g_state = Locations();
}

base::Status UseDataFolder(const std::string& host_dir) {
  struct stat st;
  if (host_dir.empty() || stat(host_dir.c_str(), &st) != 0 ||
      !S_ISDIR(st.st_mode)) {
    return base::Status::NotFound(host_dir + " is not a folder");
  }
  device::SetImageRoot(host_dir);
  device::PinAnsiCodePage(device::kCodePageUtf8);
  base::MutexLock lock(&g_mutex);
  g_state = Locations();
  g_state.db_folder = "\\";
  g_state.data_folder = true;
  return base::Status::Ok();
}

std::u16string InstallFolder() {
  base::MutexLock lock(&g_mutex);
  return g_state.install;
}

std::string InstallFolderNarrow() {
  base::MutexLock lock(&g_mutex);
  return g_state.install_narrow;
}

std::u16string ChosenCard() {
  base::MutexLock lock(&g_mutex);
  return g_state.chosen_card;
}

std::string DatabaseFolder() {
  base::MutexLock lock(&g_mutex);
  return g_state.db_folder;
}

}  // namespace storage

using storage::g_mutex;
using storage::g_state;
using storage::Locations;

void FindInstallFolder(const char16_t* product) {
  base::MutexLock lock(&g_mutex);
  Locations& s = g_state;
  const std::u16string pf = device::ProgramFilesFolder();
  const std::u16string word =
      product != nullptr ? product : storage::kProductWordW;
  s.install = storage::JoinWide({pf, u"\\", word});
  std::u16string exe =
      storage::JoinWide({pf, u"\\", word, u"\\", word, u".exe"});
  if (!storage::RunningProgramAt(exe)) {
    s.install.clear();
    storage::EnumStorageCardsLocked();
    for (int i = 0; i < s.card_count; ++i) {
      std::u16string card = s.cards[i];
      exe = storage::JoinWide(
          {u"\\", card, pf, u"\\", word, u"\\", word, u".exe"});
      if (storage::RunningProgramAt(exe)) {
        s.install = storage::JoinWide({u"\\", card, pf, u"\\", word});
        break;
      }
    }
  }
  // In the code page, as every narrow path the program turns back into a
  // wide one (with the code page): on a UTF-8 device a card's accented
  // letter kept as its low byte would name no folder.
  s.install_narrow = device::WideToAnsi(s.install);
}

namespace storage {
namespace {

// EnumStorageCards with the lock held.
void EnumStorageCardsLocked() REQUIRES(g_mutex) {
  Locations& s = g_state;
  s.card_count = 0;
  for (const std::u16string& name : device::StorageCards()) {
    if (s.card_count >= storage::kMaxStorageCards) break;
    if (name.empty() || name.size() >= storage::kCardSlotChars) {
      // A cut name would name another folder; such a card is not offered.
      base::DebugOut("Storage card name too long, skipped\n");
      continue;
    }
    std::string why;
    if (!device::ValidCardName(name, &why)) {
      // The narrow paths could not name its folder (a "?" for each character
      // the code page lacks would make a folder elsewhere), so it is not used.
      base::DebugOut("Storage card skipped: %s\n", why.c_str());
      continue;
    }
    assert(s.card_count < storage::kMaxStorageCards);
    char16_t* slot = s.cards[s.card_count];
    std::memset(slot, 0, sizeof(s.cards[0]));
    std::memcpy(slot, name.data(), name.size() * sizeof(char16_t));
    ++s.card_count;
  }
}

}  // namespace
}  // namespace storage

void EnumStorageCards() {
  base::MutexLock lock(&g_mutex);
  storage::EnumStorageCardsLocked();
}

int StorageCardCount() {
  base::MutexLock lock(&g_mutex);
  return g_state.card_count;
}

std::u16string StorageCardName(int index) {
  base::MutexLock lock(&g_mutex);
  if (index < 0 || index >= g_state.card_count) return u"";
  return g_state.cards[index];
}

std::u16string GetRootFolder() {
  base::MutexLock lock(&g_mutex);
  if (g_state.install.empty())
    return std::u16string(u"\\") + storage::kProductWordW;
  return g_state.install;
}

std::string GetSupportFolder() {
  base::MutexLock lock(&g_mutex);
  std::string out;
  storage::FormatPath(&out, "%s\\%s", storage::RootFolderNarrow().c_str(),
                      "emn");
  return out;
}

void PrepareFolders() {
  base::MutexLock lock(&g_mutex);
  Locations& s = g_state;
  if (s.data_folder) return;  // one folder, already there
  s.db_folder.clear();
  storage::EnumStorageCardsLocked();
  if (s.card_count > 0) {
    s.chosen_card = s.cards[0];
    s.chosen_card_narrow = device::WideToAnsi(s.chosen_card);
  } else {
    s.chosen_card.clear();
    s.chosen_card_narrow.clear();
  }
  const std::string root = storage::RootFolderNarrow();
  std::string dba;
  if (!s.chosen_card.empty() && !root.empty() && root[0] != '\\') {
    storage::FormatPath(&dba, "\\%s%s\\%s", s.chosen_card_narrow.c_str(),
                        root.c_str(), "dba");
  } else {
    storage::FormatPath(&dba, "%s\\%s", root.c_str(), "dba");
  }
  CreatePath(dba.c_str());
}

namespace storage {
namespace {

// CardChoiceNeeded with the lock held.
bool CardChoiceNeededLocked() REQUIRES(g_mutex) {
  const Locations& s = g_state;
  // The program runs from the card when its install folder lies on that
  // card: "\{card}\..." (a card name that merely occurs somewhere in the
  // path, such as "Files", does not count).
  const std::string card_prefix = "\\" + s.chosen_card_narrow + "\\";
  return !s.chosen_card.empty() && s.install_narrow.rfind(card_prefix, 0) != 0;
}

}  // namespace
}  // namespace storage

bool CardChoiceNeeded() {
  base::MutexLock lock(&g_mutex);
  return storage::CardChoiceNeededLocked();
}

void ChooseNewDbPath(storage::CardAnswer answer, std::string* path,
                     std::string* table) {
  base::MutexLock lock(&g_mutex);
  Locations& s = g_state;
  const std::string pf = storage::ProgramFilesNarrow();
  if (storage::CardChoiceNeededLocked() &&
      answer != storage::CardAnswer::kYes) {
    s.chosen_card.clear();
    s.chosen_card_narrow.clear();
  }
  std::string folder;
  if (!s.chosen_card.empty()) {
    const char* card = s.chosen_card_narrow.c_str();
    storage::FormatPath(&folder, "\\%s%s\\%s\\%s", card, pf.c_str(),
                        storage::kProductWord, "dba");
    storage::FormatPath(path, "\\%s%s\\%s\\%s\\%s", card, pf.c_str(),
                        storage::kProductWord, "dba", storage::kSummaryDbFile);
  } else {
    storage::FormatPath(&folder, "%s\\%s\\%s", pf.c_str(),
                        storage::kProductWord, "dba");
    storage::FormatPath(path, "%s\\%s\\%s\\%s", pf.c_str(),
                        storage::kProductWord, "dba", storage::kSummaryDbFile);
  }
  CreatePath(folder.c_str());
  *table = storage::kSummaryTableName;
}

bool FindDbFolder(const char* file, const char* card, const char* sub_path,
                  std::string* folder) {
  try {
    const std::string pf = storage::ProgramFilesNarrow();
    std::string candidate;
    if (card != nullptr && *card != '\0' &&
        storage::FormatPath(&candidate, "\\%s%s\\%s\\%s", card, pf.c_str(),
                            sub_path, file) &&
        ProbeFile(candidate.c_str())) {
      FolderOf(candidate.c_str(), folder);
      return true;
    }
    if (storage::FormatPath(&candidate, "\\%s\\%s", sub_path, file) &&
        ProbeFile(candidate.c_str())) {
      FolderOf(candidate.c_str(), folder);
      return true;
    }
    if (storage::FormatPath(&candidate, "%s\\%s\\%s", pf.c_str(), sub_path,
                            file) &&
        ProbeFile(candidate.c_str())) {
      FolderOf(candidate.c_str(), folder);
      return true;
    }
  } catch (...) {
    base::DebugCaught("FindDbFolder");
  }
  return false;
}

namespace {

std::string SubPath() {
  std::string sub;
  storage::FormatPath(&sub, "%s\\%s", storage::kProductWord, "dba");
  return sub;
}

}  // namespace

bool GetMessageDbPath(std::string* path, std::string* table) {
  base::MutexLock lock(&g_mutex);
  Locations& s = g_state;
  *table = storage::kSummaryTableName;
  if (!s.db_folder.empty()) {
    storage::FormatPath(path, "%s%s", s.db_folder.c_str(),
                        storage::kSummaryDbFile);
    return true;
  }
  path->clear();
  std::string folder;
  if (!FindDbFolder(storage::kSummaryDbFile, s.chosen_card_narrow.c_str(),
                    SubPath().c_str(), &folder)) {
    table->clear();
    return false;
  }
  s.db_folder = folder;
  storage::FormatPath(path, "%s%s", s.db_folder.c_str(),
                      storage::kSummaryDbFile);
  return true;
}

bool GetRulesDbPath(std::string* path, std::string* table) {
  base::MutexLock lock(&g_mutex);
  Locations& s = g_state;
  if (s.data_folder) {
    *table = storage::kRulesTableName;
    storage::FormatPath(path, "%s%s", s.db_folder.c_str(),
                        storage::kRulesDbFile);
    return ProbeFile(path->c_str());
  }
  std::string folder;
  bool found = FindDbFolder(storage::kRulesDbFile, s.chosen_card_narrow.c_str(),
                            SubPath().c_str(), &folder);
  storage::FormatPath(path, "%s%s",
                      found ? folder.c_str() : s.db_folder.c_str(),
                      storage::kRulesDbFile);
  *table = storage::kRulesTableName;
  return found;
}

std::string StoreDbPath(const char* store_name) {
  std::string folder = storage::DatabaseFolder();
  std::string path;
  storage::FormatPath(&path, "%s%s.db", folder.c_str(),
                      store_name != nullptr ? store_name : "");
  return path;
}

void CreatePath(const char* path) {
  if (path == nullptr) return;
  std::string p(path);
  if (p.size() > storage::kMaxPathChars) return;
  size_t pos = 0;
  while (pos < p.size()) {
    size_t next = p.find('\\', pos + 1);
    std::string prefix = next == std::string::npos ? p : p.substr(0, next);
    if (!prefix.empty() && prefix != "\\")
      device::CreateDirectoryCe(device::AnsiToWide(prefix));
    if (next == std::string::npos) break;
    pos = next;
  }
}

void FolderOf(const char* path, std::string* folder) {
  if (path == nullptr) return;
  const char* last = std::strrchr(path, '\\');
  if (last == nullptr || last == path) return;
  folder->assign(path, static_cast<size_t>(last - path) + 1);
}

bool ProbeFile(const char* path) {
  try {
    if (path == nullptr || *path == '\0') return false;
    return device::CanOpenExistingForRead(device::AnsiToWide(path),
                                          device::Share::kReadWrite);
  } catch (...) {
    base::DebugCaught("ProbeFile");
    return false;
  }
}

bool FileExists(const char16_t* path) {
  try {
    if (path == nullptr || *path == 0) return false;
    return device::CanOpenExistingForRead(path, device::Share::kRead);
  } catch (...) {
    base::DebugCaught("FileExists");
    return false;
  }
}

bool CanOpenForWriting(const char16_t* path) {
  try {
    if (path == nullptr || *path == 0) return false;
    return device::CanOpenExistingForWrite(path, device::Share::kNone);
  } catch (...) {
    base::DebugCaught("CanOpenForWriting");
    return false;
  }
}
