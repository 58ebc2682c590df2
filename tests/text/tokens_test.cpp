#include "text/tokens.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "device/codepage.h"

namespace {

TEST(TokenizeTextTest, WordsAreLoweredStemmedSortedAndDistinct) {
  EXPECT_EQ(TokenTextOf(""), "");
  EXPECT_EQ(TokenTextOf(" ,.;!?\t\r\n"), "");
  EXPECT_EQ(TokenTextOf("Hello, hello WORLD!"), "hello world ");
  EXPECT_EQ(TokenTextOf("Call 0800-123"), "0800 123 call ");
  EXPECT_EQ(TokenTextOf("connected connecting connection"), "connect ");
}

TEST(TokenizeTextTest, WhichCharactersSeparateWords) {
  EXPECT_EQ(TokenTextOf("x}y"), "x}y ");
  EXPECT_EQ(TokenTextOf("x^y"), "x^y ");
  EXPECT_EQ(TokenTextOf("x]y"), "x y ");
  EXPECT_EQ(TokenTextOf("x\xb4y"), "x y ");
  // Only A-Z are lowered: 0xC4 and 0xE4 stay two words.
  EXPECT_NE(TokenTextOf("\xc4pfel"), TokenTextOf("\xe4pfel"));
}

// The words of a text as a set, for texts whose stems are not the point.
std::set<std::string> Words(const std::string& tokens) {
  TokenList list;
  EXPECT_TRUE(ParseTokenText(tokens, &list));
  return {list.begin(), list.end()};
}

TEST(TokenizeTextTest, Utf8WordsOfEveryScript) {
  const NarrowForm utf8 = NarrowForm::kUtf8;
  // Full case mapping, Latin words stemmed as in 1252, the final sigma.
  EXPECT_EQ(TokenTextOf("GR\u00dcSSE \u00c4PFEL", utf8),
            TokenTextOf("gr\u00fcsse \u00e4pfel", utf8));
  EXPECT_EQ(TokenTextOf("connected caf\u00e9s", utf8), "caf\u00e9 connect ");
  EXPECT_EQ(TokenTextOf("\u039f\u0394\u039f\u03a3", utf8),
            "\u03bf\u03b4\u03bf\u03c2 ");
  // Scripts without case or stemmer are kept as written; their punctuation
  // splits words, a zero-width non-joiner and vowel signs do not.
  EXPECT_EQ(TokenTextOf("\u0645\u0631\u062d\u0628\u0627\u060c "
                        "\u0639\u0627\u0644\u0645\u061f",
                        utf8),
            "\u0639\u0627\u0644\u0645 \u0645\u0631\u062d\u0628\u0627 ");
  EXPECT_EQ(TokenTextOf("\u05e9\u05dc\u05d5\u05dd", utf8),
            "\u05e9\u05dc\u05d5\u05dd ");
  EXPECT_EQ(
      TokenTextOf("\u0645\u06cc\u200c\u062e\u0648\u0627\u0647\u0645", utf8),
      "\u0645\u06cc\u200c\u062e\u0648\u0627\u0647\u0645 ");
  EXPECT_EQ(TokenTextOf("\u0928\u092e\u0938\u094d\u0924\u0947", utf8),
            "\u0928\u092e\u0938\u094d\u0924\u0947 ");
  // Emoji, their selectors and joiners are no words.
  EXPECT_EQ(TokenTextOf("Release party \U0001F389\uFE0F on \U0001F468\u200D"
                        "\U0001F469 Friday\u2764\uFE0F",
                        utf8),
            TokenTextOf("Release party on Friday", utf8));
  // Japanese, Chinese and Thai are split into their words.
  EXPECT_EQ(Words(TokenTextOf("\u300c\u6771\u4eac\u3067\u4f1a\u8b70\u300d"
                              "\u3001Tower\u3002",
                              utf8)),
            (std::set<std::string>{"\u6771\u4eac", "\u3067", "\u4f1a\u8b70",
                                   "tower"}));
  EXPECT_GE(Words(TokenTextOf("\u0e2a\u0e27\u0e31\u0e2a\u0e14\u0e35"
                              "\u0e04\u0e23\u0e31\u0e1a",
                              utf8))
                .size(),
            2u);
}

// Both forms; the UTF-8 one also on texts of valid sequences.
class AnyBytesTest : public ::testing::TestWithParam<NarrowForm> {};

TEST_P(AnyBytesTest, GiveAWellFormedTokenText) {
  const NarrowForm form = GetParam();
  std::mt19937 random(11);
  const char32_t kSome[] = {U'a',      U'\u00c4', U'\u0391', U'\u05d0',
                            U'\u0627', U'\u3042', U'\u6f22', U'\U0001F389',
                            U'\u0301', U'\u200d', U'\u3001', U' '};
  for (int round = 0; round < 500; ++round) {
    std::string text;
    size_t length = random() % 400;
    for (size_t i = 0; i < length; ++i) {
      if (form == NarrowForm::kUtf8 && round % 2 == 1) {
        std::string one;
        device::AppendUtf8(kSome[random() % std::size(kSome)], &one);
        text += one;
      } else {
        text.push_back(static_cast<char>(1 + random() % 255));
      }
    }
    std::string tokens = TokenTextOf(text, form);
    if (form == NarrowForm::kUtf8 && device::ValidUtf8(text)) {
      ASSERT_TRUE(device::ValidUtf8(tokens)) << text;
    }
    ASSERT_EQ(tokens.find('\''), std::string::npos);
    ASSERT_EQ(tokens.find('"'), std::string::npos);
    ASSERT_EQ(tokens.find("  "), std::string::npos);
    ASSERT_TRUE(tokens.empty() ||
                (tokens.back() == ' ' && tokens.front() != ' '));
    std::vector<std::string> words;
    size_t start = 0;
    for (size_t space; (space = tokens.find(' ', start)) != std::string::npos;
         start = space + 1) {
      words.push_back(tokens.substr(start, space - start));
    }
    for (size_t i = 1; i < words.size(); ++i) {
      ASSERT_LT(std::strcmp(words[i - 1].c_str(), words[i].c_str()), 0)
          << tokens;
    }
    std::string again;
    ASSERT_TRUE(TokenizeText(text, form, &again));
    ASSERT_EQ(again, tokens);
    // In 1252 never longer than the text and one: a token text fits wherever
    // its text did. (Full case mapping may lengthen a UTF-8 word: "\u023a".)
    if (form == NarrowForm::kCp1252) {
      ASSERT_LE(tokens.size(), text.size() + 1);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, AnyBytesTest,
                         ::testing::Values(NarrowForm::kCp1252,
                                           NarrowForm::kUtf8));

TEST(ParseTokenTextTest, WordsBetweenSpacesReplaceTheList) {
  TokenList list = {"old"};
  ASSERT_TRUE(ParseTokenText("a  b ", &list));
  EXPECT_EQ(list, (TokenList{"a", "b"}));
  ASSERT_TRUE(ParseTokenText("  caf\xe9 x}y", &list));
  EXPECT_EQ(list, (TokenList{"caf\xe9", "x}y"}));
  ASSERT_TRUE(ParseTokenText("", &list));
  EXPECT_TRUE(list.empty());
  ASSERT_TRUE(ParseTokenText("   ", &list));
  EXPECT_TRUE(list.empty());
}

TEST(StemmerTest, InPlaceAndNeverLonger) {
  char word[] = "running";
  p_PorterStem(word);
  EXPECT_STREQ(word, "run");
  char odd[] = "\xe9t\xe9^}0800";
  size_t before = std::strlen(odd);
  p_PorterStem(odd);
  EXPECT_LE(std::strlen(odd), before);
}

}  // namespace
