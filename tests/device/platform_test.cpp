// The device's file system mapping, code page and clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "device/clock.h"
#include "device/codepage.h"
#include "device/files.h"
#include "device/image.h"
#include "tests/support/temp_image.h"
#include "text/field.h"

namespace {

TEST(ImageTest, CePathsMapOntoTheImageAndUnsafeOnesAreRefused) {
  testing_support::TempImage image;
  std::string host;
  ASSERT_TRUE(
      device::HostPath(u"\\Program Files\\Tarnvex\\dba\\Rules_0.db", &host));
  EXPECT_EQ(host, image.root() + "/Program Files/Tarnvex/dba/Rules_0.db");
  EXPECT_FALSE(device::HostPath(u"\\a\\..\\..\\etc\\passwd", &host));
  EXPECT_FALSE(device::HostPath(u"\\.\\x", &host));
  EXPECT_FALSE(device::HostPath(u"no\\backslash", &host));
  EXPECT_FALSE(device::HostPath(u"\\" + std::u16string(259, u'x'), &host));
  EXPECT_EQ(device::ProgramFilesFolder(), u"\\Program Files");
  EXPECT_GT(device::SystemPageSize(), 0u);
}

TEST(CodePageTest, Cp1252BothWaysWithQuestionMarks) {
  device::PinAnsiCodePage(device::kCodePageWestern);
  EXPECT_EQ(device::WideToAnsi(u"Caf\u00e9 \u20ac"), "Caf\xe9 \x80");
  EXPECT_EQ(device::WideToAnsi(u"\u0416\u4e2d"), "??");
  EXPECT_EQ(device::AnsiToWide("Caf\xe9 \x80"), u"Caf\u00e9 \u20ac");
  device::PinAnsiCodePage(0);
  EXPECT_EQ(device::Cp1252ToWide("Caf\xe9 \x80"), u"Caf\u00e9 \u20ac");
  EXPECT_EQ(device::LowByteNarrow(u"A\u0141"), "A\x41");
  EXPECT_EQ(device::ByteWiden("\xe9"), u"\u00e9");
  EXPECT_EQ(device::Utf8ToWide(device::WideToUtf8(u"\u00e9\u4e2d")),
            u"\u00e9\u4e2d");
}

// A new image keeps UTF-8, whole; an image made before the setting, 1252;
// an image keeps the code page it was made with; a damaged setting reads as
// 1252 and says why.
TEST(CodePageTest, TheImageSaysWhichCodePageItsTextsAreIn) {
  testing_support::TempImage image;
  EXPECT_EQ(device::AnsiCodePage(), device::kCodePageUtf8);
  const std::u16string all = u"\u6771\u4eac \u0645\u0631 \U0001F389 \u00e9";
  EXPECT_EQ(device::AnsiToWide(device::WideToAnsi(all)), all);
  EXPECT_EQ(device::WideToAnsi(u"a\xD800"
                               u"b"),
            "a?b");  // a lone surrogate
  const base::Status other = device::InitImage(device::kCodePageWestern);
  EXPECT_FALSE(other.ok());
  EXPECT_NE(other.message().find("keeps code page 65001"), std::string::npos)
      << other.message();
  const base::Status same = device::InitImage(device::kCodePageUtf8);
  EXPECT_TRUE(same.ok()) << same.message();

  std::filesystem::remove(device::CodePagePath());  // as made before
  device::ForgetAnsiCodePage();
  EXPECT_EQ(device::AnsiCodePage(), device::kCodePageWestern);
  EXPECT_FALSE(device::InitImage(device::kCodePageUtf8).ok());
  const base::Status kept = device::InitImage();
  EXPECT_TRUE(kept.ok()) << kept.message();  // now written down
  base::StatusOr<int> code_page = device::ReadImageCodePage();
  EXPECT_TRUE(code_page.ok());
  EXPECT_EQ(code_page.ok() ? *code_page : 0, device::kCodePageWestern);

  std::ofstream(device::CodePagePath()) << "utf-7\n";
  device::ForgetAnsiCodePage();
  code_page = device::ReadImageCodePage();
  EXPECT_FALSE(code_page.ok());
  EXPECT_NE(code_page.status().message().find("names no code page"),
            std::string::npos)
      << code_page.status().message();
  EXPECT_EQ(device::AnsiCodePage(), device::kCodePageWestern);
}

// A field is cut before the character that does not fit: never inside a
// UTF-8 sequence on a UTF-8 device, at any byte in 1252.
TEST(CodePageTest, FieldsAreCutAtCharacterBoundaries) {
  const std::string text = "ab\xC3\xA9\xE6\x9D\xB1\xF0\x9F\x8E\x89";  // abé東🎉
  const size_t kCuts[][2] = {{0, 0}, {2, 2}, {3, 2}, {4, 4},  {5, 4},
                             {6, 4}, {7, 7}, {9, 7}, {10, 7}, {11, 11}};
  for (const auto& c : kCuts)
    EXPECT_EQ(device::Utf8CharacterCut(text, c[0]), c[1]) << c[0];
  // Malformed bytes are characters of their own.
  EXPECT_EQ(device::Utf8CharacterCut("a\xA9\xA9\xA9\xA9", 3), 3u);
  EXPECT_EQ(device::Utf8CharacterCut("a\xE6\x9Dz", 2), 2u);
  // Counted in UTF-16 units: the emoji takes two.
  const size_t kUnitCuts[][2] = {{3, 4}, {4, 7}, {5, 7}, {6, 11}};
  for (const auto& c : kUnitCuts)
    EXPECT_EQ(device::Utf16UnitsCut(text, c[0]), c[1]) << c[0];
  char field[6];
  device::PinAnsiCodePage(device::kCodePageUtf8);
  EXPECT_FALSE(CopyField(field, text));
  EXPECT_STREQ(field, "ab\xC3\xA9");
  device::PinAnsiCodePage(device::kCodePageWestern);
  EXPECT_FALSE(CopyField(field, text));
  EXPECT_STREQ(field, "ab\xC3\xA9\xE6");
  device::PinAnsiCodePage(0);
}

class ClockTest : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("LC_ALL");
    device::ResetLocaleFromEnvironment();
  }
  void Locale(const char* name) {
    setenv("LC_ALL", name, 1);
    device::ResetLocaleFromEnvironment();
  }
};

