#include "storage/message_db.h"

#include <sys/stat.h>

#include <cassert>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/clock.h"
#include "device/codepage.h"
#include "device/debug.h"
#include "device/image.h"
#include "device/status.h"
#include "storage/locations.h"
#include "storage/statement.h"
#include "text/md4.h"

namespace {

constexpr char kMaxMsgIdSql[] = "SELECT MAX(Id) as MaxOfId FROM Msg;";
constexpr char kMaxSummaryIdSql[] = "SELECT MAX(Id) as MaxOfId FROM %s;";
constexpr char kExistsSql[] =
    "SELECT Id, Status, Tokens FROM Msg WHERE Hash = ?;";
constexpr char kInsertSql[] =
    "INSERT INTO Msg (Id, Sender, Recipients, Subject, OrgMessage, Message, "
    "Tokens, ReceivedDate, ReceivedTime, Status, Hash) VALUES (?, ?, ?, ?, ?, "
    "?, ?, ?, ?, ?, ?);";
constexpr char kRecordStatusSql[] =
    "SELECT Status, Hash FROM Msg WHERE Id = ?;";
// Status and digest lie after the message texts in a row, so reading them
// from the table walks every overflow page of a long message (a walk of
// 1000 held messages of 64 KiB read some 200 MB). The covering index
// answers from its own pages; the planner would take the unique index on Id
// instead, so the statement names it.
constexpr char kRecordStatusIndexedSql[] =
    "SELECT Status, Hash FROM Msg INDEXED BY MsgIdStatusHash WHERE Id = ?;";
constexpr char kUpdateSql[] = "UPDATE Msg SET Status = ? WHERE Id = ?;";
constexpr char kStoreDaySql[] =
    "SELECT Id, Sender, Recipients, Subject, Message, ReceivedDate, "
    "ReceivedTime, Status FROM Msg WHERE ReceivedDate = ?;";
constexpr char kSummaryDaySql[] =
    "SELECT Id, Sender, Recipients, Message, ReceivedDate, ReceivedTime, "
    "Status FROM %s WHERE ReceivedDate = ?;";
// The message text shown under the subject is the lowered body.
constexpr char kViewSql[] =
    "SELECT OrgMessage, Subject, Message FROM Msg WHERE Id = ?;";

// The summary connection.
sqlite3* g_summary_db = nullptr;
bool g_summary_open = false;
std::string g_summary_table;
std::recursive_mutex g_summary_lock;
// Tests only: runs before each record read of RecordStatuses (may throw).
std::function<void()> g_record_read_fault;

// The kept store connections, by host path. Each has its own lock, held by
// one operation at a time. MAPIAdd takes it three times in turn (the look-up
// by digest, the count, the insert), so another writer may come between
// them: the Id is unique, and an insert that loses such a race fails and is
// made again at the next pass, where the look-up finds the record. The file's
// identity is checked before each use: a file removed or replaced since is
// opened afresh, as a new connection would.
struct KeptConnection {
  std::recursive_mutex lock;
  sqlite3* db = nullptr;
  dev_t device = 0;
  ino_t inode = 0;
  int users = 0;  // operations holding or waiting for it (under g_kept_lock)
};

std::mutex g_kept_lock;
std::map<std::string, std::unique_ptr<KeptConnection>>& KeptConnections() {
  static auto* kept =
      new std::map<std::string, std::unique_ptr<KeptConnection>>;
  return *kept;
}

bool SameFile(const std::string& host, const KeptConnection& kept) {
  struct stat st;
  return stat(host.c_str(), &st) == 0 && st.st_dev == kept.device &&
         st.st_ino == kept.inode;
}

// Closes idle kept connections when there are too many (held under
// g_kept_lock).
void TrimKeptLocked() {
  auto& kept = KeptConnections();
  if (kept.size() < kMaxKeptStoreConnections) return;
  for (auto it = kept.begin(); it != kept.end();) {
    if (it->second->users == 0) {
      if (it->second->db != nullptr) sqlite3_close(it->second->db);
      it = kept.erase(it);
    } else {
      ++it;
    }
  }
}

// A store's connection for the length of one operation: the kept one, or a
// new one that is kept from then on. A connection that could not be made is
// not kept; its error text stays readable until the operation ends.
class StoreConnection {
 public:
  explicit StoreConnection(const char* store_name) {
    std::string path = StoreDbPath(store_name != nullptr ? store_name : "");
    std::string host;
    if (!device::HostPath(device::AnsiToWide(path), &host)) {
      rc_ = SQLITE_CANTOPEN;
      return;
    }
    {
      std::lock_guard<std::mutex> guard(g_kept_lock);
      auto& kept = KeptConnections();
      auto it = kept.find(host);
      if (it == kept.end()) {
        TrimKeptLocked();
        it = kept.emplace(host, std::make_unique<KeptConnection>()).first;
      }
      kept_ = it->second.get();
      ++kept_->users;
    }
    hold_ = std::unique_lock<std::recursive_mutex>(kept_->lock);
    if (kept_->db != nullptr && SameFile(host, *kept_)) {
      rc_ = SQLITE_OK;
      return;
    }
    if (kept_->db != nullptr) {
      sqlite3_close(kept_->db);
      kept_->db = nullptr;
    }
    sqlite3* db = nullptr;
    rc_ = storage::OpenCeDatabase(path.c_str(), &db);
    struct stat st;
    if (db != nullptr && storage::OpenSucceeded(rc_) &&
        stat(host.c_str(), &st) == 0) {
      kept_->db = db;
      kept_->device = st.st_dev;
      kept_->inode = st.st_ino;
    } else {
      own_ = db;
      if (storage::OpenSucceeded(rc_)) rc_ = SQLITE_CANTOPEN;
    }
  }
  ~StoreConnection() {
    if (own_ != nullptr) sqlite3_close(own_);
    if (kept_ != nullptr) {
      hold_.unlock();
      std::lock_guard<std::mutex> guard(g_kept_lock);
      --kept_->users;
    }
  }
  StoreConnection(const StoreConnection&) = delete;
  StoreConnection& operator=(const StoreConnection&) = delete;
  bool ok() const { return db() != nullptr && storage::OpenSucceeded(rc_); }
  // Why the connection could not be made (ok when it could).
  device::Status status() const {
    return ok() ? device::Status::Ok()
                : device::Status::FromSqlite(
                      storage::OpenSucceeded(rc_) ? SQLITE_CANTOPEN : rc_,
                      error());
  }
  sqlite3* db() const {
    return own_ == nullptr && kept_ != nullptr ? kept_->db : nullptr;
  }
  const char* error() const {
    return storage::DbErrorText(own_ != nullptr ? own_ : db());
  }

