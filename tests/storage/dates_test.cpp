// Day texts and the days of stored records in many locales and calendars,
// with the device clock fixed: each day has its own text naming that day,
// a record is listed on the day it was stamped and on no other, also across
// midnight.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unicode/calendar.h>
#include <unicode/datefmt.h>
#include <unicode/gregocal.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "device/clock.h"
#include "device/codepage.h"
#include "storage/calendar.h"
#include "storage/day_lists.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/record_connections.h"
#include "storage/records.h"
#include "storage/rules_db.h"
#include "tests/support/temp_image.h"

namespace {

// The locales every date test runs in: four calendars besides the Gregorian,
// right-to-left scripts, Cyrillic, Latin with and without accents.
const char* const kLocales[] = {
    "th_TH", "fa_IR", "ar_SA", "ja_JP@calendar=japanese",
    "he_IL", "ru_RU", "de_DE", "en_US"};

void UseLocale(const std::string& name) {
  setenv("LC_ALL", name.c_str(), 1);
  device::ResetLocaleFromEnvironment();
}

class DatesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("LC_ALL");
    device::ResetLocaleFromEnvironment();
  }
};

// The Gregorian day that a long date names, read back by ICU in the locale's
// own calendar; "" when it cannot be read.
std::string DayNamedBy(const std::u16string& text, const char* locale_name) {
  icu::Locale locale(locale_name);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::DateFormat> fmt(
      icu::DateFormat::createDateInstance(icu::DateFormat::kFull, locale));
  fmt->adoptCalendar(icu::Calendar::createInstance(
      icu::TimeZone::getGMT()->clone(), locale, status));
  UDate when = fmt->parse(
      icu::UnicodeString(text.data(), static_cast<int32_t>(text.size())),
      status);
  if (U_FAILURE(status)) return "";
  icu::GregorianCalendar gregorian(*icu::TimeZone::getGMT(), status);
  gregorian.setTime(when, status);
  char buf[32];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d", gregorian.get(UCAL_YEAR, status),
           gregorian.get(UCAL_MONTH, status) + 1,
           gregorian.get(UCAL_DATE, status));
  return buf;
}