TEST_F(ClockTest, LongDateAndTimeFollowTheLocale) {
  device::LocalTime t = device::MakeDay(2026, 12, 7);
  t.hour = 7;
  t.minute = 21;
  t.second = 29;
  Locale("en_US.UTF-8");
  EXPECT_EQ(device::LongDateText(t), u"Monday, December 7, 2026");
  EXPECT_NE(device::TimeText(t).find(u"7:21:29"), std::u16string::npos);
  Locale("de_DE.UTF-8");
  EXPECT_EQ(device::LongDateText(t), u"Montag, 7. Dezember 2026");
  EXPECT_EQ(device::TimeText(t), u"07:21:29");
  EXPECT_EQ(t.weekday, 1);
}

TEST(ImageTest, NamesThePhoneRefusesMakeNoFolder) {
  testing_support::TempImage image;
  std::string host;
  for (std::u16string_view bad :
       {u"\\?????", u"\\a*b", u"\\a<b", u"\\a>b", u"\\a|b", u"\\a\"b", u"\\c:",
        u"\\dot.", u"\\blank ", u"\\x\\tab\tname", u"\\ok\\trailing.\\y"}) {
    EXPECT_FALSE(device::HostPath(bad, &host)) << device::WideToUtf8(bad);
    EXPECT_FALSE(device::CreateDirectoryCe(bad)) << device::WideToUtf8(bad);
  }
  // The longest path the phone takes is 259 characters.
  std::u16string parent = u"\\" + std::u16string(128, u'p');
  std::u16string longest = parent + u"\\" + std::u16string(129, u'l');
  ASSERT_EQ(longest.size(), 259u);
  EXPECT_TRUE(device::CreateDirectoryCe(parent));
  EXPECT_TRUE(device::CreateDirectoryCe(longest));
  EXPECT_FALSE(device::CreateDirectoryCe(longest + u"x"));
  // Names the phone takes: inner dots and blanks, Latin-1 and other scripts.
  for (std::u16string_view good :
       {u"\\a.b c", u"\\Caf\u00e9", u"\\\u041a\u0430\u0440\u0442\u0430"})
    EXPECT_TRUE(device::CreateDirectoryCe(good)) << device::WideToUtf8(good);
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(image.root())) {
    (void)e;
    ++entries;
  }
  // .device, Program Files, Windows, My Documents, and the four made above.
  EXPECT_EQ(entries, 8u);
}