 private:
  KeptConnection* kept_ = nullptr;
  std::unique_lock<std::recursive_mutex> hold_;
  sqlite3* own_ = nullptr;  // a connection that failed to open
  int rc_ = SQLITE_CANTOPEN;
};

std::string OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// The record-status lookup through the covering index; a file without the
// index (a peer's, or one put in place while open) is read the plain way.
int PrepareRecordStatus(sqlite3* db, storage::Statement* stmt) {
  if (stmt->Prepare(db, kRecordStatusIndexedSql) == SQLITE_OK) return SQLITE_OK;
  return stmt->Prepare(db, kRecordStatusSql);
}

// Runs one writing statement on a store's database with the values `bind`
// gives it. What fails is said on stderr as the record writers always did:
// "Can't open database" or "DB Error" with SQLite's text.
template <typename Binder>
bool ExecOnStore(const char* store_name, const char* sql, Binder bind) {
  StoreConnection connection(store_name);
  if (!connection.ok()) {
    std::fprintf(stderr, "Can't open database: %s\n", connection.error());
    return false;
  }
  storage::Statement stmt;
  int rc = stmt.Prepare(connection.db(), sql);
  if (rc == SQLITE_OK) {
    bind(stmt);
    rc = stmt.Exec();
  }
  if (rc != SQLITE_DONE) {
    std::fprintf(stderr, "DB Error: %s\n", connection.error());
    return false;
  }
  return true;
}

std::string Digest(const std::string& body, const std::string& sender,
                   const std::string& recipients, const std::string& subject) {
  return HashTextOf(body + " " + sender + " " + recipients + " " + subject);
}

bool KeepStatus(int status, bool list_blocked, bool list_normal) {
  return (list_blocked && status == 0) || (list_normal && status == 1);
}

// Calendar arithmetic on days: days since 1970-01-01 and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(y + (*month <= 2));
}

}  // namespace

