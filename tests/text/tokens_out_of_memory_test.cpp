// The tokenizer out of memory: failed at each of its allocations in turn, it
// answers false with nothing half made, and the next text is tokenized as
// before; past its last allocation it succeeds.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/alloc_countdown.h"
#include "text/tokens.h"

namespace {

using testing_support::AllocCountdown;

// Runs `unit` (after `prepare`) with the n-th allocation failed for n = 1,
// 2, ... until it makes no n-th allocation; `check` sees each outcome. The
// number of allocations it made when it succeeded.
template <typename Prepare, typename Unit, typename Check>
long AtEveryAllocation(const Prepare& prepare, const Unit& unit,
                       const Check& check) {
  for (long n = 1; n < 100000; ++n) {
    bool ok = false, failed = false;
    prepare();
    {
      AllocCountdown countdown(n);
      ok = unit();
      failed = countdown.Failed();
    }
    check(ok, failed, n);
    if (!failed) return n - 1;
  }
  ADD_FAILURE() << "no end of allocations";
  return 0;
}

TEST(TokensOutOfMemoryTest, EveryFailedAllocationFailsTheTextCleanly) {
  const std::string texts[] = {
      "Connected connecting CONNECTION, call 0800-123 now!",
      "Stra\xc3\x9f"
      "e M\xc3\xbcller \xe6\x9d\xb1\xe4\xba\xac\xe3\x82\xbf"
      "\xe3\x83\xaf\xe3\x83\xbc "
      "\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0 "
      "running"};
  for (NarrowForm form : {NarrowForm::kCp1252, NarrowForm::kUtf8}) {
    for (const std::string& text : texts) {
      SCOPED_TRACE(text);
      std::string expected;
      ASSERT_TRUE(TokenizeText(text, form, &expected));
      ASSERT_FALSE(expected.empty());
      std::string out;
      const long made =
          AtEveryAllocation([&] { out = "what was there before"; },
                            [&] { return TokenizeText(text, form, &out); },
                            [&](bool ok, bool failed, long n) {
                              if (!ok) {
                                EXPECT_TRUE(failed) << n;
                                EXPECT_EQ(out, "") << "allocation " << n;
                              } else {
                                EXPECT_EQ(out, expected) << "allocation " << n;
                              }
                              std::string again;
                              EXPECT_TRUE(TokenizeText(text, form, &again));
                              EXPECT_EQ(again, expected);
                            });
      EXPECT_GT(made, 0);
    }
  }
}

TEST(TokensOutOfMemoryTest, EveryFailedAllocationFailsTheListCleanly) {
  const std::string tokens = "call connect hello world ";
  TokenList list;
  const long made = AtEveryAllocation(
      [&] {
        list = {"what", "was", "there"};
      },
      [&] { return ParseTokenText(tokens, &list); },
      [&](bool ok, bool, long n) {
        if (ok) {
          EXPECT_EQ(list, (TokenList{"call", "connect", "hello", "world"}));
        } else {
          EXPECT_TRUE(list.empty()) << "allocation " << n;
        }
      });
  EXPECT_GT(made, 0);
}

}  // namespace