TEST(ImageTest, CardNamesOutsideTheNarrowPathsAreRefusedWithAMessage) {
  testing_support::TempImage image;
  base::Status added;
  for (std::u16string_view name :
       {u"\u041a\u0430\u0440\u0442\u0430", u"\u8a18\u61b6\u5361",
        u"Karte \u20ac", u"\u0152uvre"}) {
    added = device::AddStorageCard(name);
    EXPECT_FALSE(added.ok()) << device::WideToUtf8(name);
    const std::string& error = added.message();
    EXPECT_NE(error.find("refused"), std::string::npos) << error;
    EXPECT_NE(error.find(device::WideToUtf8(name)), std::string::npos) << error;
  }
  added = device::AddStorageCard(u"SD?");
  EXPECT_FALSE(added.ok());
  EXPECT_NE(added.message().find("cannot hold"), std::string::npos)
      << added.message();
  added = device::AddStorageCard(u"Card.");
  EXPECT_FALSE(added.ok());
  EXPECT_NE(added.message().find("end with a dot or a blank"),
            std::string::npos)
      << added.message();
  added = device::AddStorageCard(u"program files");
  EXPECT_FALSE(added.ok());
  EXPECT_NE(added.message().find("main storage"), std::string::npos)
      << added.message();
  EXPECT_TRUE(device::StorageCards().empty());
  // Only the skeleton: no folder was made for a refused card.
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(image.root())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 4u);
  // Western European names are kept as they are.
  added = device::AddStorageCard(u"Carte m\u00e9moire");
  EXPECT_TRUE(added.ok()) << added.message();
  EXPECT_EQ(device::StorageCards(),
            std::vector<std::u16string>{u"Carte m\u00e9moire"});
}

class DeviceClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const base::Status cleared = device::ClearDeviceClock();
    ASSERT_TRUE(cleared.ok()) << cleared.message();
  }
  testing_support::TempImage image_;
};