// --- summary database -------------------------------------------------------

void CreateSummaryTable(storage::CardAnswer answer) {
  std::string path, table;
  if (!GetMessageDbPath(&path, &table)) ChooseNewDbPath(answer, &path, &table);
  ExecOnce(path.c_str(),
           storage::WithTableName(kCreateSummaryTableSql, table).c_str());
  ExecOnce(path.c_str(),
           storage::WithTableName(kCreateSummaryIndexSql, table).c_str());
}

bool OpenSummaryDb() {
  std::lock_guard<std::recursive_mutex> guard(g_summary_lock);
  if (g_summary_open) return true;
  std::string path, table;
  if (!GetMessageDbPath(&path, &table)) return false;
  sqlite3* db = storage::OpenCeDatabaseOrReport(path.c_str());
  if (db == nullptr) return false;
  g_summary_db = db;
  g_summary_table = table;
  g_summary_open = true;
  return true;
}

void CloseSummaryDb() {
  std::lock_guard<std::recursive_mutex> guard(g_summary_lock);
  if (!g_summary_open) return;
  sqlite3_close(g_summary_db);
  g_summary_db = nullptr;
  g_summary_open = false;
}

int MaxSummaryId() {
  std::lock_guard<std::recursive_mutex> guard(g_summary_lock);
  try {
    if (!OpenSummaryDb()) return -1;
    storage::Statement stmt;
    int rc = stmt.Prepare(g_summary_db, storage::WithTableName(
                                            kMaxSummaryIdSql, g_summary_table));
    if (rc != SQLITE_OK) {
      if (rc != SQLITE_MISUSE) CloseSummaryDb();
      return -1;
    }
    if (stmt.Step() && stmt.Columns() == 1) {
      return stmt.Int(0);
    }
    return -1;
  } catch (...) {
    device::DebugCaught("MaxSummaryId");
    return -1;
  }
}

// --- store databases --------------------------------------------------------

void CreateMsgTable(const char* path) {
  ExecOnce(path, kCreateMsgTableSql);
  ExecOnce(path, kCreateMsgIndexesSql);
}

int PrepareStoreDb(const char* store_name) {
  CreateMsgTable(StoreDbPath(OrEmpty(store_name).c_str()).c_str());
  return MaxStoreMsgId(store_name);
}

bool EnsureStoreDb(const char* store_name) {
  try {
    CreateMsgTable(StoreDbPath(OrEmpty(store_name).c_str()).c_str());
    StoreConnection connection(store_name);
    if (!connection.ok()) return false;
    storage::Statement stmt;
    return stmt.Prepare(connection.db(), kMaxMsgIdSql) == SQLITE_OK &&
           stmt.Step();
  } catch (...) {
    device::DebugCaught("EnsureStoreDb");
    return false;
  }
}

int MaxStoreMsgId(const char* store_name) {
  try {
    StoreConnection connection(store_name);
    if (!connection.ok()) {
      std::fprintf(stderr, "Can't open database: %s\n", connection.error());
      return 0;
    }
    storage::Statement stmt;
    if (stmt.Prepare(connection.db(), kMaxMsgIdSql) != SQLITE_OK) return -1;
    if (stmt.Step() && stmt.Columns() == 1) {
      return stmt.Int(0);
    }
    return -1;
  } catch (...) {
    device::DebugCaught("MaxStoreMsgId");
    return -1;
  }
}

