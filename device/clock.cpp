// The device clock: the host's clock moved by the offset the device tool
// set, and the locale's formats of dates and times.
#include "device/clock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/gregocal.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "base/debug.h"
#include "base/mutex.h"
#include "device/image.h"

namespace device {
namespace {

constexpr char kClockFileName[] = "/clock";
constexpr char kOffsetKey[] = "offset_ms ";

// Guards the formatters below (constant-initialised: usable from any
// static constructor).
base::Mutex g_format_lock;

// The POSIX locale name of the environment as ICU wants it: "de_DE.UTF-8"
// becomes "de_DE"; an ICU keyword survives ("ja_JP.UTF-8@calendar=japanese"
// becomes "ja_JP@calendar=japanese"), while a POSIX modifier without "="
// ("@euro") is dropped; "C" and "POSIX" become "en_US_POSIX".
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
  std::string keywords;
  size_t at = value.find('@');
  if (at != std::string::npos) {
    if (value.find('=', at) != std::string::npos) keywords = value.substr(at);
    value.resize(at);
  }
  size_t dot = value.find('.');
  if (dot != std::string::npos) value.resize(dot);
  if (value.empty() || value == "C" || value == "POSIX") return "en_US_POSIX";
  return value + keywords;
}

// Formatters of the current default locale, made once per locale. ICU's
// formatters are not safe for concurrent use; g_format_lock guards them.
struct Formatters {
  bool ready = false;
  std::unique_ptr<icu::DateFormat> date;
  std::unique_ptr<icu::DateFormat> time;
  std::unique_ptr<icu::GregorianCalendar> gregorian;
};

Formatters& Cache() REQUIRES(g_format_lock) {
  static Formatters f;
  return f;
}

// The local fields are carried through GMT both ways (fields to instant, and
// the instant formatted in GMT), so no daylight-saving gap of the host's zone
// can move a day: the formatted day is the day of the fields.
std::unique_ptr<icu::DateFormat> MakeFormatter(bool date,
                                               const icu::Locale& locale) {
  std::unique_ptr<icu::DateFormat> fmt(
      date ? icu::DateFormat::createDateInstance(icu::DateFormat::kFull, locale)
           : icu::DateFormat::createTimeInstance(icu::DateFormat::kMedium,
                                                 locale));
  if (!fmt) return nullptr;
  UErrorCode status = U_ZERO_ERROR;
  // The locale's own calendar (Buddhist, Persian, Islamic, Japanese, ...).
  icu::Calendar* calendar = icu::Calendar::createInstance(
      icu::TimeZone::getGMT()->clone(), locale, status);
  if (U_FAILURE(status) || calendar == nullptr) {
    delete calendar;
    return nullptr;
  }
  fmt->adoptCalendar(calendar);
  return fmt;
}

Formatters& EnsureFormatters() REQUIRES(g_format_lock) {
  Formatters& f = Cache();
  if (f.ready) return f;
  icu::Locale locale(EnvironmentLocale().c_str());
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(locale, status);
  f.date = MakeFormatter(true, locale);
  f.time = MakeFormatter(false, locale);
  status = U_ZERO_ERROR;
  f.gregorian = std::make_unique<icu::GregorianCalendar>(
      *icu::TimeZone::getGMT(), status);
  if (U_FAILURE(status)) f.gregorian.reset();
  f.ready = true;
  return f;
}

std::u16string Format(const LocalTime& t, bool date) {
  base::MutexLock lock(&g_format_lock);
  Formatters& f = EnsureFormatters();
  icu::DateFormat* fmt = date ? f.date.get() : f.time.get();
  if (fmt == nullptr || !f.gregorian) return u"";
  UErrorCode status = U_ZERO_ERROR;
  f.gregorian->clear();
  f.gregorian->set(t.year, t.month - 1, t.day, t.hour, t.minute, t.second);
  f.gregorian->set(UCAL_MILLISECOND, t.millisecond);
  UDate when = f.gregorian->getTime(status);
  if (U_FAILURE(status)) return u"";
  icu::UnicodeString out;
  fmt->format(when, out);
  return std::u16string(out.getBuffer(), static_cast<size_t>(out.length()));
}

std::string ClockFilePath() { return DeviceDataDir() + kClockFileName; }

int64_t RealMs() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

LocalTime FromMs(int64_t ms) {
  time_t seconds = static_cast<time_t>(ms / 1000);
  int64_t rest = ms % 1000;
  if (rest < 0) {
    rest += 1000;
    --seconds;
  }
  struct tm tm;
  localtime_r(&seconds, &tm);
  LocalTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.weekday = tm.tm_wday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  t.millisecond = static_cast<int>(rest);
  return t;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  assert(m >= 1 && m <= 12);
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

bool ValidFields(const LocalTime& t) {
  return t.year >= 1970 && t.year <= 9999 && t.month >= 1 && t.month <= 12 &&
         t.day >= 1 && t.day <= DaysInMonth(t.year, t.month) && t.hour >= 0 &&
         t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 &&
         t.second <= 59 && t.millisecond >= 0 && t.millisecond <= 999;
}

base::Status WriteClockFile(const std::string& content) {
  const std::string path = ClockFilePath();
  const std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  if (ok) {
    ok = write(fd, content.data(), content.size()) ==
         static_cast<ssize_t>(content.size());
    ok = close(fd) == 0 && ok;
  }
  if (ok) ok = rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    base::Status unwritten = base::Status::IoError("cannot write " + path +
                                                   ": " + std::strerror(errno));
    unlink(tmp.c_str());
    return unwritten;
  }
  return base::Status::Ok();
}

}  // namespace