TEST_F(DeviceClockTest, SetTimeIsKeptInTheImageAndRunsOn) {
  device::LocalTime when;
  ASSERT_TRUE(device::ParseLocalTime("2026-03-01T23:59", &when));
  const base::Status set = device::SetDeviceClock(when);
  ASSERT_TRUE(set.ok()) << set.message();
  bool is_set = false;
  device::DeviceClockOffsetMs(&is_set);
  EXPECT_TRUE(is_set);
  device::LocalTime now = device::Now();
  EXPECT_EQ(device::LocalTimeText(now).substr(0, 16), "2026-03-01T23:59");
  EXPECT_EQ(now.weekday, 0);  // a Sunday

  // The setting is the image's, not this process's: another image has its
  // own, and coming back finds this one again.
  {
    testing_support::TempImage other;
    EXPECT_EQ(device::LocalTimeText(device::Now()).substr(0, 13),
              std::string(testing_support::kTestClock).substr(0, 13));
  }
  device::SetImageRoot(image_.root());
  EXPECT_EQ(device::LocalTimeText(device::Now()).substr(0, 13),
            "2026-03-01T23");

  // The clock runs on from the time set.
  when.second = 59;
  when.millisecond = 900;
  ASSERT_TRUE(device::SetDeviceClock(when).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  now = device::Now();
  EXPECT_EQ(device::LocalTimeText(now).substr(0, 16), "2026-03-02T00:00");

  const base::Status cleared = device::ClearDeviceClock();
  ASSERT_TRUE(cleared.ok()) << cleared.message();
  const base::Status again = device::ClearDeviceClock();
  ASSERT_TRUE(again.ok()) << again.message();  // again: nothing to do
  device::DeviceClockOffsetMs(&is_set);
  EXPECT_FALSE(is_set);
  auto real =
      std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  struct tm tm;
  localtime_r(&real, &tm);
  EXPECT_EQ(device::Now().year, tm.tm_year + 1900);
}

TEST_F(DeviceClockTest, BadTimesAndAnUnreadableSettingChangeNothing) {
  device::LocalTime t;
  for (const char* bad :
       {"2026-02-29T10:00", "2026-13-01T00:00", "2026-03-01T24:00",
        "2026-03-01T23:60", "2026-03-01", "2026-3-1T1:00", "x",
        "2026-03-01T23:59:60", "2026-03-01T23:59:5x", ""}) {
    EXPECT_FALSE(device::ParseLocalTime(bad, &t)) << bad;
  }
  ASSERT_TRUE(device::ParseLocalTime("2024-02-29 08:05:09", &t));
  EXPECT_EQ(device::LocalTimeText(t), "2024-02-29T08:05:09");
  EXPECT_EQ(t.weekday, 4);

  device::LocalTime invalid = t;
  invalid.day = 30;
  const base::Status refused = device::SetDeviceClock(invalid);
  EXPECT_FALSE(refused.ok());
  EXPECT_FALSE(refused.message().empty());
  bool is_set = true;
  device::DeviceClockOffsetMs(&is_set);
  EXPECT_FALSE(is_set);

  {
    std::ofstream out(device::DeviceDataDir() + "/clock");
    out << "offset_ms 12abc\n";
  }
  EXPECT_EQ(device::DeviceClockOffsetMs(&is_set), 0);
  EXPECT_FALSE(is_set);
  EXPECT_GE(device::Now().year, 2025);

  // Without an image there is nowhere to keep the setting.
  std::string empty = testing_support::MakeTempDir("tarnvex-noimage-");
  device::SetImageRoot(empty + "/none");
  const base::Status no_image = device::SetDeviceClock(t);
  EXPECT_FALSE(no_image.ok());
  EXPECT_NE(no_image.message().find("init"), std::string::npos)
      << no_image.message();
  device::SetImageRoot(image_.root());
  std::filesystem::remove_all(empty);
}

// The long date names the real day in the locale's own calendar.
TEST_F(ClockTest, LongDateUsesTheLocalesCalendar) {
  device::LocalTime t = device::MakeDay(2026, 1, 15);
  Locale("th_TH.UTF-8");
  EXPECT_EQ(device::LongDateText(t),
            u"\u0e27\u0e31\u0e19\u0e1e\u0e24\u0e2b\u0e31\u0e2a\u0e1a\u0e14"
            u"\u0e35\u0e17\u0e35\u0e48 "
            u"15 \u0e21\u0e01\u0e23\u0e32\u0e04\u0e21 \u0e1e.\u0e28. 2569");
  Locale("ja_JP.UTF-8@calendar=japanese");
  EXPECT_EQ(device::LongDateText(t),
            u"\u4ee4\u548c8\u5e741\u670815\u65e5\u6728\u66dc\u65e5");
  Locale("ja_JP@calendar=japanese");
  EXPECT_EQ(device::LongDateText(t),
            u"\u4ee4\u548c8\u5e741\u670815\u65e5\u6728\u66dc\u65e5");
  Locale("ja_JP.UTF-8");
  EXPECT_EQ(device::LongDateText(t),
            u"2026\u5e741\u670815\u65e5\u6728\u66dc\u65e5");
  Locale("de_DE.UTF-8@euro");  // a POSIX modifier is not a calendar
  EXPECT_EQ(device::LongDateText(t), u"Donnerstag, 15. Januar 2026");
  Locale("C");
  EXPECT_EQ(device::LongDateText(t), u"Thursday, January 15, 2026");
}

}  // namespace