namespace {

// The record of a digest in a store's database: "SELECT Id, Status, Tokens".
// False when there is none or it could not be read; `body` (when given) is
// the message text the failure report names.
bool LookUpDigest(const char* store_name, const std::string& digest,
                  const char* body, bool* found, int32_t* id, int32_t* status,
                  std::string* tokens) {
  *found = false;
  StoreConnection connection(store_name);
  if (!connection.ok()) return false;
  storage::Statement stmt;
  if (stmt.Prepare(connection.db(), kExistsSql) != SQLITE_OK) {
    if (body != nullptr) {
      // The message's own text is private: it goes to the debug output
      // only, never to a stream anyone may log.
      device::DebugOut("%s\n", body);
      std::printf("Can't open database: %s\n", connection.error());
    }
    return false;
  }
  stmt.Bind(1, digest);
  if (stmt.Step() && stmt.Columns() == 3) {
    *found = true;
    if (id != nullptr) *id = stmt.Int(0);
    if (status != nullptr) *status = stmt.Int(1);
    if (tokens != nullptr) *tokens = stmt.Text(2);
  } else if (stmt.failed()) {
    device::DebugOut("Record lookup in %s failed: %s\n",
                     OrEmpty(store_name).c_str(), connection.error());
  }
  return *found;
}

}  // namespace

bool MAPIExists(const char* store_name, const char* body, const char* sender,
                const char* recipients, const char* subject, bool* found,
                int32_t* id, int32_t* status, std::string* tokens) {
  *found = false;
  try {
    const std::string digest = MessageDigest(body, sender, recipients, subject);
    return LookUpDigest(store_name, digest, OrEmpty(body).c_str(), found, id,
                        status, tokens);
  } catch (...) {
    device::DebugCaught("MAPIExists");
    *found = false;
    return false;
  }
}

std::string MessageDigest(const char* body, const char* sender,
                          const char* recipients, const char* subject) {
  return Digest(OrEmpty(body), OrEmpty(sender), OrEmpty(recipients),
                OrEmpty(subject));
}

bool ExistsByDigest(const char* store_name, const std::string& digest,
                    bool* found, int32_t* id, int32_t* status) {
  *found = false;
  try {
    return LookUpDigest(store_name, digest, nullptr, found, id, status,
                        nullptr);
  } catch (...) {
    device::DebugCaught("ExistsByDigest");
    *found = false;
    return false;
  }
}

bool RecordStatus(const char* store_name, int32_t id, int32_t* status,
                  std::string* digest) {
  try {
    StoreConnection connection(store_name);
    if (!connection.ok()) return false;
    storage::Statement stmt;
    if (PrepareRecordStatus(connection.db(), &stmt) != SQLITE_OK) return false;
    stmt.Bind(1, id);
    if (!stmt.Step()) return false;
    if (status != nullptr) *status = stmt.Int(0);
    if (digest != nullptr) *digest = stmt.Text(1);
    return true;
  } catch (...) {
    device::DebugCaught("RecordStatus");
    return false;
  }
}

void SetRecordReadFaultForTesting(std::function<void()> fault) {
  g_record_read_fault = std::move(fault);
}

bool RecordStatuses(
    const char* store_name, const std::vector<int32_t>& ids,
    std::map<int32_t, std::pair<int32_t, std::string>>* records) {
  records->clear();
  try {
    StoreConnection connection(store_name);
    if (!connection.ok()) return false;
    storage::Statement stmt;
    if (PrepareRecordStatus(connection.db(), &stmt) != SQLITE_OK) return false;
    // One read transaction for all of them, ended however this is left.
    storage::Transaction read(connection.db());
    if (!read.ok()) return false;
    bool ok = true;
    for (int32_t id : ids) {
      if (g_record_read_fault) g_record_read_fault();
      stmt.Bind(1, id);
      const storage::Statement::Result step = stmt.Next();
      if (step == storage::Statement::Result::kRow) {
        (*records)[id] = {stmt.Int(0), stmt.Text(1)};
      } else if (step == storage::Statement::Result::kError) {
        ok = false;
      }
      stmt.Reset();
      if (!ok) break;
    }
    stmt.Finalize();
    read.Commit();
    if (!ok) records->clear();
    return ok;
  } catch (...) {
    device::DebugCaught("RecordStatuses");
    records->clear();
    return false;
  }
}

