// The day lists the browser shows: the records of one day, read from a
// store's database or from the summary database, filtered by status.
#ifndef TARNVEX_STORAGE_DAY_LISTS_H_
#define TARNVEX_STORAGE_DAY_LISTS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"

inline constexpr int32_t kMaxDayEntries = 256;
inline constexpr size_t kDayTimeSize = 32;  // 31 characters and the NUL

// One record of a day list.
struct DayRecord {
  int32_t id = 0;
  std::string sender;  // as stored ("Name <addr>" in a store's database)
  std::string recipients;
  std::string subject;  // "" in the summary database, which has none
  std::string message;
  std::string time;  // at most kDayTimeSize - 1 bytes
};

// The records of the day `days_back` days before today, at most
// kMaxDayEntries: status 0 when `list_blocked`, status 1 when `list_normal`.
// `wide_date` receives the day's long date. Not ok (with what was read)
// when the database cannot be read whole: busy (locked by another
// program), corrupt, an I/O error, or not found (no summary database yet).
base::Status ReadStoreDay(const char* store_name, int days_back,
                          bool list_blocked, bool list_normal,
                          std::vector<DayRecord>* records,
                          std::u16string* wide_date);
base::Status ReadSummaryDay(int days_back, bool list_blocked, bool list_normal,
                            std::vector<DayRecord>* records,
                            std::u16string* wide_date);

// The address part of "Name <addr>"; a plain text unchanged.
std::string ExtractAddress(const std::string& text);

#endif  // TARNVEX_STORAGE_DAY_LISTS_H_
