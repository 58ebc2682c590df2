// The token texts of a varied corpus, pinned byte for byte: a token text is
// stored in the rules database and on held messages, so the tokenizer must
// give exactly these texts whatever its inside looks like.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "text/md4.h"
#include "text/tokens.h"

namespace {

// The text's bytes as a C string literal, for a readable failure.
std::string Escaped(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x\"\"", c);
      out += hex;
    }
  }
  return out + "\"";
}

// Both narrow forms give these texts: they are ASCII, or 1252 bytes that
// are no UTF-8, which the UTF-8 form takes as 1252 takes them.
class TokenizeTextPinnedTest : public ::testing::TestWithParam<NarrowForm> {};

struct Pinned {
  const char* what;
  std::string text;
  std::string tokens;
};

std::string Repeat(const std::string& part, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += part;
  return out;
}

TEST_P(TokenizeTextPinnedTest, ShortTexts) {
  const Pinned kCases[] = {
      {"empty", "", ""},
      {"only separators",
       "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11"
       "\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f\x20!\xa7$%&/"
       "()=?`{[]\\\xb4@*+~'#><|;,:._-\"",
       ""},
      {"mixed case and repeats",
       "The QUICK Brown fOX; the quick brown fox! THE fox",
       "brown fox quick the "},
      {"digits", "Call 0800-555-0199 at 10:30, room 4B, 1st floor, 2nd 3RD 007",
       "007 0199 0800 10 1st 2nd 30 3rd 4b 555 at call floor room "},
      {"Latin-1 bytes",
       "Caf\xe9 na\xefve \xc4PFEL \xe4pfel Stra\xdf"
       "e \xff\xfe \xa0nbsp \x80"
       "\x9f \xe9t\xe9s \xc9T\xc9S",
       "caf\xe9 na\xef"
       "v stra\xdf"
       "e \x80\x9f \xa0nbsp \xc4pfel \xc9t\xc9 \xe4pfel \xe9t\xe9 \xff\xfe "},
      {"quotes",
       "don't \"stop\" 'now' it's O'Neil's `tick` \xb4"
       "acute\xb4",
       "acut don it neil now o stop t tick "},
      {"stems that meet",
       "run running runs runner ran Running RUN connected connecting "
       "connection connects generalizations generously",
       "connect gener ran run runner "},
      {"every punctuation byte between words",
       "a!b\xa7"
       "c$d%e&f/g(h)i=j?k`l{m[n]o\\p\xb4q@r*s+t~u'v#w>x<y|z;A,B:C."
       "D_E-F\"G",
       "a b c d e f g h i j k l m n o p q r t u v w x y z "},
      {"bytes that do not split",
       "x^y x}y x\x7fy x\x80y x\xa0y x\xffy ^ } \x7f",
       "^ x^y x}y x\x7fy x\x80y x\xa0y x\xffy } \x7f "},
      {"controls", "tab\tnew\nline\rcarriage\x01one\x1fus\x0bvt",
       "carriag line new on tab u vt "},
      {"stems that vanish or shrink", "s S ss sss 's s's ies sses y ye yes",
       "i ss sss y ye "},
      {"byte order", "z \xe9 a A \xe0 ab abc ab\xe0 ab~ ab} b0 b 0 9 ~",
       "0 9 a ab abc ab} ab\xe0 b b0 z \xe0 \xe9 "},
      {"separators around", "   word   ,,, word.", "word "},
  };
  for (const Pinned& c : kCases) {
    const std::string got = TokenTextOf(c.text, GetParam());
    EXPECT_EQ(got, c.tokens) << c.what << ": " << Escaped(got);
  }
}

TEST_P(TokenizeTextPinnedTest, VeryLongWords) {
  const Pinned kCases[] = {
      {"one letter 3000 times", std::string(3000, 'x'), ""},
      {"a long word with suffixes",
       Repeat("connection", 50) + "s " + Repeat("National", 30) + "izations",
       ""},
      {"long words among short ones",
       "a " + std::string(1000, 'b') + " c " + std::string(999, 'b') + "s " +
           std::string(2000, '\xe9'),
       ""},
  };
  const struct {
    size_t length;
    const char* digest;
  } kPins[] = {{3001, "b341dde7159b8e1d3e614ba7088be873"},
               {737, "21a2c5a159750382e9940e3a780d0925"},
               {4006, "60aa19e70b949b4fe13fecc78ccb5fe2"}};
  for (size_t i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
    const std::string got = TokenTextOf(kCases[i].text, GetParam());
    EXPECT_EQ(got.size(), kPins[i].length) << kCases[i].what;
    EXPECT_EQ(HashTextOf(got), kPins[i].digest) << kCases[i].what;
  }
}

// Many words of a small vocabulary in any case, joined by any separators and
// now and then a run of arbitrary bytes; pinned by the digest of the token
// text and its length.
std::string Mixed(uint32_t seed, size_t size) {
  static const char* const kVocabulary[] = {
      "the",        "Message",  "RECIPIENTS", "running",
      "connection", "filtered", "outgoing",   "rules",
      "don't",      "0800",     "caf\xe9",    "\xc4pfel",
      "held",       "s",        "ies",        "generalization"};
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) {
    const uint32_t pick = random() % 20;
    if (pick < 16) {
      text += kVocabulary[pick];
    } else {
      for (uint32_t n = random() % 12; n > 0; --n)
        text += static_cast<char>(1 + random() % 255);
    }
    const uint32_t gap = random() % 6;
    if (gap == 0)
      text += ", ";
    else if (gap == 1)
      text += "\t\"";
    else
      text += ' ';
  }
  return text;
}

// Runs of arbitrary bytes now and then make well-formed UTF-8: pinned in
// code page 1252, the form whose text they are.
TEST(TokenizeTextPinnedCp1252Test, LongMixedTexts) {
  struct {
    uint32_t seed;
    size_t size;
    size_t length;
    const char* digest;
  } const kCases[] = {
      {1, 4096, 629, "d562210e0b56e822c0479726f8f38928"},
      {2, 65536, 8738, "88bee678063bbf3fdd52fcae14a384ba"},
      {3, 262144, 32270, "3e5fe6f0384bcf556f58f52b369f9d7b"},
  };
  for (const auto& c : kCases) {
    const std::string got =
        TokenTextOf(Mixed(c.seed, c.size), NarrowForm::kCp1252);
    EXPECT_EQ(got.size(), c.length) << "seed " << c.seed;
    EXPECT_EQ(HashTextOf(got), c.digest) << "seed " << c.seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, TokenizeTextPinnedTest,
                         ::testing::Values(NarrowForm::kCp1252,
                                           NarrowForm::kUtf8));

}  // namespace