bool MAPIAdd(const char* store_name, const char* sender, const char* recipients,
             const char* subject, const char* body, const char* lowered_body,
             const char* tokens, int32_t status, const char* date_text,
             const char* time_text, int32_t* id) {
  *id = -1;
  try {
    bool found = false;
    int32_t found_id = -1;
    MAPIExists(store_name, body, sender, recipients, subject, &found, &found_id,
               nullptr, nullptr);
    if (found) {
      *id = found_id;
      return true;
    }
    const std::string digest = MessageDigest(body, sender, recipients, subject);
    std::string body_b = BlankedCopy(OrEmpty(body));
    std::string sender_b = BlankedCopy(OrEmpty(sender));
    std::string subject_b = BlankedCopy(OrEmpty(subject));
    if (subject_b.size() > kSubjectCopySize - 1)
      subject_b.resize(kSubjectCopySize - 1);
    std::string recipients_b = BlankedCopy(OrEmpty(recipients));

    int32_t next = MaxStoreMsgId(store_name) + 1;
    std::string lowered_b = BlankedCopy(OrEmpty(lowered_body));
    std::string tokens_b = BlankedCopy(OrEmpty(tokens));
    *id = next;
    return ExecOnStore(store_name, kInsertSql, [&](storage::Statement& stmt) {
      stmt.Bind(1, next);
      stmt.Bind(2, sender_b);
      stmt.Bind(3, recipients_b);
      stmt.Bind(4, subject_b);
      stmt.Bind(5, body_b);
      stmt.Bind(6, lowered_b);
      stmt.Bind(7, tokens_b);
      stmt.Bind(8, OrEmpty(date_text));
      stmt.Bind(9, OrEmpty(time_text));
      stmt.Bind(10, status);
      stmt.Bind(11, digest);
    });
  } catch (...) {
    device::DebugCaught("MAPIAdd");
    return false;
  }
}

bool MAPIUpdate(const char* store_name, int32_t id, int32_t status) {
  try {
    return ExecOnStore(store_name, kUpdateSql, [&](storage::Statement& stmt) {
      stmt.Bind(1, status);
      stmt.Bind(2, id);
    });
  } catch (...) {
    device::DebugCaught("MAPIUpdate");
    return false;
  }
}

// --- days -------------------------------------------------------------------

std::string NarrowDateText(const std::u16string& wide) {
  std::u16string text = wide;
  size_t nul = text.find(u'\0');
  if (nul != std::u16string::npos) text.resize(nul);
  std::string narrow = device::WideToUtf8(text);
  if (narrow.size() > kDateTextBytes) {
    size_t cut = kDateTextBytes;
    // Step back over continuation bytes so that no character is split.
    while (cut > 0 && (static_cast<unsigned char>(narrow[cut]) & 0xC0) == 0x80)
      --cut;
    narrow.resize(cut);
  }
  return narrow;
}

std::string NarrowTimeText(const std::u16string& wide) {
  std::string narrow;
  narrow.reserve(wide.size());
  for (char16_t unit : wide) {
    if (unit == 0) break;
    if (unit < 0x100) {
      narrow.push_back(static_cast<char>(unit));
      continue;
    }
    // The locale's special blanks (ICU puts U+202F before "PM") are blanks.
    if ((unit >= 0x2000 && unit <= 0x200B) || unit == 0x202F ||
        unit == 0x205F || unit == 0x3000) {
      narrow.push_back(' ');
      continue;
    }
    char byte = static_cast<char>(unit & 0xFF);
    narrow.push_back(byte == '\0' ? '?' : byte);
  }
  return narrow;
}