int64_t DeviceClockOffsetMs(bool* is_set) {
  if (is_set) *is_set = false;
  std::ifstream in(ClockFilePath(), std::ios::binary);
  if (!in) return 0;
  std::string line;
  std::getline(in, line);
  if (line.rfind(kOffsetKey, 0) != 0) {
    base::DebugOut("Device clock setting unreadable, real clock used\n");
    return 0;
  }
  const char* digits = line.c_str() + std::strlen(kOffsetKey);
  char* end = nullptr;
  errno = 0;
  long long offset = std::strtoll(digits, &end, 10);
  if (errno != 0 || end == digits || *end != '\0') {
    base::DebugOut("Device clock setting unreadable, real clock used\n");
    return 0;
  }
  if (is_set) *is_set = true;
  return offset;
}

int64_t DeviceClockMs() { return RealMs() + DeviceClockOffsetMs(); }

LocalTime Now() { return FromMs(DeviceClockMs()); }

base::Status SetDeviceClock(const LocalTime& when) {
  if (!ValidFields(when)) {
    return base::Status::InvalidArgument("not a valid date and time: " +
                                         LocalTimeText(when));
  }
  if (!ImageExists()) {
    return base::Status::Unavailable("no device image at " + ImageRoot() +
                                     " (run \"tarnvex-device init\")");
  }
  struct tm tm = {};
  tm.tm_year = when.year - 1900;
  tm.tm_mon = when.month - 1;
  tm.tm_mday = when.day;
  tm.tm_hour = when.hour;
  tm.tm_min = when.minute;
  tm.tm_sec = when.second;
  tm.tm_isdst = -1;
  time_t seconds = mktime(&tm);
  if (seconds == static_cast<time_t>(-1)) {
    return base::Status::InvalidArgument("not a valid local time: " +
                                         LocalTimeText(when));
  }
  const int64_t target =
      static_cast<int64_t>(seconds) * 1000 + when.millisecond;
  const int64_t offset = target - RealMs();
  return WriteClockFile(kOffsetKey + std::to_string(offset) + "\n");
}

base::Status ClearDeviceClock() {
  const std::string path = ClockFilePath();
  if (unlink(path.c_str()) != 0 && errno != ENOENT) {
    return base::Status::IoError("cannot remove " + path + ": " +
                                 std::strerror(errno));
  }
  return base::Status::Ok();
}

bool ParseLocalTime(std::string_view text, LocalTime* out) {
  // YYYY-MM-DDTHH:MM or YYYY-MM-DDTHH:MM:SS, digits exactly where shown.
  if (text.size() != 16 && text.size() != 19) return false;
  auto digits = [&](size_t at, size_t n, int* value) {
    assert(at + n <= text.size());
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      v = v * 10 + (text[i] - '0');
    }
    *value = v;
    return true;
  };
  LocalTime t;
  if (!digits(0, 4, &t.year) || text[4] != '-' || !digits(5, 2, &t.month) ||
      text[7] != '-' || !digits(8, 2, &t.day) ||
      (text[10] != 'T' && text[10] != ' ') || !digits(11, 2, &t.hour) ||
      text[13] != ':' || !digits(14, 2, &t.minute)) {
    return false;
  }
  if (text.size() == 19 && (text[16] != ':' || !digits(17, 2, &t.second)))
    return false;
  if (!ValidFields(t)) return false;
  t.weekday = MakeDay(t.year, t.month, t.day).weekday;
  *out = t;
  return true;
}

std::string LocalTimeText(const LocalTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.year,
                t.month, t.day, t.hour, t.minute, t.second);
  return buf;
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
  base::MutexLock lock(&g_format_lock);
  Cache() = Formatters();
}

}  // namespace device
