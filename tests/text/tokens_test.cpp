#include "text/tokens.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

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

TEST(TokenizeTextTest, AnyBytesGiveAWellFormedTokenText) {
  std::mt19937 random(11);
  for (int round = 0; round < 500; ++round) {
    std::string text;
    size_t length = random() % 400;
    for (size_t i = 0; i < length; ++i)
      text.push_back(static_cast<char>(1 + random() % 255));
    std::string tokens = TokenTextOf(text);
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
    // The whole token text fits the room callers give (the text's length
    // and two): nothing is written past it, which guard bytes after that
    // room would show even without a sanitizer.
    std::vector<char> in(text.begin(), text.end());
    in.push_back('\0');
    constexpr size_t kGuard = 16;
    std::vector<char> out(text.size() + 2 + kGuard, '\x7f');
    TokenizeText(in.data(), out.data());
    ASSERT_EQ(std::string(out.data()), tokens);
    for (size_t i = text.size() + 2; i < out.size(); ++i)
      ASSERT_EQ(out[i], '\x7f') << "written past the room at " << i;
  }
}

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
