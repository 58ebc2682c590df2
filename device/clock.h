// The device's local clock and its locale formatting.
//
// The device clock is the host's real clock moved by an offset kept in the
// image (".device/clock"), so that "tarnvex-device clock set" changes the
// date and time that every program on the device reads from then on, and the
// clock keeps running from the time set. Without the file the device clock is
// the real one. Now() is the one reading of the device clock; Tarnvex and the
// device's own programs both call it.
//
// The long date and the time are formatted with ICU in the system default
// locale (LANG / LC_ALL, an "@calendar=..." keyword included), in the
// locale's own calendar: the Gregorian day is turned into an instant and that
// instant is formatted, so th_TH shows the Buddhist year, fa_IR the Persian
// date, ar_SA the Islamic one.
#ifndef TARNVEX_DEVICE_CLOCK_H_
#define TARNVEX_DEVICE_CLOCK_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "base/status.h"

namespace device {

// Local calendar time (Gregorian), as the phone's GetLocalTime gives it.
struct LocalTime {
  int year = 0;     // e.g. 2026
  int month = 0;    // 1..12
  int day = 0;      // 1..31
  int weekday = 0;  // 0 = Sunday
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// The device clock's local date and time.
LocalTime Now();
// The same instant as milliseconds since 1970-01-01 UTC (for stamps kept as
// numbers).
int64_t DeviceClockMs();
// Calendar fields of a day (time of day 00:00:00); the weekday is filled in.
LocalTime MakeDay(int year, int month, int day);

// Sets the device clock so that it reads `when` (local time) now and runs on
// from there; kept in the image until ClearDeviceClock. Invalid argument
// for a time that is not a valid local time, unavailable without an image,
// an I/O error when the image cannot be written.
base::Status SetDeviceClock(const LocalTime& when);
// Back to the real clock (removes the kept setting); an I/O error when it
// cannot be removed.
base::Status ClearDeviceClock();
// Milliseconds the device clock runs ahead of the real one (0 when it is the
// real clock); `is_set` tells whether a setting is kept in the image.
int64_t DeviceClockOffsetMs(bool* is_set = nullptr);

// Parses "YYYY-MM-DDTHH:MM[:SS]" (a blank may stand for the "T"); false for
// anything else, including dates that do not exist (2026-02-29).
bool ParseLocalTime(std::string_view text, LocalTime* out);
// "YYYY-MM-DDTHH:MM:SS".
std::string LocalTimeText(const LocalTime& t);

// Long date ("Monday, December 7, 2026" in en_US) and time ("7:21:29 AM") of
// the given local time, in the default locale and its calendar.
std::u16string LongDateText(const LocalTime& t);
std::u16string TimeText(const LocalTime& t);

// Re-reads the default locale from the environment (tests change LANG).
void ResetLocaleFromEnvironment();

}  // namespace device

#endif  // TARNVEX_DEVICE_CLOCK_H_
