// Calendar days and their texts. A day's records are stored under the long
// date of the day (ReceivedDate) and looked up by it, so the one narrowing
// below is used both when a record is written and when a day is listed.
#ifndef TARNVEX_STORAGE_CALENDAR_H_
#define TARNVEX_STORAGE_CALENDAR_H_

#include <cstddef>
#include <string>
#include <vector>

#include "device/clock.h"

inline constexpr size_t kDayTextUnits = 256;
// Longest narrow date text; it fits the reader's 260-byte date field whole.
inline constexpr size_t kDateTextBytes = 255;

// The one narrowing of a long date, used both for the stored ReceivedDate
// and for the day lists' lookups, so that a day's records are found whatever
// the locale: UTF-8 (SQLite's own text encoding), cut to kDateTextBytes on a
// character boundary. It is lossless, so every day keeps its own text in
// every locale and calendar; code page 1252 would turn Thai, Persian,
// Arabic, Cyrillic, ... into runs of "?" under which days collide.
std::string NarrowDateText(const std::u16string& wide);
// The narrowing of a formatted time for ReceivedTime (shown, never looked
// up): the low byte of each UTF-16 unit, the locale's special blanks as
// blanks, a zero low byte giving '?'.
std::string NarrowTimeText(const std::u16string& wide);
// ReceivedDate and ReceivedTime of a moment of the device clock: the long
// date of its day (as DayText makes it) and its time, both narrowed.
void ReceivedStamp(const device::LocalTime& when, std::string* date,
                   std::string* time);
// The same for the device clock's now.
void ReceivedStampNow(std::string* date, std::string* time);

// The long date of the day `days_back` days before the device clock's today
// (real calendar arithmetic, any offset) and its narrow form.
std::u16string DayText(int days_back, std::string* narrow);
// The same from a given day.
std::u16string DayTextFrom(int year, int month, int day, int days_back,
                           std::string* narrow);
// The calendar day `days_back` days before the given one.
void DaysBefore(int year, int month, int day, int days_back, int* out_year,
                int* out_month, int* out_day);

// The texts a day's records may carry in ReceivedDate: the one narrowing,
// and the earlier one where it differs (records written before).
std::vector<std::string> DayKeys(const std::u16string& wide,
                                 const std::string& narrow);

#endif  // TARNVEX_STORAGE_CALENDAR_H_
