#include "text/md4.h"

#include <gtest/gtest.h>
#include <nettle/md4.h>

#include <random>
#include <string>

namespace {

std::string NettleHex(const std::string& text) {
  md4_ctx ctx;
  md4_init(&ctx);
  md4_update(&ctx, text.size(), reinterpret_cast<const uint8_t*>(text.data()));
  uint8_t digest[MD4_DIGEST_SIZE];
  md4_digest(&ctx, sizeof digest, digest);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : digest) {
    hex.push_back(kHex[b >> 4]);
    hex.push_back(kHex[b & 15]);
  }
  return hex;
}

TEST(HashTextTest, Rfc1320Suite) {
  const std::pair<const char*, const char*> kSuite[] = {
      {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
      {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
      {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
      {"message digest", "d9130a8164549fe818874806e1c7014b"},
      {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "043f8582f241db351ce627e153e7f0e4"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890"
       "1234567890",
       "e33b4ddc9c38f2199c3e7b164fcc0536"},
  };
  for (const auto& [text, digest] : kSuite) {
    char out[kDigestTextSize];
    HashText(text, out);
    EXPECT_STREQ(out, digest) << text;
  }
}

TEST(HashTextTest, MatchesNettleOnRandomTextsOfEveryBlockBoundary) {
  std::mt19937 random(1320);
  for (size_t length = 0; length < 300; ++length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) {
      text.push_back(static_cast<char>(1 + random() % 255));  // no NUL
    }
    EXPECT_EQ(HashTextOf(text), NettleHex(text)) << "length " << length;
  }
  std::string big(1 << 20, 'x');
  EXPECT_EQ(HashTextOf(big), NettleHex(big));
}

TEST(HashTextTest, DigestTextIsAlways32LowerHexDigitsAndStopsAtNul) {
  // Many random digests contain bytes below 0x10: the leading zero must be
  // written.
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    std::string text = std::to_string(random());
    std::string digest = HashTextOf(text);
    ASSERT_EQ(digest.size(), 32u);
    for (char c : digest)
      EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
  }
  char out[kDigestTextSize];
  HashText("abc\0def", out);
  EXPECT_STREQ(out, "a448017aaf21d8525fc10ae87aa6729d");
}

TEST(HashTextTest, CaseAndHighBytesCount) {
  EXPECT_NE(HashTextOf("Anna"), HashTextOf("anna"));
  std::string high = "\x80\xff\xe9t\xe9";
  EXPECT_EQ(HashTextOf(high), NettleHex(high));
  EXPECT_NE(HashTextOf("\xe9"), HashTextOf("\xc3\xa9"));
}

}  // namespace