namespace {

// The date text that records written before dates were kept in UTF-8 carry:
// the low byte of each unit. It named days without loss only where every
// unit is below 0x100 (and the locale's calendar is Gregorian, as for those
// locales); there it differs from the UTF-8 text exactly when some unit is
// 0x80 or above ("März"), and the day lists look it up as well. Elsewhere
// "" (nothing more to look up).
std::string EarlierDateText(const std::u16string& wide) {
  bool above_ascii = false;
  for (char16_t unit : wide) {
    if (unit >= 0x100) return "";
    if (unit >= 0x80) above_ascii = true;
  }
  if (!above_ascii) return "";
  return device::LowByteNarrow(wide);
}

}  // namespace

void ReceivedStamp(const device::LocalTime& when, std::string* date,
                   std::string* time) {
  if (date != nullptr) DayTextFrom(when.year, when.month, when.day, 0, date);
  if (time != nullptr) {
    std::u16string wide = device::TimeText(when);
    if (wide.size() > kDayTextUnits) wide.resize(kDayTextUnits);
    *time = NarrowTimeText(wide);
  }
}

void DaysBefore(int year, int month, int day, int days_back, int* out_year,
                int* out_month, int* out_day) {
  CivilFromDays(DaysFromCivil(year, static_cast<unsigned>(month),
                              static_cast<unsigned>(day)) -
                    days_back,
                out_year, out_month, out_day);
}

std::u16string DayTextFrom(int year, int month, int day, int days_back,
                           std::string* narrow) {
  int y = 0, m = 0, d = 0;
  DaysBefore(year, month, day, days_back, &y, &m, &d);
  std::u16string wide = device::LongDateText(device::MakeDay(y, m, d));
  if (wide.size() > kDayTextUnits) wide.resize(kDayTextUnits);
  if (narrow != nullptr) *narrow = NarrowDateText(wide);
  return wide;
}

std::u16string DayText(int days_back, std::string* narrow) {
  device::LocalTime today = device::Now();
  return DayTextFrom(today.year, today.month, today.day, days_back, narrow);
}

namespace {

// The texts a day's records may carry in ReceivedDate: the one narrowing,
// and the earlier one where it differs (records written before).
std::vector<std::string> DayKeys(const std::u16string& wide,
                                 const std::string& narrow) {
  std::vector<std::string> keys{narrow};
  std::string earlier = EarlierDateText(wide);
  if (!earlier.empty() && earlier != narrow) keys.push_back(earlier);
  return keys;
}

}  // namespace

namespace {

// Where a day query has its columns (-1: it has none of that kind).
struct DayColumns {
  int count;
  int subject;
  int message;
  int time;
  int status;
};
// kStoreDaySql: Id, Sender, Recipients, Subject, Message, ReceivedDate,
// ReceivedTime, Status; kSummaryDaySql the same without Subject.
constexpr DayColumns kStoreDayColumns{8, 3, 4, 6, 7};
constexpr DayColumns kSummaryDayColumns{7, -1, 3, 5, 6};

// The one fill loop of both day lists: runs the day query once per key and
// appends the rows that pass the status filter, up to kMaxDayEntries.
// *prepared is false when the query did not prepare.
device::Status ReadDayRows(sqlite3* db, const std::string& sql,
                           const std::vector<std::string>& keys,
                           const DayColumns& columns, bool list_blocked,
                           bool list_normal, std::vector<DayRecord>* records,
                           bool* prepared) {
  *prepared = true;
  for (const std::string& key : keys) {
    storage::Statement stmt;
    const int rc = stmt.Prepare(db, sql);
    if (rc != SQLITE_OK) {
      *prepared = false;
      return device::Status::FromSqlite(rc, storage::DbErrorText(db));
    }
    stmt.Bind(1, key);
    while (stmt.Step()) {
      if (stmt.Columns() != columns.count) continue;
      if (records->size() >= static_cast<size_t>(kMaxDayEntries)) break;
      if (!KeepStatus(stmt.Int(columns.status), list_blocked, list_normal))
        continue;
      DayRecord record;
      record.id = stmt.Int(0);
      record.sender = stmt.Text(1);
      record.recipients = stmt.Text(2);
      if (columns.subject >= 0) record.subject = stmt.Text(columns.subject);
      record.message = stmt.Text(columns.message);
      record.time = stmt.Text(columns.time);
      if (record.time.size() > kDayTimeSize - 1)
        record.time.resize(kDayTimeSize - 1);
      records->push_back(std::move(record));
    }
    if (stmt.failed())
      return device::Status::FromSqlite(stmt.rc(), storage::DbErrorText(db));
  }
  assert(records->size() <= static_cast<size_t>(kMaxDayEntries));
  return device::Status::Ok();
}

// The status of a caught exception, written to the debug output too.
device::Status CaughtStatus(const char* where) {
  device::DebugCaught(where);
  return device::Status::IoError(std::string(where) + ": unexpected failure");
}

}  // namespace

