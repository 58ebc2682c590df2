// The device's file system mapping, code page and clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "device/clock.h"
#include "device/codepage.h"
#include "device/files.h"
#include "device/image.h"
#include "tests/support/temp_image.h"

namespace {

TEST(ImageTest, CePathsMapOntoTheImageAndUnsafeOnesAreRefused) {
  testing_support::TempImage image;
  std::string host;
  ASSERT_TRUE(device::HostPath(u"\\Program Files\\Tarnvex\\dba\\Rules_0.db", &host));
  EXPECT_EQ(host, image.root() + "/Program Files/Tarnvex/dba/Rules_0.db");
  EXPECT_FALSE(device::HostPath(u"\\a\\..\\..\\etc\\passwd", &host));
  EXPECT_FALSE(device::HostPath(u"\\.\\x", &host));
  EXPECT_FALSE(device::HostPath(u"no\\backslash", &host));
  EXPECT_FALSE(device::HostPath(u"\\" + std::u16string(259, u'x'), &host));
  EXPECT_EQ(device::ProgramFilesFolder(), u"\\Program Files");
  EXPECT_GT(device::SystemPageSize(), 0u);
}

TEST(CodePageTest, Cp1252BothWaysWithQuestionMarks) {
  EXPECT_EQ(device::WideToAnsi(u"Caf\u00e9 \u20ac"), "Caf\xe9 \x80");
  EXPECT_EQ(device::WideToAnsi(u"\u0416\u4e2d"), "??");
  EXPECT_EQ(device::AnsiToWide("Caf\xe9 \x80"), u"Caf\u00e9 \u20ac");
  EXPECT_EQ(device::LowByteNarrow(u"A\u0141"), "A\x41");
  EXPECT_EQ(device::ByteWiden("\xe9"), u"\u00e9");
  EXPECT_EQ(device::Utf8ToWide(device::WideToUtf8(u"\u00e9\u4e2d")), u"\u00e9\u4e2d");
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

}  // namespace