std::string Ymd(int y, int m, int d) {
  char buf[32];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

TEST_F(DatesTest, TheDayIsNamedInTheLocalesCalendar) {
  // Thursday, 15 January 2026, asked for as "yesterday" on the 16th.
  struct Case {
    const char* locale;
    std::u16string parts[3];
  } cases[] = {
      {"th_TH.UTF-8",
       {u"2569", u"15", u"\u0e1e\u0e24\u0e2b\u0e31\u0e2a\u0e1a\u0e14\u0e35"}},
      {"fa_IR.UTF-8",
       {u"\u06f1\u06f4\u06f0\u06f4", u"\u06f2\u06f5", u"\u062f\u06cc"}},
      {"ar_SA.UTF-8",
       {u"\u0661\u0664\u0664\u0667", u"\u0662\u0666", u"\u0631\u062c\u0628"}},
      {"ja_JP.UTF-8@calendar=japanese",
       {u"\u4ee4\u548c8\u5e74", u"1\u670815\u65e5", u"\u6728"}},
      {"he_IL.UTF-8", {u"2026", u"15", u"\u05d7\u05de\u05d9\u05e9\u05d9"}},
      {"ru_RU.UTF-8",
       {u"2026", u"15 \u044f\u043d\u0432\u0430\u0440\u044f",
        u"\u0447\u0435\u0442\u0432\u0435\u0440\u0433"}},
      {"de_DE.UTF-8", {u"Donnerstag, 15. Januar 2026", u"", u""}},
      {"en_US.UTF-8", {u"Thursday, January 15, 2026", u"", u""}},
  };
  for (const Case& c : cases) {
    UseLocale(c.locale);
    std::u16string text = DayTextFrom(2026, 1, 16, 1, nullptr);
    for (const std::u16string& part : c.parts) {
      EXPECT_NE(text.find(part), std::u16string::npos)
          << c.locale << ": " << device::WideToUtf8(text) << " lacks "
          << device::WideToUtf8(part);
    }
  }
}

TEST_F(DatesTest, FourHundredDaysHaveFourHundredTextsNamingTheirDays) {
  for (const char* locale : kLocales) {
    UseLocale(locale);
    std::set<std::string> narrow_texts;
    for (int back = 0; back < 400; ++back) {
      std::string narrow;
      std::u16string wide = DayTextFrom(2026, 12, 31, back, &narrow);
      narrow_texts.insert(narrow);
      EXPECT_EQ(device::Utf8ToWide(narrow), wide) << locale;
      int y = 0, m = 0, d = 0;
      DaysBefore(2026, 12, 31, back, &y, &m, &d);
      EXPECT_EQ(DayNamedBy(wide, locale), Ymd(y, m, d))
          << locale << ": " << device::WideToUtf8(wide);
    }
    EXPECT_EQ(narrow_texts.size(), 400u) << locale;
  }
}

TEST_F(DatesTest, EveryLocaleOfIcuGivesEachDayItsOwnText) {
  int32_t count = 0;
  const icu::Locale* locales = icu::Locale::getAvailableLocales(count);
  ASSERT_GT(count, 100);
  for (int32_t i = 0; i < count; ++i) {
    const char* name = locales[i].getName();
    UseLocale(name);
    std::set<std::string> texts;
    for (int back = 0; back < 400; ++back) {
      std::string narrow;
      DayTextFrom(2026, 6, 30, back, &narrow);
      texts.insert(narrow);
    }
    EXPECT_EQ(texts.size(), 400u) << name;
  }
}

// Records stamped by the device clock in a real database.
class StampedDaysTest : public DatesTest {
 protected:
  void SetUp() override {
    CloseRulesDb();
    ResetMessageDb();
    ResetInitDatabases();
    storage::ResetLocations();
    image_ = std::make_unique<testing_support::TempImage>();
    FindInstallFolder();
    InitDatabases();
    records::PrepareStore("SMS");
  }
  void TearDown() override {
    CloseRulesDb();
    ResetMessageDb();
    image_.reset();
    DatesTest::TearDown();
  }
  static void SetClock(const char* text, int millisecond = 0) {
    device::LocalTime when;
    ASSERT_TRUE(device::ParseLocalTime(text, &when)) << text;
    when.millisecond = millisecond;
    const base::Status set = device::SetDeviceClock(when);
    ASSERT_TRUE(set.ok()) << set.message();
  }
  // Records a message with the device clock's date and time, as the filter
  // does when it reads a held message.
  static void Record(const std::string& body) {
    std::string date, time;
    ReceivedStamp(device::Now(), &date, &time);
    int32_t id = 0;
    ASSERT_TRUE(records::Add("SMS", "Anna", "5550199", "s", body.c_str(),
                             body.c_str(), "tok", 0, date.c_str(), time.c_str(),
                             &id)
                    .ok());
  }
  // The bodies listed with the given day offset.
  static std::set<std::string> Listed(int days_back) {
    std::set<std::string> bodies;
    std::vector<DayRecord> records;
    EXPECT_TRUE(
        ReadStoreDay("SMS", days_back, true, true, &records, nullptr).ok());
    for (const DayRecord& record : records) bodies.insert(record.message);
    return bodies;
  }
  std::unique_ptr<testing_support::TempImage> image_;
};

TEST_F(StampedDaysTest, ARecordIsListedOnItsDayAndNoOtherInEveryLocale) {
  for (const char* locale : kLocales) {
    SCOPED_TRACE(locale);
    UseLocale(locale);
    const std::string body = std::string("leap day in ") + locale;
    SetClock("2028-02-29T10:30");
    Record(body);
    const std::set<std::string> just{body};
    EXPECT_EQ(Listed(0), just);
    for (int back = 1; back <= 60; ++back)
      EXPECT_EQ(Listed(back).count(body), 0u) << back;
    SetClock("2028-03-01T08:00");
    EXPECT_EQ(Listed(1), just);
    EXPECT_EQ(Listed(0).count(body), 0u);
    for (int back = 2; back <= 60; ++back)
      EXPECT_EQ(Listed(back).count(body), 0u) << back;
    // A year on, the same day of the month is another day.
    SetClock("2029-03-01T08:00");
    EXPECT_EQ(Listed(366), just);
    EXPECT_EQ(Listed(365).count(body), 0u);
    EXPECT_EQ(Listed(367).count(body), 0u);
  }
}

TEST_F(StampedDaysTest, MidnightStartsANewDay) {
  UseLocale("th_TH.UTF-8");
  SetClock("2026-03-01T23:59:59");
  ASSERT_EQ(device::Now().day, 1);
  Record("before midnight");
  const std::u16string march_1 = DayText(0, nullptr);
  // Wait for the device clock to pass midnight (it runs from the time set).
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (device::Now().day == 1 && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(device::Now().day, 2);
  Record("after midnight");
  EXPECT_EQ(DayText(1, nullptr), march_1);
  EXPECT_NE(DayText(0, nullptr), march_1);
  EXPECT_EQ(Listed(0), std::set<std::string>{"after midnight"});
  EXPECT_EQ(Listed(1), std::set<std::string>{"before midnight"});
}

TEST_F(StampedDaysTest, RecordsWithTheEarlierLowByteDateAreStillListed) {
  UseLocale("de_DE.UTF-8");
  SetClock("2026-03-05T12:00");
  std::u16string wide = DayText(0, nullptr);
  ASSERT_EQ(wide, u"Donnerstag, 5. M\u00e4rz 2026");
  int32_t id = 0;
  ASSERT_TRUE(records::Add("SMS", "Anna", "1", "s", "earlier", "earlier", "tok",
                           0, device::LowByteNarrow(wide).c_str(), "12:00:00",
                           &id)
                  .ok());
  Record("now");
  EXPECT_EQ(Listed(0), (std::set<std::string>{"earlier", "now"}));
  EXPECT_TRUE(Listed(1).empty());
}

}  // namespace