device::Status ReadStoreDay(const char* store_name, int days_back,
                            bool list_blocked, bool list_normal,
                            std::vector<DayRecord>* records,
                            std::u16string* wide_date) {
  records->clear();
  try {
    std::string narrow;
    std::u16string wide = DayText(days_back, &narrow);
    if (wide_date != nullptr) *wide_date = wide;
    StoreConnection connection(store_name);
    if (!connection.ok()) return connection.status();
    bool prepared = true;
    return ReadDayRows(connection.db(), kStoreDaySql, DayKeys(wide, narrow),
                       kStoreDayColumns, list_blocked, list_normal, records,
                       &prepared);
  } catch (...) {
    records->clear();
    return CaughtStatus("ReadStoreDay");
  }
}

device::Status ReadSummaryDay(int days_back, bool list_blocked,
                              bool list_normal, std::vector<DayRecord>* records,
                              std::u16string* wide_date) {
  records->clear();
  try {
    std::string narrow;
    std::u16string wide = DayText(days_back, &narrow);
    if (wide_date != nullptr) *wide_date = wide;
    std::string path, table;
    if (!GetMessageDbPath(&path, &table))
      return device::Status::NotFound("no summary database");
    std::lock_guard<std::recursive_mutex> summary(g_summary_lock);
    if (!OpenSummaryDb())
      return device::Status::IoError("the summary database cannot be opened");
    bool prepared = true;
    device::Status status =
        ReadDayRows(g_summary_db, storage::WithTableName(kSummaryDaySql, table),
                    DayKeys(wide, narrow), kSummaryDayColumns, list_blocked,
                    list_normal, records, &prepared);
    if (!prepared) CloseSummaryDb();
    return status;
  } catch (...) {
    records->clear();
    return CaughtStatus("ReadSummaryDay");
  }
}

std::string ExtractAddress(const std::string& text) {
  size_t close = text.rfind('>');
  if (close == std::string::npos || close == 0) return text;
  size_t open = text.rfind('<', close);
  if (open == std::string::npos) return text.substr(0, close);
  return text.substr(open + 1, close - open - 1);
}

bool LoadMessageForView(const char* store_name, int32_t id,
                        std::string* org_message, std::string* subject,
                        std::string* message_text) {
  try {
    StoreConnection connection(store_name);
    if (!connection.ok()) return false;
    storage::Statement stmt;
    if (stmt.Prepare(connection.db(), kViewSql) != SQLITE_OK) {
      std::printf("Can't open database: %s\n", connection.error());
      return false;
    }
    stmt.Bind(1, id);
    if (stmt.Step() && stmt.Columns() == 3) {
      if (org_message != nullptr) *org_message = stmt.Text(0);
      if (subject != nullptr) *subject = stmt.Text(1);
      if (message_text != nullptr) *message_text = stmt.Text(2);
      return true;
    }
    return false;
  } catch (...) {
    device::DebugCaught("LoadMessageForView");
    return false;
  }
}

void CloseStoreConnections() {
  std::lock_guard<std::mutex> guard(g_kept_lock);
  auto& kept = KeptConnections();
  for (auto it = kept.begin(); it != kept.end();) {
    if (it->second->users != 0) {
      ++it;
      continue;
    }
    if (it->second->db != nullptr) sqlite3_close(it->second->db);
    it = kept.erase(it);
  }
}

void ResetMessageDb() {
  CloseStoreConnections();
  CloseSummaryDb();
}
