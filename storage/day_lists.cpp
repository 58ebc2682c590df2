// The day lists: one day's records from a store's database or from the
// summary database, kept or dropped by their status, for the browser.
#include "storage/day_lists.h"

#include <sqlite3.h>

#include <cassert>
#include <string>
#include <vector>

#include "base/debug.h"
#include "base/status.h"
#include "device/codepage.h"
#include "storage/calendar.h"
#include "storage/locations.h"
#include "storage/record_connections.h"
#include "storage/statement.h"

namespace {

constexpr char kStoreDaySql[] =
    "SELECT Id, Sender, Recipients, Subject, Message, ReceivedDate, "
    "ReceivedTime, Status FROM Msg WHERE ReceivedDate = ?;";
constexpr char kSummaryDaySql[] =
    "SELECT Id, Sender, Recipients, Message, ReceivedDate, ReceivedTime, "
    "Status FROM %s WHERE ReceivedDate = ?;";

bool KeepStatus(int status, bool list_blocked, bool list_normal) {
  return (list_blocked && status == 0) || (list_normal && status == 1);
}

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
base::Status ReadDayRows(sqlite3* db, const std::string& sql,
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
      return base::Status::FromSqlite(rc, storage::DbErrorText(db));
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
      record.time.resize(device::CharacterCut(record.time, kDayTimeSize - 1));
      records->push_back(std::move(record));
    }
    if (stmt.failed())
      return base::Status::FromSqlite(stmt.rc(), storage::DbErrorText(db));
  }
  assert(records->size() <= static_cast<size_t>(kMaxDayEntries));
  return base::Status::Ok();
}

// The status of a caught exception, written to the debug output too.
base::Status CaughtStatus(const char* where) {
  base::DebugCaught(where);
  return base::Status::IoError(std::string(where) + ": unexpected failure");
}

}  // namespace

base::Status ReadStoreDay(const char* store_name, int days_back,
                          bool list_blocked, bool list_normal,
                          std::vector<DayRecord>* records,
                          std::u16string* wide_date) {
  records->clear();
  try {
    std::string narrow;
    std::u16string wide = DayText(days_back, &narrow);
    if (wide_date != nullptr) *wide_date = wide;
    storage::StoreConnection connection(store_name);
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

base::Status ReadSummaryDay(int days_back, bool list_blocked, bool list_normal,
                            std::vector<DayRecord>* records,
                            std::u16string* wide_date) {
  records->clear();
  try {
    std::string narrow;
    std::u16string wide = DayText(days_back, &narrow);
    if (wide_date != nullptr) *wide_date = wide;
    std::string path, table;
    if (!GetMessageDbPath(&path, &table))
      return base::Status::NotFound("no summary database");
    base::Status status;
    if (!storage::WithSummaryDb([&](sqlite3* db, const std::string&) {
          bool prepared = true;
          status =
              ReadDayRows(db, storage::WithTableName(kSummaryDaySql, table),
                          DayKeys(wide, narrow), kSummaryDayColumns,
                          list_blocked, list_normal, records, &prepared);
          return prepared;
        })) {
      return base::Status::IoError("the summary database cannot be opened");
    }
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
