#include "device/clock.h"

#include <sys/time.h>
#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <cstdlib>
#include <memory>
#include <mutex>

namespace device {
namespace {

std::mutex& FormatMutex() {
  static std::mutex m;
  return m;
}

// The POSIX locale name of the environment as ICU wants it: "de_DE.UTF-8"
// becomes "de_DE"; "C" and "POSIX" become "en_US_POSIX".
std::string EnvironmentLocale() {
  const char* names[] = {"LC_ALL", "LC_TIME", "LANG"};
  std::string value;
  for (const char* n : names) {
    const char* v = std::getenv(n);
    if (v != nullptr && *v != '\0') {
      value = v;
      break;
    }
  }
  size_t cut = value.find_first_of(".@");
  if (cut != std::string::npos) value.resize(cut);
  if (value.empty() || value == "C" || value == "POSIX") return "en_US_POSIX";
  return value;
}

bool& LocaleSet() {
  static bool set = false;
  return set;
}

void EnsureLocale() {
  if (LocaleSet()) return;
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale(EnvironmentLocale().c_str()), status);
  LocaleSet() = true;
}

std::u16string Format(const LocalTime& t, bool date) {
  std::lock_guard<std::mutex> lock(FormatMutex());
  EnsureLocale();
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Calendar> cal(icu::Calendar::createInstance(status));
  if (U_FAILURE(status)) return u"";
  cal->clear();
  cal->set(t.year, t.month - 1, t.day, t.hour, t.minute, t.second);
  cal->set(UCAL_MILLISECOND, t.millisecond);
  UDate when = cal->getTime(status);
  if (U_FAILURE(status)) return u"";
  std::unique_ptr<icu::DateFormat> fmt(
      date ? icu::DateFormat::createDateInstance(icu::DateFormat::kFull)
           : icu::DateFormat::createTimeInstance(icu::DateFormat::kMedium));
  if (!fmt) return u"";
  icu::UnicodeString out;
  fmt->format(when, out);
  return std::u16string(out.getBuffer(), out.length());
}

}  // namespace

LocalTime Now() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  localtime_r(&tv.tv_sec, &tm);
  LocalTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.weekday = tm.tm_wday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  t.millisecond = static_cast<int>(tv.tv_usec / 1000);
  return t;
}

LocalTime MakeDay(int year, int month, int day) {
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = 12;  // noon: no daylight-saving edge moves the day
  tm.tm_isdst = -1;
  timegm(&tm);  // normalises the fields and fills in the weekday
  LocalTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.weekday = tm.tm_wday;
  return t;
}

std::u16string LongDateText(const LocalTime& t) { return Format(t, true); }
std::u16string TimeText(const LocalTime& t) { return Format(t, false); }

void ResetLocaleFromEnvironment() {
  std::lock_guard<std::mutex> lock(FormatMutex());
  LocaleSet() = false;
}

}  // namespace device
