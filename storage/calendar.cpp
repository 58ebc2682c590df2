// Calendar days and their texts: the long date of a day some days back, its
// one narrowing for the ReceivedDate column, the narrowing of a time for
// ReceivedTime, and the date texts a day's records may carry.
#include "storage/calendar.h"

#include <cstdint>
#include <string>
#include <vector>

#include "device/clock.h"
#include "device/codepage.h"

namespace {

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

std::string NarrowDateText(const std::u16string& wide) {
  std::u16string text = wide;
  size_t nul = text.find(u'\0');
  if (nul != std::u16string::npos) text.resize(nul);
  std::string narrow = device::WideToUtf8(text);
  narrow.resize(device::Utf8CharacterCut(narrow, kDateTextBytes));
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

void ReceivedStampNow(std::string* date, std::string* time) {
  ReceivedStamp(device::Now(), date, time);
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

std::vector<std::string> DayKeys(const std::u16string& wide,
                                 const std::string& narrow) {
  std::vector<std::string> keys{narrow};
  std::string earlier = EarlierDateText(wide);
  if (!earlier.empty() && earlier != narrow) keys.push_back(earlier);
  return keys;
}
