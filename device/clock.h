// The device's local clock and its locale formatting. The long date and the
// time are formatted with ICU in the system default locale (LANG / LC_ALL),
// as the phone formats them with its regional settings.
#ifndef TARNVEX_DEVICE_CLOCK_H_
#define TARNVEX_DEVICE_CLOCK_H_

#include <ctime>
#include <string>

namespace device {

// Local calendar time, as the phone's GetLocalTime gives it.
struct LocalTime {
  int year = 0;    // e.g. 2026
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int weekday = 0; // 0 = Sunday
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

LocalTime Now();
// Calendar fields of a day (time of day 00:00:00); the weekday is filled in.
LocalTime MakeDay(int year, int month, int day);

// Long date ("Monday, December 7, 2026" in en_US) and time ("7:21:29 AM") of
// the given local time, in the default locale.
std::u16string LongDateText(const LocalTime& t);
std::u16string TimeText(const LocalTime& t);

// Re-reads the default locale from the environment (tests change LANG).
void ResetLocaleFromEnvironment();

}  // namespace device

#endif  // TARNVEX_DEVICE_CLOCK_H_
