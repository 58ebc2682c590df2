// GMime is made ready once, whichever thread comes first.
#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "mail/mime/mime_library.h"

namespace {

TEST(MimeLibraryTest, ReadyOnceFromManyThreads) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back(mail::EnsureMimeLibrary);
  for (std::thread& t : threads) t.join();
  // Ready: an address list parses.
  InternetAddressList* list =
      internet_address_list_parse(nullptr, "Anna <anna@example.org>");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(internet_address_list_length(list), 1);
  g_object_unref(list);
}

}  // namespace
